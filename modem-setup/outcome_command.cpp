// The outcome command (-x): run after each outcome of the wait mode, as pppd
// runs ip-up, so the boot service learns of every configuration when it
// happens. The program never waits on it while it holds the console.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include "modem_setup.h"

extern char** environ;

namespace {

// How often the end of the run looks whether the last command has ended.
constexpr useconds_t COLLECT_LOOK_US = 20000;

}  // namespace

void runOutcomeCommand(const SetupOptions& options, const char* event, const std::string& status,
                       int reboots, const std::string& text) {
  if (options.outcomeCommand.empty()) return;
  std::string rebootCount = formatInteger(reboots);
  const char* arguments[] = {options.outcomeCommand.c_str(), event, status.c_str(),
                             rebootCount.c_str(), text.c_str(), nullptr};
  // The command starts with no signal blocked and no console on its input;
  // the port and the signal descriptor are closed on exec.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  pid_t pid;
  int failed = posix_spawn(&pid, arguments[0], &actions, &attributes,
                           const_cast<char* const*>(arguments), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (failed) {
    errno = failed;
    perror(("posix_spawn " + options.outcomeCommand).c_str());
  }
}

void collectOutcomeCommands(unsigned waitMs) {
  unsigned start = monotonicMs();
  for (;;) {
    pid_t ended = waitpid(-1, nullptr, WNOHANG);
    if (ended > 0) continue;
    // None left (ECHILD), or those left may go on without us.
    if (ended < 0 || monotonicMs() - start >= waitMs) return;
    usleep(COLLECT_LOOK_US);
  }
}
