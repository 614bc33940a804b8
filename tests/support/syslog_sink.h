// A private system-log socket: receives what a program sends to /dev/log.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

struct LogMessage {
  int priority = -1;  // the level: LOG_ERR, LOG_INFO, LOG_DEBUG, ...
  int facility = -1;  // the facility, shifted down: 1 for LOG_USER
  std::string text;   // the message after "ident[pid]: ", unchanged
};

class SyslogSink {
 public:
  explicit SyslogSink(const std::string& socketPath);  // binds a datagram socket
  ~SyslogSink();
  SyslogSink(const SyslogSink&) = delete;
  SyslogSink& operator=(const SyslogSink&) = delete;

  const std::string& path() const { return path_; }
  // Every message received so far, in order of arrival.
  std::vector<LogMessage> messages();

 private:
  std::string path_;
  int fd_ = -1;
  std::vector<LogMessage> received_;
};

// Parses one datagram as glibc's syslog writes it: "<PRI>date ident[pid]: text".
LogMessage parseSyslogDatagram(const std::string& datagram);

}  // namespace testsupport
