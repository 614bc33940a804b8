// The command file: send each command, then wait for the shell prompt.
#include <stdio.h>
#include <syslog.h>
#include <termios.h>

#include <algorithm>

#include "modem_setup.h"

namespace {

// Polls a command may take before it counts as failed: about 2 s of silence.
constexpr int PROMPT_POLL_BUDGET = 200;
// A silent console is nudged with a newline on the first silent poll and on
// every 25th after it.
constexpr int SILENT_POLLS_PER_NEWLINE = 25;
// A console that owes prompts may stay silent as long as the login lets it
// take over an answer (-w), and at least 100 ms, before it is given up on.
constexpr int OWED_QUIET_MIN_US = 100000;
constexpr int POLL_US = 10000;
constexpr int POLL_MS = POLL_US / 1000;

// Logs a rejected command by its line in the file and the console's words,
// never by its own text: command files hold passwords.
void reportRejection(const SetupOptions& options, int lineNumber, const std::string& consoleLine) {
  reportOutcome(LOG_ERR, "Command on line %d of %s rejected: \"%s\"", lineNumber,
                options.configPath.c_str(), shownConsoleLine(consoleLine).c_str());
}

// Judges the line of the answer read so far, and starts the next.
void judgeLine(AnswerCheck& check) {
  if (check.rejection.empty() && rejectsCommand(check.partialLine, check.command, check.errorTexts))
    check.rejection.swap(check.partialLine);
  check.partialLine.clear();
}

}  // namespace

bool readCommand(std::istream& commandFile, std::string& command, int* lineNumber) {
  while (std::getline(commandFile, command)) {
    if (lineNumber) ++*lineNumber;
    if (!command.empty() && command[0] != '#') return true;
  }
  return false;
}

void checkAnswer(AnswerCheck& check, const std::string& chunk, bool stopAtPrompt) {
  size_t start = 0;
  for (;;) {
    size_t end = chunk.find('\n', start);
    size_t length = (end == std::string::npos ? chunk.size() : end) - start;
    // The prompt's line and what follows it are no longer the answer.
    if (stopAtPrompt && chunk.compare(start, length, SHELL_PROMPT) == 0) return;
    check.partialLine.append(chunk.data() + start, length);
    // Only a whole line is judged: a piece of the echo is not yet the echo.
    if (end == std::string::npos) return;
    judgeLine(check);
    start = end + 1;
  }
}

void runCommandFile(int port, std::istream& commandFile, const SetupOptions& options,
                    CommandTally& tally) {
  int gapMs = chunkGapMs(options.baudRate);
  int quietPolls = std::max(options.loginWaitUs, OWED_QUIET_MIN_US) / POLL_US;
  // The console answers every newline with a prompt. A slow command gets
  // the newlines of later silent polls too; their prompts are collected
  // before anything else is sent, so the run keeps in step with it.
  int owedPrompts = 0;
  std::string command;
  int lineNumber = 0;
  // A stop (SIGTERM, in the wait mode) ends the phase between two commands.
  while (!stopPending() && readCommand(commandFile, command, &lineNumber)) {
    collectOwedPrompts(port, owedPrompts, gapMs, quietPolls, options.debug);
    // What the console sent before this command (a prompt later than the
    // collection allowed for, say) is no answer to it. A device that is
    // not a terminal has nothing to discard.
    tcflush(port, TCIFLUSH);
    // No terminator: the newline goes out on the first silent poll.
    writeToPort(port, command);
    ++tally.sentCommands;
    // Without error texts there is nothing to judge, and no line is kept.
    AnswerCheck check{options.errorTexts, command, {}, {}};
    int polls = waitForPrompt(port, PROMPT_POLL_BUDGET, gapMs, owedPrompts,
                              options.errorTexts.empty() ? nullptr : &check);
    // A line the console left unfinished (its last words before it fell
    // silent) is judged too.
    judgeLine(check);
    bool rejected = !check.rejection.empty();
    if (rejected) {
      reportRejection(options, lineNumber, check.rejection);
      ++tally.rejectedCommands;
    }
    if (polls < 0 || rejected) ++tally.failedCommands;
    // The trace shows every command whose prompt came back, rejected or not.
    if (polls >= 0 && options.debug) {
      printf("::: %d\n", polls);
      fflush(stdout);
    }
  }
  // The kick and the end of the run come after the console's last answer.
  collectOwedPrompts(port, owedPrompts, gapMs, quietPolls, options.debug);
  // A file that stops being readable must not look like a finished one.
  if (commandFile.bad()) {
    syslog(LOG_ERR, "Reading cmd file '%s' failed", options.configPath.c_str());
    ++tally.failedCommands;
  }
}

int waitForPrompt(int fd, int maxAttempts, int gapMs, int& owedPrompts, AnswerCheck* check) {
  char buffer[CONSOLE_READ_MAX + 1];
  int attempts = 0;
  int silentPolls = 0;
  // Until the command's newline is out the console has not run it, so no
  // prompt can be its answer yet.
  int newlinesSent = 0;
  // A stuck or vanished console owes nothing worth waiting for.
  owedPrompts = 0;
  while (attempts < maxAttempts && !stopPending()) {
    unsigned began = monotonicMs();
    int n = readChunk(fd, buffer, gapMs, newlinesSent ? hasPromptLine : nullptr);
    if (n < 0) return -1;
    if (n == 0) {
      if (silentPolls % SILENT_POLLS_PER_NEWLINE == 0 && writeToPort(fd, "\n") == 0) ++newlinesSent;
      ++silentPolls;
      ++attempts;
      continue;
    }
    std::string chunk = chunkText(buffer, n);
    int prompts = newlinesSent ? countPromptLines(chunk) : 0;
    if (check) checkAnswer(*check, chunk, prompts > 0);
    if (prompts > 0) {
      owedPrompts = std::max(newlinesSent - prompts, 0);
      return attempts;
    }
    // A chunk costs the polls its reading spanned, so a console that never
    // stops talking is given up on after the budget's time, not after as
    // many chunks of up to 50 gaps each.
    attempts += std::max(1, static_cast<int>(monotonicMs() - began) / POLL_MS);
  }
  return -1;
}
