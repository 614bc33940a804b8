// The watch (-m): after the first configuration the program keeps the port
// for the board's whole life and listens. It sends nothing while the modem
// is up, quiet or talking on its own; it configures the modem again when
// the console shows a boot (a bootloader's countdown, a kernel's banner, a
// text given with -B, a device that went away and came back), and when
// SIGHUP asks for it. The modem's own lines reach the log, a few a minute.
#include <string.h>
#include <syslog.h>

#include "modem_setup.h"

namespace {

// The console's own lines are held until it has been quiet for a moment:
// those that turn out to begin a boot (a bootloader's banner) go with its
// log, the others are logged, at most a few a minute, the rest counted and
// the count logged with the first line after the minute.
constexpr size_t NOTICES_PER_MINUTE = 8;
constexpr unsigned NOTICE_WINDOW_MS = 60000;
constexpr int NOTICE_HOLD_MS = 1000;
constexpr size_t NOTICE_HOLD_MAX = 1024;

struct Notices {
  std::string held;  // the lines held, as the log shows them, each ended by a LF
  unsigned windowStart = 0;
  size_t logged = 0;
  int leftOut = 0;
};

void holdNotice(Notices& notices, const std::string& line) {
  // The prompt's own line is no notice.
  if (line == SHELL_PROMPT) return;
  if (notices.held.size() >= NOTICE_HOLD_MAX) {
    ++notices.leftOut;
    return;
  }
  notices.held += shownConsoleLine(line);
  notices.held += '\n';
}

void logNotices(Notices& notices) {
  if (monotonicMs() - notices.windowStart >= NOTICE_WINDOW_MS) {
    if (notices.leftOut > 0)
      syslog(LOG_INFO, "Modem console: %d lines not logged", notices.leftOut);
    notices.logged = 0;
    notices.leftOut = 0;
    notices.windowStart = monotonicMs();
  }
  for (const char* line = notices.held.c_str(); *line;) {
    const char* end = strchr(line, '\n');
    if (notices.logged++ < NOTICES_PER_MINUTE)
      syslog(LOG_INFO, "Modem console: \"%.*s\"", static_cast<int>(end - line), line);
    else ++notices.leftOut;
    line = end + 1;
  }
  notices.held.clear();
}

// The status the watch keeps for a session the modem ended itself.
constexpr int EXIT_LOGGED_OUT = -1;

// Takes a chunk of the console's own output: its lines before any that
// shows a boot are the modem's notices. True when one shows a boot (logged).
bool showsBoot(ConsoleSession& session, const SetupOptions& options, std::string& unfinished,
               const char* text, int length, Notices& notices) {
  followConsoleLine(session.line, session.lastText, text, length);
  std::string line;
  for (int at = 0; at < length;) {
    at += takeConsoleLine(unfinished, text + at, length - at, line);
    if (isBootLine(line, options.bootText)) break;
    if (!line.empty()) holdNotice(notices, line);
    line.clear();
  }
  // A bootloader's countdown shows on the line it is still printing.
  if (line.empty() && isCountdownLine(session.line)) line = session.line;
  if (line.empty()) return false;
  notices.held.clear();
  reportOutcome(LOG_INFO, "Modem rebooting: its console showed \"%s\"",
                shownConsoleLine(line).c_str());
  return true;
}

}  // namespace

int watchConsole(ConsoleSession& session, const SetupOptions& options, std::ifstream& commandFile,
                 int outcome) {
  char buffer[CONSOLE_READ_MAX + 1];
  int gapMs = chunkGapMs(options.baudRate);
  std::string unfinished;  // the console's line not yet ended by a LF
  Notices notices;
  // Nothing is pending while the modem is up: the watch sleeps until the
  // console talks or a signal comes, or for a moment after it talked.
  while (session.port >= 0 && outcome != EXIT_STOPPED) {
    bool configured = outcome >= 0 && outcome <= MAX_WAIT_FAILED_COMMANDS;
    bool notAnswering = outcome == EXIT_NOT_ANSWERING || outcome == EXIT_DEVICE_NEVER_APPEARED;
    ConsoleEvent event = awaitConsole(session, notices.held.empty() ? -1 : NOTICE_HOLD_MS);
    unsigned sinceMs = monotonicMs();
    Occasion occasion = session.reboots > 0 ? Occasion::Reboot : Occasion::Boot;
    int n = event == ConsoleEvent::Output ? readChunk(session.port, buffer, gapMs, nullptr) : 0;
    bool rebooted = false;
    if (event == ConsoleEvent::Stop) return EXIT_STOPPED;
    if (event == ConsoleEvent::Quiet) {
      logNotices(notices);
      continue;
    }
    if (event == ConsoleEvent::Reload) {
      occasion = Occasion::Reload;
    } else if (n <= 0) {
      // A device that goes away (a USB console) and comes back is a boot.
      int status = reopenPort(session, options, waitDeadline(options, monotonicMs()));
      if (status != 0) return status;
      unfinished.clear();
      sinceMs = monotonicMs();
      reportOutcome(LOG_INFO, "Modem rebooting: device '%s' came back", options.devicePath.c_str());
      rebooted = true;
    } else if (showsBoot(session, options, unfinished, buffer, n, notices)) {
      rebooted = true;
    } else if (configured && classifyLoginTail(session.line) == LoginTail::LoginPrompt) {
      // An idle timeout, not a boot: logging in again would send the
      // commands again, and each may write the modem's flash.
      reportOutcome(LOG_INFO, "Modem logged out: no login until it reboots");
      runOutcomeCommand(options, "logged-out", -1, session.reboots);
      outcome = EXIT_LOGGED_OUT;
      continue;
    } else if (!notAnswering) {
      continue;
    }
    // Else a modem that did not answer in time shows up: the wait again.
    if (rebooted) {
      runOutcomeCommand(options, "rebooted", -1, ++session.reboots);
      occasion = Occasion::Reboot;
    }
    bool loggedIn = occasion == Occasion::Reload && configured;
    if (!loggedIn) unfinished.clear();
    outcome = configureModem(session, options, commandFile, occasion, sinceMs, loggedIn);
  }
  return outcome;
}
