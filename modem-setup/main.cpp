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

bool openCommandFile(const SetupOptions& options, std::ifstream& commandFile) {
  commandFile.open(options.configPath);
  if (commandFile.is_open()) return true;
  syslog(LOG_ERR, "Opening cmd file '%s' failed", options.configPath.c_str());
  return false;
}

// The wait mode (-W): the modem may still be booting, its device node still
// to come; with -m the run then watches it for good.
int runWaitMode(const SetupOptions& options, std::ifstream& commandFile) {
  unsigned startMs = monotonicMs();
  // A command file that cannot be read is no reason to wait for the modem.
  if (!openCommandFile(options, commandFile)) return 1;
  ConsoleSession session;
  session.signals = openSignals();
  std::string lockFile;
  int status = takeLockFile(options.devicePath, lockFile) == 0 ? 0 : 1;
  if (status == 0) status = openConsolePort(session, options, waitDeadline(options, startMs));
  if (status == 0) status = configureModem(session, options, commandFile, Occasion::Boot, startMs);
  if (options.watch && session.port >= 0)
    status = watchConsole(session, options, commandFile, status);
  if (session.port >= 0) close(session.port);
  releaseLockFile(lockFile);
  if (status == EXIT_STOPPED) reportOutcome(LOG_INFO, "Stopped");
  return status;
}

int main(int argc, char** argv) {
  SetupOptions options;
  parseOptions(argc, argv, options);
  syslog(LOG_INFO, "Configuring DSL modem using %s\n", options.configPath.c_str());
  std::ifstream commandFile;
  if (options.bootWaitSeconds > 0) return runWaitMode(options, commandFile);

  int port = openSerialPort(options.devicePath, options.baudRate);
  if (port < 0) {
    syslog(LOG_ERR, "Opening device '%s' failed", options.devicePath.c_str());
    return 1;
  }
  if (!openCommandFile(options, commandFile)) return 1;
  runLogin(port, options);
  CommandTally tally;
  runCommandFile(port, commandFile, options, tally);
  if (!options.kickInterface.empty()) kickDhcpClient(options.kickInterface);
  syslog(LOG_INFO, "Configuration done\n");
  close(port);
  commandFile.close();
  return std::min(tally.failedCommands, MAX_EXIT_STATUS);
}
