// The watch (-m): after the first configuration the program keeps the port
// for the board's whole life and listens. It sends nothing while the modem
// is up, quiet or talking on its own; it configures the modem again when
// the console shows a boot (a bootloader's countdown, a kernel's banner, a
// text given with -B, a device that went away and came back), and when
// SIGHUP asks for it. The modem's own lines reach the log, a few a minute.
#include <syslog.h>

#include "modem_setup.h"

namespace {

// Where the modem's console stands, as far as the watch knows.
enum class ModemState { Configured, LoggedOut, Refused, NotAnswering };

// The console's own lines the log takes in a minute; the rest are counted,
// and the count logged with the next line after the minute.
constexpr int NOTICES_PER_MINUTE = 5;
constexpr unsigned NOTICE_WINDOW_MS = 60000;

struct NoticeQuota {
  unsigned windowStart = 0;
  int logged = 0;
  int leftOut = 0;
};

void closeNoticeWindow(NoticeQuota& quota) {
  if (quota.leftOut > 0)
    syslog(LOG_INFO, "Modem console: %d more lines not logged", quota.leftOut);
  quota.logged = 0;
  quota.leftOut = 0;
  quota.windowStart = monotonicMs();
}

void logNotice(NoticeQuota& quota, const std::string& line) {
  // The prompt's own line is no notice.
  if (line == SHELL_PROMPT) return;
  if (monotonicMs() - quota.windowStart >= NOTICE_WINDOW_MS) closeNoticeWindow(quota);
  if (quota.logged++ < NOTICES_PER_MINUTE)
    syslog(LOG_INFO, "Modem console: \"%s\"", shownConsoleLine(line).c_str());
  else
    ++quota.leftOut;
}

// The status the watch keeps for a session the modem ended itself.
constexpr int EXIT_LOGGED_OUT = -1;

ModemState stateAfter(int status) {
  if (status == EXIT_LOGGED_OUT) return ModemState::LoggedOut;
  if (status == EXIT_LOGIN_REFUSED) return ModemState::Refused;
  if (status == EXIT_NOT_ANSWERING || status == EXIT_DEVICE_NEVER_APPEARED)
    return ModemState::NotAnswering;
  return ModemState::Configured;
}

// A reboot seen: counted, and told to the outcome command after its line.
void noteReboot(ConsoleSession& session, const SetupOptions& options) {
  ++session.reboots;
  runOutcomeCommand(options, "rebooted", -1, session.reboots);
}

// Takes a chunk of the console's own output: its lines before any that
// shows a boot are the modem's notices. True when one shows a boot (logged).
bool showsBoot(ConsoleSession& session, const SetupOptions& options, std::string& unfinished,
               const char* text, int length, NoticeQuota& quota) {
  followConsoleLine(session.line, session.lastText, text, length);
  std::string line;
  for (int at = 0; at < length;) {
    at += takeConsoleLine(unfinished, text + at, length - at, line);
    if (isBootLine(line, options.bootText)) break;
    if (!line.empty()) logNotice(quota, line);
    line.clear();
  }
  // A bootloader's countdown shows on the line it is still printing.
  if (line.empty() && isCountdownLine(session.line)) line = session.line;
  if (line.empty()) return false;
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
  NoticeQuota quota;
  // Nothing is pending while the modem is up: the watch sleeps until the
  // console talks or a signal comes.
  while (session.port >= 0 && outcome != EXIT_STOPPED) {
    ModemState state = stateAfter(outcome);
    ConsoleEvent event = awaitConsole(session, -1);
    unsigned sinceMs = monotonicMs();
    Occasion occasion = session.reboots > 0 ? Occasion::Reboot : Occasion::Boot;
    int n = event == ConsoleEvent::Output ? readChunk(session.port, buffer, gapMs, nullptr) : 0;
    if (event == ConsoleEvent::Stop) return EXIT_STOPPED;
    if (event == ConsoleEvent::Quiet) continue;
    if (event == ConsoleEvent::Reload) {
      occasion = Occasion::Reload;
    } else if (n <= 0) {
      // A device that goes away (a USB console) and comes back is a boot.
      int status = reopenPort(session, options, waitDeadline(options, monotonicMs()));
      if (status != 0) return status;
      unfinished.clear();
      sinceMs = monotonicMs();
      reportOutcome(LOG_INFO, "Modem rebooting: device '%s' came back", options.devicePath.c_str());
      noteReboot(session, options);
      occasion = Occasion::Reboot;
    } else if (showsBoot(session, options, unfinished, buffer, n, quota)) {
      noteReboot(session, options);
      occasion = Occasion::Reboot;
    } else if (state == ModemState::Configured &&
               classifyLoginTail(session.line) == LoginTail::LoginPrompt) {
      // An idle timeout, not a boot: logging in again would send the
      // commands again, and each may write the modem's flash.
      reportOutcome(LOG_INFO, "Modem logged out: no login until it reboots");
      runOutcomeCommand(options, "logged-out", -1, session.reboots);
      outcome = EXIT_LOGGED_OUT;
      continue;
    } else if (state != ModemState::NotAnswering) {
      continue;
    }
    // Else a modem that did not answer in time shows up: the wait again.
    bool loggedIn = occasion == Occasion::Reload && state == ModemState::Configured;
    if (!loggedIn) unfinished.clear();
    outcome = configureModem(session, options, commandFile, occasion, sinceMs, loggedIn);
  }
  return outcome;
}
