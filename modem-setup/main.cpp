// serial-modem-setup: logs into a DSL modem's serial console, sends it the
// commands of a command file, and can then kick the interface's DHCP client.
// The exit status is the number of commands that failed: no prompt back, or
// (with -a) an answer the modem rejected them with.
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "modem_setup.h"

// The highest exit status a caller can see; more failures must not wrap to 0.
constexpr int MAX_EXIT_STATUS = 255;
// The longest wait for a booting modem: the monotonic milliseconds' span.
constexpr int BOOT_WAIT_MAX_SECONDS = 864000;

bool openCommandFile(const SetupOptions& options, std::ifstream& commandFile) {
  commandFile.open(options.configPath);
  if (commandFile.is_open()) return true;
  syslog(LOG_ERR, "Opening cmd file '%s' failed", options.configPath.c_str());
  return false;
}

// The wait mode's outcome once the commands have been sent.
void reportCommands(const CommandTally& tally, unsigned loginSeconds) {
  if (tally.failedCommands == 0)
    reportOutcome(LOG_INFO, "Modem configured: %d commands answered, logged in after %u s",
                  tally.sentCommands, loginSeconds);
  else if (tally.rejectedCommands == 0)
    reportOutcome(LOG_ERR, "%d of %d commands got no prompt back", tally.failedCommands,
                  tally.sentCommands);
  else
    reportOutcome(LOG_ERR, "%d of %d commands failed: %d rejected, %d got no prompt back",
                  tally.failedCommands, tally.sentCommands, tally.rejectedCommands,
                  tally.failedCommands - tally.rejectedCommands);
}

int main(int argc, char** argv) {
  SetupOptions options;
  parseOptions(argc, argv, options);
  syslog(LOG_INFO, "Configuring DSL modem using %s\n", options.configPath.c_str());

  // Wait mode: the modem may still be booting, its device node still to come.
  bool waiting = options.bootWaitSeconds > 0;
  unsigned startMs = monotonicMs();
  unsigned deadlineMs =
      startMs +
      static_cast<unsigned>(std::min(options.bootWaitSeconds, BOOT_WAIT_MAX_SECONDS)) * 1000u;
  std::ifstream commandFile;
  // A command file that cannot be read is no reason to wait for the modem.
  if (waiting && !openCommandFile(options, commandFile)) return 1;

  int port = waiting ? openWhenPresent(options, deadlineMs)
                     : openSerialPort(options.devicePath, options.baudRate);
  if (port == -2) return EXIT_DEVICE_NEVER_APPEARED;
  if (port < 0) {
    syslog(LOG_ERR, "Opening device '%s' failed", options.devicePath.c_str());
    return 1;
  }
  if (!waiting && !openCommandFile(options, commandFile)) return 1;

  if (waiting) {
    int outcome = waitForLogin(port, options, deadlineMs);
    if (outcome != 0) return outcome;
  } else {
    runLogin(port, options);
  }
  unsigned loginSeconds = (monotonicMs() - startMs) / 1000u;
  CommandTally tally;
  runCommandFile(port, commandFile, options, tally);
  if (!options.kickInterface.empty()) kickDhcpClient(options.kickInterface);
  if (waiting) reportCommands(tally, loginSeconds);

  syslog(LOG_INFO, "Configuration done\n");
  close(port);
  commandFile.close();
  return std::min(tally.failedCommands, waiting ? MAX_WAIT_FAILED_COMMANDS : MAX_EXIT_STATUS);
}
