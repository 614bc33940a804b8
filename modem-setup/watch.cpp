// The watch (-m): after the first configuration the program keeps the port
// for the board's whole life and listens. It sends nothing while the modem
// is up, quiet or talking on its own; it configures the modem again when
// the console shows a boot (a bootloader's countdown, a kernel's banner, a
// text given with -B, a device that went away and came back), and when
// SIGHUP asks for it. The modem's own lines reach the log, a few a minute.
#include <stdio.h>
#include <syslog.h>

#include <algorithm>

#include "modem_setup.h"

namespace {

// Where the modem's console stands, as far as the watch knows.
enum class ModemState { Configured, LoggedOut, Refused, NotAnswering };

// The console's own lines the log takes in a minute; the rest are counted.
constexpr int NOTICES_PER_MINUTE = 5;
constexpr unsigned NOTICE_WINDOW_MS = 60000;

struct NoticeQuota {
  unsigned windowStart = 0;
  int logged = 0;
  int leftOut = 0;
};

void closeNoticeWindow(NoticeQuota& quota) {
  if (quota.leftOut > 0)
    syslog(LOG_INFO, "Modem console: %d more lines within a minute, not logged", quota.leftOut);
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

// How long until the count of lines left out is due; -1 when none is.
int noticeWakeMs(const NoticeQuota& quota) {
  if (quota.leftOut == 0) return -1;
  int left = static_cast<int>(quota.windowStart + NOTICE_WINDOW_MS - monotonicMs());
  return std::max(left, 0);
}

ModemState stateAfter(int status) {
  if (status == EXIT_LOGIN_REFUSED) return ModemState::Refused;
  if (status == EXIT_NOT_ANSWERING || status == EXIT_DEVICE_NEVER_APPEARED)
    return ModemState::NotAnswering;
  return ModemState::Configured;
}

void noteReboot(ConsoleSession& session, const SetupOptions& options, const std::string& sign) {
  ++session.reboots;
  std::string line =
      reportOutcome(LOG_INFO, "Modem rebooting: its console showed \"%s\"", sign.c_str());
  runOutcomeCommand(options, "rebooted", "-", session.reboots, line);
}

// The line of the console's output that shows a boot, shown as the log
// quotes it; empty when none does. Lines before it are the modem's notices.
std::string takeOutput(ConsoleSession& session, const SetupOptions& options,
                       std::string& unfinished, const char* text, int length,
                       NoticeQuota& quota) {
  std::vector<std::string> lines;
  followConsoleLine(session.line, session.lastText, text, length);
  takeConsoleLines(unfinished, text, length, lines);
  for (const std::string& line : lines) {
    if (isBootLine(line, options.bootTexts)) return shownConsoleLine(line);
    logNotice(quota, line);
  }
  if (isCountdownLine(session.line)) return shownConsoleLine(session.line);
  return "";
}

}  // namespace

int watchConsole(ConsoleSession& session, const SetupOptions& options, std::ifstream& commandFile,
                 int outcome) {
  char buffer[CONSOLE_READ_MAX + 1];
  int gapMs = chunkGapMs(options.baudRate);
  std::string unfinished;  // the console's line not yet ended by a LF
  NoticeQuota quota;
  ModemState state = stateAfter(outcome);
  Occasion lastOccasion = Occasion::Boot;
  // Nothing is pending while the modem is up: the watch sleeps until the
  // console talks, a signal comes, or lines left out are to be counted.
  while (session.port >= 0 && outcome != EXIT_STOPPED) {
    ConsoleEvent event = awaitConsole(session, noticeWakeMs(quota));
    unsigned sinceMs = monotonicMs();
    Occasion occasion = lastOccasion;
    if (event == ConsoleEvent::Stop) return EXIT_STOPPED;
    if (event == ConsoleEvent::Quiet) {
      closeNoticeWindow(quota);
      continue;
    }
    int n = event == ConsoleEvent::Output ? readChunk(session.port, buffer, gapMs, nullptr) : 0;
    if (options.debug && n > 0) {
      printf("~~~ <%s>\n", chunkText(buffer, n).c_str());
      fflush(stdout);
    }
    if (event == ConsoleEvent::Reload) {
      syslog(LOG_INFO, "Reloading: sending the commands of %s again", options.configPath.c_str());
      occasion = Occasion::Reload;
    } else if (event == ConsoleEvent::Gone || n <= 0) {
      syslog(LOG_INFO, "Device '%s' went away", options.devicePath.c_str());
      int status = reopenPort(session, options, waitDeadline(options, monotonicMs()));
      if (status != 0) return status;
      unfinished.clear();
      sinceMs = monotonicMs();
      noteReboot(session, options, "its device went away and came back");
      occasion = Occasion::Reboot;
    } else {
      std::string bootSign = takeOutput(session, options, unfinished, buffer, n, quota);
      if (!bootSign.empty()) {
        noteReboot(session, options, bootSign);
        occasion = Occasion::Reboot;
      } else if (state == ModemState::Configured &&
                 classifyLoginTail(session.line) == LoginTail::LoginPrompt) {
        // An idle timeout, not a boot: logging in again would send the
        // commands again, and each may write the modem's flash.
        std::string line = reportOutcome(
            LOG_INFO, "Modem ended its console session; not logging in until it reboots");
        runOutcomeCommand(options, "logged-out", "-", session.reboots, line);
        state = ModemState::LoggedOut;
        continue;
      } else if (state != ModemState::NotAnswering) {
        continue;
      }
      // A modem that did not answer in time shows up: the wait begins again.
    }
    bool loggedIn = occasion == Occasion::Reload && state == ModemState::Configured;
    if (!loggedIn) unfinished.clear();
    outcome = configureModem(session, options, commandFile, occasion, sinceMs, loggedIn);
    state = stateAfter(outcome);
    lastOccasion = occasion;
  }
  return outcome;
}
