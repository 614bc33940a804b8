#include "pty.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>

namespace modemsim {

namespace {

[[noreturn]] void fail(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

struct LineSpeed {
  int bitsPerSecond;
  speed_t code;
};

const LineSpeed LINE_SPEEDS[] = {
    {1200, B1200},     {2400, B2400},     {4800, B4800},     {9600, B9600},
    {19200, B19200},   {38400, B38400},   {57600, B57600},   {115200, B115200},
    {230400, B230400}, {460800, B460800}, {921600, B921600},
};

// The termios code of a line speed; B0 when there is none.
speed_t speedCode(int bitsPerSecond) {
  for (const LineSpeed& speed : LINE_SPEEDS) {
    if (speed.bitsPerSecond == bitsPerSecond) return speed.code;
  }
  return B0;
}

}  // namespace

bool isLineSpeed(int bitsPerSecond) { return speedCode(bitsPerSecond) != B0; }

Pty::Pty(const std::string& device, int bitsPerSecond, const std::string& link)
    : device_(device), bitsPerSecond_(bitsPerSecond), link_(link) {
  struct stat there {};
  if (!link_.empty() && lstat(link_.c_str(), &there) == 0 && !S_ISLNK(there.st_mode)) {
    errno = EEXIST;
    fail("link " + link_);
  }
  reappear();
}

void Pty::reappear() {
  if (device_.empty()) openPair();
  else openDevice(device_, bitsPerSecond_);
  try {
    pointLink();
  } catch (...) {
    hangUp();
    throw;
  }
}

// A new link beside the old one, renamed over it: whoever opens the path
// finds the old terminal or the new one, never nothing.
void Pty::pointLink() {
  if (link_.empty()) return;
  const std::string fresh = link_ + ".new";
  unlink(fresh.c_str());
  if (symlink(slavePath_.c_str(), fresh.c_str()) < 0) fail("symlink " + fresh);
  if (rename(fresh.c_str(), link_.c_str()) < 0) {
    unlink(fresh.c_str());
    fail("rename " + fresh);
  }
}

// The link goes first: whoever the hangup wakes finds no terminal there.
void Pty::vanish() {
  if (!link_.empty()) unlink(link_.c_str());
  hangUp();
}

void Pty::openPair() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ < 0) fail("posix_openpt");
  try {
    if (fcntl(master_, F_SETFD, FD_CLOEXEC) < 0) fail("fcntl");
    if (fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK) < 0) fail("fcntl");
    if (grantpt(master_) < 0) fail("grantpt");
    if (unlockpt(master_) < 0) fail("unlockpt");
    char path[128];
    if (ptsname_r(master_, path, sizeof path) != 0) fail("ptsname");
    slavePath_ = path;

    // Holding the slave open keeps the master from seeing a hangup whenever
    // the program under test closes its side.
    slave_ = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) fail("open pty slave");
    termios settings{};
    if (tcgetattr(slave_, &settings) < 0) fail("tcgetattr");
    cfmakeraw(&settings);
    if (tcsetattr(slave_, TCSANOW, &settings) < 0) fail("tcsetattr");
  } catch (...) {
    if (slave_ >= 0) close(slave_);
    close(master_);
    slave_ = -1;
    master_ = -1;
    throw;
  }
}

void Pty::openDevice(const std::string& device, int bitsPerSecond) {
  const speed_t code = speedCode(bitsPerSecond);
  if (code == B0) {
    errno = EINVAL;
    fail("line speed " + std::to_string(bitsPerSecond));
  }
  // Non-blocking: the open must not wait for a carrier, and the serving
  // loop never blocks.
  master_ = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master_ < 0) fail("open " + device);
  try {
    termios settings{};
    if (tcgetattr(master_, &settings) < 0) {
      fail(errno == ENOTTY ? device + " is not a terminal device" : "tcgetattr " + device);
    }
    // Raw 8N1 both ways: every byte as it comes, nothing added or eaten.
    cfmakeraw(&settings);
    // A modem has no use for carrier detect or hardware handshake, and the
    // cable to it may not carry those lines at all.
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_cflag &= ~CRTSCTS;
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    if (cfsetispeed(&settings, code) < 0 || cfsetospeed(&settings, code) < 0) {
      fail("cfsetspeed " + device);
    }
    if (tcsetattr(master_, TCSANOW, &settings) < 0) fail("tcsetattr " + device);
    // Whatever waited in the port (line noise, an earlier session) is not
    // for this console.
    tcflush(master_, TCIFLUSH);
  } catch (...) {
    close(master_);
    master_ = -1;
    throw;
  }
  slavePath_ = device;
}

void Pty::hangUp() {
  if (master_ < 0) return;
  // Closing the master alone hangs the slave up too, but only after marking
  // it closed: a reader woken in between gets EIO instead of the end of
  // file. A vhangup first gives every reader the end of file, as a serial
  // device that goes away does. It needs CAP_SYS_ADMIN; without it the
  // close still hangs up.
  if (slave_ >= 0) {
    ioctl(slave_, TIOCVHANGUP);
    close(slave_);
  }
  close(master_);
  slave_ = -1;
  master_ = -1;
}

Pty::~Pty() {
  if (slave_ >= 0) close(slave_);
  if (master_ >= 0) close(master_);
  if (!link_.empty()) unlink(link_.c_str());
}

}  // namespace modemsim
