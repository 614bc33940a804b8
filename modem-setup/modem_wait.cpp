// Waiting for a modem that boots with the board: its device node may come
// late, its bootloader stops for good at any byte received during its
// countdown, and its login comes a minute later. So the node is opened once
// it is there and set raw at once, nothing is sent until the console has been
// quiet, its prompts are answered at once, and no byte goes out while a
// countdown shows.
#include <errno.h>
#include <sched.h>
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
// The last outcome line, for the outcome command.
char outcomeLine[512];
// How often a device node is looked for once the wait is over (a watch
// whose modem's USB console went away for good).
constexpr useconds_t DEVICE_LOOK_OVERDUE_US = 1000000;

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

int openConsolePort(ConsoleSession& session, const SetupOptions& options, unsigned deadlineMs) {
  session.line.clear();
  session.port = openWhenPresent(options, deadlineMs, false);
  if (session.port == -2) {
    reportOutcome(LOG_ERR, "Device '%s' did not appear within %d s", options.devicePath.c_str(),
                  options.bootWaitSeconds);
    runOutcomeCommand(options, "no-device", EXIT_DEVICE_NEVER_APPEARED, session.reboots);
    if (!options.watch) return EXIT_DEVICE_NEVER_APPEARED;
    // A watch waits on for the modem's console, however late.
    session.port = openWhenPresent(options, deadlineMs, true);
  }
  if (session.port >= 0) return 0;
  if (session.port == -3) return EXIT_STOPPED;
  syslog(LOG_ERR, "Opening device '%s' failed", options.devicePath.c_str());
  return 1;
}

int reopenPort(ConsoleSession& session, const SetupOptions& options, unsigned deadlineMs) {
  close(session.port);
  // A node that is there but hangs up at once is not reopened in a spin.
  usleep(DEVICE_LOOK_US);
  return openConsolePort(session, options, deadlineMs);
}

void reportOutcome(int priority, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  // A longer line is cut: the outcome is in its first words.
  (void)vsnprintf(outcomeLine, sizeof outcomeLine, format, arguments);
  va_end(arguments);
  syslog(priority, "%s", outcomeLine);
  fprintf(stderr, "serial-modem-setup: %s\n", outcomeLine);
}

const char* lastOutcome() { return outcomeLine; }

int openWhenPresent(const SetupOptions& options, unsigned deadlineMs, bool lookForever) {
  // A missing node (or a link to one) may still come; any other trouble is
  // for the open to report.
  while (access(options.devicePath.c_str(), F_OK) != 0 && errno == ENOENT) {
    if (stopPending()) return -3;
    bool overdue = !beforeDeadline(deadlineMs);
    if (overdue && !lookForever) return -2;
    usleep(overdue ? DEVICE_LOOK_OVERDUE_US : DEVICE_LOOK_US);
  }
  // What the modem printed into the port before anyone opened it is handed
  // to the terminal layer at the open, and the kernel's work that takes it
  // in echoes it back (a key to a bootloader) while the line is still
  // cooked. At real-time priority that work cannot cut in between the open
  // and the raw settings on a single core; without the privilege the gap is
  // just as short as the two calls.
  sched_param priority = {1};
  bool raised = sched_setscheduler(0, SCHED_FIFO, &priority) == 0;
  int port = openSerialPort(options.devicePath, options.baudRate);
  priority.sched_priority = 0;
  if (raised) sched_setscheduler(0, SCHED_OTHER, &priority);
  if (port >= 0 && lockOpenPort(port, options.devicePath) != 0) {
    close(port);
    return -1;
  }
  return port;
}

int waitForLogin(ConsoleSession& session, const SetupOptions& options, unsigned deadlineMs) {
  char buffer[CONSOLE_READ_MAX + 1];
  int gapMs = chunkGapMs(options.baudRate);
  unsigned quietMs =
      static_cast<unsigned>(std::min(std::max(options.quietSeconds, 1), 3600)) * 1000u;
  unsigned nudgeQuietMaxMs = std::max(quietMs, NUDGE_QUIET_MAX_MS);
  unsigned quietSince = monotonicMs();
  unsigned quietNeeded = quietMs;
  int usernamesSent = 0;
  int passwordsSent = 0;

  // A prompt already on the line (a watch saw it come) is answered first.
  for (bool judge = !session.line.empty(); beforeDeadline(deadlineMs); judge = false) {
    if (!judge) {
      // Asleep until the console talks, the next newline is due, or the
      // deadline: a bootloader counting down may be quiet past any nudge.
      int untilDeadline = static_cast<int>(deadlineMs - monotonicMs());
      int untilNudge = static_cast<int>(quietSince + quietNeeded - monotonicMs());
      int sleepMs =
          isCountdownLine(session.line) ? untilDeadline : std::min(untilNudge, untilDeadline);
      ConsoleEvent event = awaitConsole(session, std::max(sleepMs, 0));
      if (event == ConsoleEvent::Stop) return EXIT_STOPPED;
      if (event == ConsoleEvent::Reload) continue;
      int n = 0;
      if (event == ConsoleEvent::Output)
        n = readChunk(session.port, buffer, gapMs, hasLoginPromptTail);
      if (event == ConsoleEvent::Gone || (event == ConsoleEvent::Output && n <= 0)) {
        int outcome = reopenPort(session, options, deadlineMs);
        if (outcome != 0) return outcome;
        quietSince = monotonicMs();
        quietNeeded = quietMs;
        continue;
      }
      if (event == ConsoleEvent::Quiet) {
        // Never a byte while a bootloader counts down, however long it is
        // quiet; and none before the quiet is long enough.
        if (isCountdownLine(session.line) || monotonicMs() - quietSince < quietNeeded) continue;
        // Output that came after the poll is read and judged first.
        if (bytesWaiting(session.port) > 0) continue;
        if (options.debug) printf("Nudging after %u s\n", quietNeeded / 1000);
        writeToPort(session.port, "\n");
        quietSince = monotonicMs();
        quietNeeded = std::min(quietNeeded * 2, nudgeQuietMaxMs);
        continue;
      }
      followConsoleLine(session.line, session.lastText, buffer, n);
      quietSince = monotonicMs();
      quietNeeded = quietMs;
      if (options.debug) printf("*** %s ***\n", session.line.c_str());
    }
    switch (classifyLoginTail(session.line)) {
      case LoginTail::LoginPrompt:
        if (!answerPrompt(session.port, options.username, usernamesSent, options,
                          "Entering username"))
          return loginRefused(options, passwordsSent);
        session.line.clear();
        break;
      case LoginTail::PasswordPrompt:
        if (!answerPrompt(session.port, options.password, passwordsSent, options,
                          "Entering password"))
          return loginRefused(options, passwordsSent);
        session.line.clear();
        break;
      case LoginTail::ShellPrompt:
        if (options.debug) printf("Prompt found\n");
        syslog(LOG_INFO, "Login complete\n");
        return 0;
      case LoginTail::Other: break;
    }
    if (options.debug) fflush(stdout);
  }
  std::string last = shownConsoleLine(session.line.empty() ? session.lastText : session.line);
  const char* quote = last.empty() ? "" : "'";
  reportOutcome(LOG_ERR,
                "Modem not answering on '%s' within %d s: no shell prompt; its last output: %s%s%s",
                options.devicePath.c_str(), options.bootWaitSeconds, quote,
                last.empty() ? "none" : last.c_str(), quote);
  return EXIT_NOT_ANSWERING;
}
