// The outcome command (-x): run after each outcome of the wait mode, as pppd
// runs ip-up, so the boot service learns of every configuration when it
// happens. The program never waits on it while it holds the console.
#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include "modem_setup.h"

void runOutcomeCommand(const SetupOptions& options, const char* event, int status, int reboots) {
  if (options.outcomeCommand.empty()) return;
  std::string statusText = status < 0 ? "-" : formatInteger(status);
  std::string rebootCount = formatInteger(reboots);
  const char* arguments[] = {options.outcomeCommand.c_str(),
                             event,
                             statusText.c_str(),
                             rebootCount.c_str(),
                             lastOutcome(),
                             nullptr};
  // A command that cannot be started (no process to spare) is left out.
  if (fork() != 0) return;
  // The command starts with no signal blocked; the port and the signal
  // descriptor close on exec.
  sigset_t none = {};
  sigprocmask(SIG_SETMASK, &none, nullptr);
  execv(arguments[0], const_cast<char* const*>(arguments));
  perror(arguments[0]);
  _exit(127);
}
void collectOutcomeCommands() {
  while (waitpid(-1, nullptr, WNOHANG) > 0) {
  }
}
