// The locks terminal programs look for before they open a serial port: an
// exclusive flock on the device (picocom) and a UUCP lock file in
// /var/lock (minicom, uucp, cu). Holding both, the wait and the watch make a
// person who opens the console meanwhile hear that it is in use, instead of
// sharing its bytes with the dialogue.
#include <errno.h>
#include <fcntl.h>
#include <libgen.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <syslog.h>
#include <unistd.h>

#include "modem_setup.h"

namespace {

const char LOCK_DIRECTORY[] = "/var/lock";

// The lock files of a device: LCK.. and its name, and the name of the node
// it links to when that differs (/dev/dslcons0 -> ttyS1), as a program
// given either path looks for.
std::vector<std::string> lockFilePaths(const std::string& devicePath) {
  std::vector<std::string> names;
  std::string given = devicePath;
  names.push_back(basename(&given[0]));
  char target[PATH_MAX];
  if (realpath(devicePath.c_str(), target)) {
    std::string name = basename(target);
    if (name != names[0]) names.push_back(name);
  }
  std::vector<std::string> paths;
  for (const std::string& name : names) paths.push_back(std::string(LOCK_DIRECTORY) + "/LCK.." + name);
  return paths;
}

// The pid a lock file names; 0 when it names none.
pid_t lockHolder(const std::string& path) {
  char text[32] = {};
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  // The ASCII format ("%10d\n"); an old binary one reads as no pid.
  return n > 0 ? static_cast<pid_t>(atoi(text)) : 0;
}

// 0 when the lock file is ours now; -1 when a running program holds it or
// it cannot be made.
int takeLockFile(const std::string& path) {
  for (int tries = 0; tries < 2; ++tries) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
      char text[16];
      int length = snprintf(text, sizeof text, "%10d\n", static_cast<int>(getpid()));
      bool written = write(fd, text, static_cast<size_t>(length)) == length;
      close(fd);
      if (written) return 0;
      unlink(path.c_str());
      break;
    }
    if (errno != EEXIST) break;
    pid_t holder = lockHolder(path);
    if (holder > 0 && holder != getpid() && (kill(holder, 0) == 0 || errno == EPERM)) {
      reportOutcome(LOG_ERR, "Device in use: process %d holds its lock file %s",
                    static_cast<int>(holder), path.c_str());
      return -1;
    }
    // A stale lock: its program is gone.
    unlink(path.c_str());
  }
  reportOutcome(LOG_ERR, "Cannot make the lock file %s: %s", path.c_str(), strerror(errno));
  return -1;
}

}  // namespace

int takeLockFiles(const std::string& devicePath, std::vector<std::string>& taken) {
  // A system without the directory has no programs that look there.
  if (access(LOCK_DIRECTORY, W_OK) != 0 && errno == ENOENT) return 0;
  for (const std::string& path : lockFilePaths(devicePath)) {
    if (takeLockFile(path) != 0) return -1;
    taken.push_back(path);
  }
  return 0;
}

void releaseLockFiles(const std::vector<std::string>& taken) {
  for (const std::string& path : taken)
    if (lockHolder(path) == getpid()) unlink(path.c_str());
}

int lockOpenPort(int port, const std::string& devicePath) {
  // The descriptor is the program's alone: an outcome command started
  // later must not hold the port, nor its lock.
  fcntl(port, F_SETFD, FD_CLOEXEC);
  if (flock(port, LOCK_EX | LOCK_NB) == 0) return 0;
  if (errno == EWOULDBLOCK)
    reportOutcome(LOG_ERR, "Device '%s' in use: another program holds its lock",
                  devicePath.c_str());
  else
    reportOutcome(LOG_ERR, "Locking device '%s' failed: %s", devicePath.c_str(), strerror(errno));
  return -1;
}
