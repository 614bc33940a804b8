// The console's serial port: opening it raw, the 10 ms poll, and writes that
// deliver every byte to a non-blocking line.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <time.h>
#include <unistd.h>

#include "modem_setup.h"

namespace {

// How long a write waits for a port that accepts nothing at all, in ms.
constexpr int WRITE_STALL_LIMIT_MS = 2000;

}  // namespace

speed_t speedCodeFor(int baudRate) {
  switch (baudRate) {
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    default: return B115200;
  }
}

int openSerialPort(const std::string& devicePath, int baudRate) {
  // O_NOCTTY: a program started as a session leader without a terminal (as
  // a service manager starts it) would otherwise take the console as its
  // controlling terminal, and a hangup of the line would kill it with SIGHUP.
  // O_CLOEXEC: a program the run starts must not hold the port, nor its lock.
  int fd = open(devicePath.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    perror(("open " + devicePath).c_str());
    return -1;
  }
  // Raw 8N1, no flow control, no translation: the console sees exactly the
  // bytes we write and we see exactly what it sends.
  termios settings;
  memset(&settings, 0, sizeof settings);
  settings.c_iflag = IGNBRK;
  settings.c_cflag = speedCodeFor(baudRate) | CS8 | CREAD | CLOCAL;
  settings.c_cc[VMIN] = 1;
  settings.c_cc[VTIME] = 2;
  if (tcsetattr(fd, TCSANOW, &settings) != 0) perror("tcsetattr");
  return fd;
}

int readWithTimeout(int fd, char* buffer, int capacity) {
  // An fd_set cannot hold such a descriptor; handing it to select would
  // write outside the set.
  if (fd < 0 || fd >= FD_SETSIZE) {
    fprintf(stderr,
            "select: console descriptor %d is outside the range an fd_set holds (0 to %d)\n", fd,
            FD_SETSIZE - 1);
    return -2;
  }
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(fd, &readable);
  timeval timeout = {0, 10000};
  int ready = select(fd + 1, &readable, nullptr, nullptr, &timeout);
  if (ready < 0) {
    perror("select");
    return -2;
  }
  if (ready == 0) return 0;
  return static_cast<int>(read(fd, buffer, static_cast<size_t>(capacity)));
}

int bytesWaiting(int fd) {
  int waiting = 0;
  if (ioctl(fd, FIONREAD, &waiting) < 0) return -1;
  return waiting;
}

unsigned monotonicMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  // Wraps after 49 days; only differences are ever taken.
  return static_cast<unsigned>(now.tv_sec) * 1000u + static_cast<unsigned>(now.tv_nsec) / 1000000u;
}

int writeToPort(int fd, const char* data, size_t length) {
  size_t sent = 0;
  unsigned lastProgress = monotonicMs();
  while (sent < length) {
    ssize_t n = write(fd, data + sent, length - sent);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      lastProgress = monotonicMs();
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      perror("write");
      return -1;
    }
    // The console's input is full: wait until it takes more, but not forever.
    int left = WRITE_STALL_LIMIT_MS - static_cast<int>(monotonicMs() - lastProgress);
    if (left <= 0) {
      fprintf(stderr, "write: the console accepted nothing for 2 s; %zu of %zu bytes sent\n", sent,
              length);
      return -1;
    }
    pollfd port = {fd, POLLOUT, 0};
    poll(&port, 1, left);
  }
  return 0;
}

int writeToPort(int fd, const std::string& data) {
  return writeToPort(fd, data.data(), data.size());
}
