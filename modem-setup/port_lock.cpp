// The locks terminal programs look for before they open a serial port: an
// exclusive flock on the device (picocom) and a UUCP lock file in /var/lock
// (minicom, cu). Holding both, the wait and the watch make a person who
// opens the console meanwhile hear that it is in use, instead of sharing
// its bytes with the dialogue.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/file.h>
#include <syslog.h>
#include <unistd.h>

#include "modem_setup.h"

namespace {

const char LOCK_PREFIX[] = "/var/lock/LCK..";
constexpr size_t LOCK_TEXT_SIZE = 11;

// The pid a lock file names; 0 when it names none.
pid_t lockHolder(const std::string& path) {
  char text[16] = {};
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  // The ASCII format: the pid, padded with blanks to 10 characters, and a LF.
  return n > 0 ? static_cast<pid_t>(parseInteger(text)) : 0;
}

}  // namespace

int takeLockFile(const std::string& devicePath, std::string& lockFile) {
  std::string path = LOCK_PREFIX + devicePath.substr(devicePath.find_last_of('/') + 1);
  // The pid as 10 characters, blank-padded, and a LF.
  char text[LOCK_TEXT_SIZE];
  memset(text, ' ', sizeof text);
  text[sizeof text - 1] = '\n';
  for (int pid = getpid(), at = sizeof text - 2; pid > 0; pid /= 10)
    text[at--] = static_cast<char>('0' + pid % 10);
  for (int tries = 0; tries < 2; ++tries) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
      bool written = write(fd, text, sizeof text) == static_cast<ssize_t>(sizeof text);
      close(fd);
      if (written) {
        lockFile = path;
        return 0;
      }
      unlink(path.c_str());
      break;
    }
    // A system without the directory has no programs that look there.
    if (errno == ENOENT) return 0;
    if (errno != EEXIST) break;
    pid_t holder = lockHolder(path);
    if (holder > 0 && holder != getpid() && (kill(holder, 0) == 0 || errno == EPERM)) {
      reportOutcome(LOG_ERR, "Device '%s' in use by process %d (%s)", devicePath.c_str(),
                    static_cast<int>(holder), path.c_str());
      return -1;
    }
    // A stale lock: its program is gone.
    unlink(path.c_str());
  }
  reportOutcome(LOG_ERR, "Lock file %s: %m", path.c_str());
  return -1;
}

void releaseLockFile(const std::string& lockFile) {
  if (!lockFile.empty() && lockHolder(lockFile) == getpid()) unlink(lockFile.c_str());
}

int lockOpenPort(int port, const std::string& devicePath) {
  if (flock(port, LOCK_EX | LOCK_NB) == 0) return 0;
  reportOutcome(LOG_ERR, "Device '%s' in use: %m", devicePath.c_str());
  return -1;
}
