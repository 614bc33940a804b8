// Waiting for a modem that boots with the board: its device node may come
// late, its bootloader stops for good at any byte received during its
// countdown, and its login comes a minute later. So the node is opened once
// it is there and set raw at once, nothing is sent until the console has been
// quiet, its prompts are answered at once, and no byte goes out while a
// countdown shows.
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>

#include "modem_setup.h"

namespace {

// How often the device node is looked for.
constexpr useconds_t DEVICE_LOOK_US = 50000;
// Each newline nothing answered doubles the quiet before the next, up to
// this (or the quiet asked for, when longer): a whole wait sends a handful.
constexpr unsigned NUDGE_QUIET_MAX_MS = 64000;
// A poll that returns at once (a hung-up line reads as end of file) is
// followed by this pause, so the wait never spins.
constexpr useconds_t POLL_US = 10000;

bool beforeDeadline(unsigned deadlineMs) {
  return static_cast<int>(deadlineMs - monotonicMs()) > 0;
}

int loginRefused(const SetupOptions& options, int passwordsSent) {
  reportOutcome(LOG_ERR, "Login refused: user '%s' and its password sent %d times",
                shownConsoleLine(options.username).c_str(), passwordsSent);
  return EXIT_LOGIN_REFUSED;
}

// Answers a credential prompt with text and a newline, unless sent already
// used up the budget.
bool answerPrompt(int port, const std::string& text, int& sent, const SetupOptions& options,
                  const char* trace) {
  if (sent >= options.maxErrors) return false;
  ++sent;
  if (options.debug) printf("%s\n", trace);
  writeToPort(port, text + "\n");
  return true;
}

}  // namespace

void reportOutcome(int priority, const char* format, ...) {
  char line[512];
  va_list arguments;
  va_start(arguments, format);
  // A longer line is cut: the outcome is in its first words.
  (void)vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  syslog(priority, "%s", line);
  fprintf(stderr, "serial-modem-setup: %s\n", line);
}

int openWhenPresent(const SetupOptions& options, unsigned deadlineMs) {
  // A missing node (or a link to one) may still come; any other trouble is
  // for the open to report.
  while (access(options.devicePath.c_str(), F_OK) != 0 && errno == ENOENT) {
    if (!beforeDeadline(deadlineMs)) {
      reportOutcome(LOG_ERR, "Device '%s' did not appear within %d s", options.devicePath.c_str(),
                    options.bootWaitSeconds);
      return -2;
    }
    usleep(DEVICE_LOOK_US);
  }
  return openSerialPort(options.devicePath, options.baudRate);
}

int waitForLogin(int port, const SetupOptions& options, unsigned deadlineMs) {
  char buffer[CONSOLE_READ_MAX + 1];
  int gapMs = chunkGapMs(options.baudRate);
  unsigned quietMs =
      static_cast<unsigned>(std::min(std::max(options.quietSeconds, 1), 3600)) * 1000u;
  unsigned nudgeQuietMaxMs = std::max(quietMs, NUDGE_QUIET_MAX_MS);
  std::string line;      // the console's current line
  std::string lastText;  // its last line that held text, for the outcome
  unsigned quietSince = monotonicMs();
  unsigned quietNeeded = quietMs;
  int usernamesSent = 0;
  int passwordsSent = 0;

  while (beforeDeadline(deadlineMs)) {
    unsigned polled = monotonicMs();
    int n = readChunk(port, buffer, gapMs, hasLoginPromptTail);
    if (n < 0) {
      reportOutcome(LOG_ERR, "Reading device '%s' failed", options.devicePath.c_str());
      return 1;
    }
    if (n == 0) {
      if (monotonicMs() - polled < POLL_US / 2000) usleep(POLL_US);
      // Never a byte while a bootloader counts down, however long it is
      // quiet; and none before the quiet is long enough.
      if (isCountdownLine(line) || monotonicMs() - quietSince < quietNeeded) continue;
      // Output that came after the poll is read and judged first.
      if (bytesWaiting(port) > 0) continue;
      if (options.debug) printf("Nudging after %u s of quiet\n", quietNeeded / 1000);
      writeToPort(port, "\n");
      quietSince = monotonicMs();
      quietNeeded = std::min(quietNeeded * 2, nudgeQuietMaxMs);
      continue;
    }

    followConsoleLine(line, lastText, buffer, n);
    quietSince = monotonicMs();
    quietNeeded = quietMs;
    if (options.debug) printf("*** %s ***\n", line.c_str());
    switch (classifyLoginTail(line)) {
      case LoginTail::LoginPrompt:
        if (!answerPrompt(port, options.username, usernamesSent, options, "Entering username"))
          return loginRefused(options, passwordsSent);
        line.clear();
        break;
      case LoginTail::PasswordPrompt:
        if (!answerPrompt(port, options.password, passwordsSent, options, "Entering password"))
          return loginRefused(options, passwordsSent);
        line.clear();
        break;
      case LoginTail::ShellPrompt:
        if (options.debug) printf("Prompt found\n");
        syslog(LOG_INFO, "Login complete\n");
        return 0;
      case LoginTail::Other: break;
    }
  }
  std::string last = shownConsoleLine(line.empty() ? lastText : line);
  const char* quote = last.empty() ? "" : "'";
  reportOutcome(LOG_ERR,
                "Modem not answering on '%s' within %d s: no shell prompt; its last output: %s%s%s",
                options.devicePath.c_str(), options.bootWaitSeconds, quote,
                last.empty() ? "none" : last.c_str(), quote);
  return EXIT_NOT_ANSWERING;
}
