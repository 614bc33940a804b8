// One configuration of the modem in the wait mode: the login once it has
// booted, the command file, the kick, then one outcome line for the log
// and the outcome command. The first comes after the modem's boot with the
// board; a watch runs one after each reboot and each reload.
#include <syslog.h>

#include <algorithm>

#include "modem_setup.h"

namespace {

// The longest wait for a booting modem: the monotonic milliseconds' span.
constexpr int BOOT_WAIT_MAX_SECONDS = 864000;

// The outcome of the commands, for the log and the outcome command.
void reportCommands(const CommandTally& tally, Occasion occasion, unsigned seconds) {
  const char* when = occasion == Occasion::Boot     ? ""
                     : occasion == Occasion::Reboot ? " after a reboot"
                                                    : " on reload";
  if (tally.failedCommands == 0)
    reportOutcome(LOG_INFO, "Modem configured%s: %d commands answered, logged in after %u s", when,
                  tally.sentCommands, seconds);
  else if (tally.rejectedCommands == 0)
    reportOutcome(LOG_ERR, "%d of %d commands got no prompt back%s", tally.failedCommands,
                  tally.sentCommands, when);
  else
    reportOutcome(LOG_ERR, "%d of %d commands failed%s: %d rejected, %d got no prompt back",
                  tally.failedCommands, tally.sentCommands, when, tally.rejectedCommands,
                  tally.failedCommands - tally.rejectedCommands);
}

// The outcome command's word for a login that did not come.
const char* waitEvent(int status) {
  switch (status) {
    case EXIT_LOGIN_REFUSED: return "refused";
    case EXIT_NOT_ANSWERING: return "not-answering";
    case EXIT_DEVICE_NEVER_APPEARED: return "no-device";
    default: return "failed";
  }
}

}  // namespace

unsigned waitDeadline(const SetupOptions& options, unsigned sinceMs) {
  return sinceMs +
         static_cast<unsigned>(std::min(options.bootWaitSeconds, BOOT_WAIT_MAX_SECONDS)) * 1000u;
}

int configureModem(ConsoleSession& session, const SetupOptions& options, std::ifstream& commandFile,
                   Occasion occasion, unsigned sinceMs, bool loggedIn) {
  int status = loggedIn ? 0 : waitForLogin(session, options, waitDeadline(options, sinceMs));
  if (status == EXIT_STOPPED) return status;
  if (status != 0) {
    runOutcomeCommand(options, waitEvent(status), status, session.reboots);
    return status;
  }
  unsigned seconds = (monotonicMs() - sinceMs) / 1000u;
  // Each later configuration reads the file as it is then (a reload is for
  // a changed file).
  if (occasion != Occasion::Boot) {
    commandFile.close();
    commandFile.open(options.configPath);
  }
  if (!commandFile.is_open()) {
    reportOutcome(LOG_ERR, "Opening cmd file '%s' failed", options.configPath.c_str());
    runOutcomeCommand(options, "failed", 1, session.reboots);
    return 1;
  }
  CommandTally tally;
  runCommandFile(session.port, commandFile, options, tally);
  // A stop cuts the commands short: that is no outcome of theirs.
  if (stopPending()) return EXIT_STOPPED;
  if (!options.kickInterface.empty()) kickDhcpClient(options.kickInterface);
  reportCommands(tally, occasion, seconds);
  syslog(LOG_INFO, "Configuration done\n");
  session.line.clear();
  status = std::min(tally.failedCommands, MAX_WAIT_FAILED_COMMANDS);
  runOutcomeCommand(options, status == 0 ? "configured" : "failed", status, session.reboots);
  return status;
}
