#include "pty.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>

namespace modemsim {

namespace {

[[noreturn]] void fail(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

Pty::Pty() {
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
    throw;
  }
}

void Pty::hangUp() {
  if (master_ < 0) return;
  // Closing the master alone hangs the slave up too, but only after marking
  // it closed: a reader woken in between gets EIO instead of the end of
  // file. A vhangup first gives every reader the end of file, as a serial
  // device that goes away does. It needs CAP_SYS_ADMIN; without it the
  // close still hangs up.
  ioctl(slave_, TIOCVHANGUP);
  close(slave_);
  close(master_);
  slave_ = -1;
  master_ = -1;
}

Pty::~Pty() {
  if (slave_ >= 0) close(slave_);
  if (master_ >= 0) close(master_);
}

}  // namespace modemsim
