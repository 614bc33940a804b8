#include "syslog_sink.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace testsupport {

SyslogSink::SyslogSink(const std::string& socketPath) : path_(socketPath) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketPath.size() >= sizeof address.sun_path)
    throw std::runtime_error("socket path too long");
  std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
  fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  unlink(socketPath.c_str());
  if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    throw std::runtime_error("cannot bind the log socket " + socketPath);
}

SyslogSink::~SyslogSink() {
  close(fd_);
  unlink(path_.c_str());
}

std::vector<LogMessage> SyslogSink::messages() {
  static char buffer[65536];
  for (;;) {
    ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    if (n < 0) break;
    received_.push_back(parseSyslogDatagram(std::string(buffer, static_cast<size_t>(n))));
  }
  return received_;
}

LogMessage parseSyslogDatagram(const std::string& datagram) {
  LogMessage message;
  size_t close = datagram.find('>');
  if (datagram.empty() || datagram[0] != '<' || close == std::string::npos) {
    message.text = datagram;
    return message;
  }
  int value = std::stoi(datagram.substr(1, close - 1));
  message.priority = value & 7;
  message.facility = value >> 3;
  // The header ends at the first ": " after the identity and pid.
  size_t textStart = datagram.find("]: ", close);
  textStart = textStart == std::string::npos ? datagram.find(": ", close) : textStart + 1;
  message.text =
      textStart == std::string::npos ? datagram.substr(close + 1) : datagram.substr(textStart + 2);
  return message;
}

}  // namespace testsupport
