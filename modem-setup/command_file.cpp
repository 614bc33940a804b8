// The command file: send each command, then wait for the shell prompt.
#include <stdio.h>
#include <syslog.h>
#include <termios.h>

#include "modem_setup.h"

namespace {

// Polls a command may take before it counts as failed: about 2 s of silence.
constexpr int PROMPT_POLL_BUDGET = 200;
// A silent console is nudged with a newline on the first silent poll and on
// every 25th after it.
constexpr int SILENT_POLLS_PER_NEWLINE = 25;

}  // namespace

bool readCommand(std::istream& commandFile, std::string& command) {
  while (std::getline(commandFile, command))
    if (!command.empty() && command[0] != '#') return true;
  return false;
}

void runCommandFile(int port, std::istream& commandFile, const SetupOptions& options,
                    int& failedCommands) {
  std::string command;
  while (readCommand(commandFile, command)) {
    // What the console sent before this command (a late prompt answering an
    // earlier newline, say) is no answer to it. A device that is not a
    // terminal has nothing to discard.
    tcflush(port, TCIFLUSH);
    // No terminator: the newline goes out on the first silent poll.
    writeToPort(port, command);
    int polls = waitForPrompt(port, PROMPT_POLL_BUDGET);
    if (polls < 0) {
      ++failedCommands;
      continue;
    }
    if (options.debug) {
      printf("::: %d\n", polls);
      fflush(stdout);
    }
  }
  // A file that stops being readable must not look like a finished one.
  if (commandFile.bad()) {
    syslog(LOG_ERR, "Reading cmd file '%s' failed", options.configPath.c_str());
    ++failedCommands;
  }
}

int waitForPrompt(int fd, int maxAttempts) {
  char buffer[CONSOLE_READ_MAX + 1];
  int attempts = 0;
  int silentPolls = 0;
  // Until the command's newline is out the console has not run it, so no
  // prompt can be its answer yet.
  bool newlineSent = false;
  while (attempts < maxAttempts) {
    int n = readWithTimeout(fd, buffer, CONSOLE_READ_MAX);
    if (n < 0) return -1;
    if (n == 0) {
      if (silentPolls % SILENT_POLLS_PER_NEWLINE == 0 && writeToPort(fd, "\n") == 0)
        newlineSent = true;
      ++silentPolls;
      ++attempts;
      continue;
    }
    if (newlineSent && hasPromptLine(chunkText(buffer, n))) return attempts;
    ++attempts;
  }
  return -1;
}
