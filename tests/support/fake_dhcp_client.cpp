#include "fake_dhcp_client.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {
namespace {

int reportFd = -1;

void onAlarm(int) {
  char byte = 'A';
  ssize_t ignored = write(reportFd, &byte, 1);
  (void)ignored;
}

}  // namespace

FakeDhcpClient::FakeDhcpClient() {
  int channel[2];
  if (pipe2(channel, O_CLOEXEC) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    reportFd = channel[1];
    struct sigaction action = {};
    action.sa_handler = onAlarm;
    sigaction(SIGALRM, &action, nullptr);
    for (;;) pause();
  }
  close(channel[1]);
  reports_ = channel[0];
}

FakeDhcpClient::~FakeDhcpClient() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (reports_ >= 0) close(reports_);
}

bool FakeDhcpClient::waitForAlarm(double timeoutSeconds) {
  pollfd report = {reports_, POLLIN, 0};
  if (poll(&report, 1, static_cast<int>(timeoutSeconds * 1000)) <= 0) return false;
  char byte;
  return read(reports_, &byte, 1) == 1;
}

pid_t goneProcessPid() {
  pid_t pid = fork();
  if (pid == 0) _exit(0);
  waitpid(pid, nullptr, 0);
  return pid;
}

}  // namespace testsupport
