#include "fd_writes.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace modemsim {

bool writeSome(int fd, std::string& queue, bool socket) {
  while (!queue.empty()) {
    ssize_t n = socket ? send(fd, queue.data(), queue.size(), MSG_NOSIGNAL)
                       : write(fd, queue.data(), queue.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno == EAGAIN;
    queue.erase(0, static_cast<std::size_t>(n));
  }
  return true;
}

void writeAll(int fd, const std::string& text) {
  for (std::size_t done = 0; done < text.size();) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace modemsim
