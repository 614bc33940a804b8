// A child process of the test standing in for the DHCP client: it counts the
// SIGALRMs it receives and reports each one through a pipe.
#pragma once

#include <sys/types.h>

namespace testsupport {

class FakeDhcpClient {
 public:
  FakeDhcpClient();   // forks the client
  ~FakeDhcpClient();  // kills and reaps it
  FakeDhcpClient(const FakeDhcpClient&) = delete;
  FakeDhcpClient& operator=(const FakeDhcpClient&) = delete;

  pid_t pid() const { return pid_; }
  // Waits up to timeoutSeconds for the next SIGALRM; false if none came.
  bool waitForAlarm(double timeoutSeconds);

 private:
  pid_t pid_ = -1;
  int reports_ = -1;
};

// The pid of a process that has ended and been reaped.
pid_t goneProcessPid();

}  // namespace testsupport
