// serial-modem-setup: logs into a DSL modem's serial console, sends it the
// commands of a command file, and can then kick the interface's DHCP client.
// The exit status is the number of commands that got no prompt back.
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "modem_setup.h"

// The highest exit status a caller can see; more failures must not wrap to 0.
constexpr int MAX_EXIT_STATUS = 255;

int main(int argc, char** argv) {
  SetupOptions options;
  parseOptions(argc, argv, options);
  syslog(LOG_INFO, "Configuring DSL modem using %s\n", options.configPath.c_str());

  int port = openSerialPort(options.devicePath, options.baudRate);
  if (port < 0) {
    syslog(LOG_ERR, "Opening device '%s' failed", options.devicePath.c_str());
    return 1;
  }
  std::ifstream commandFile(options.configPath);
  if (!commandFile.is_open()) {
    syslog(LOG_ERR, "Opening cmd file '%s' failed", options.configPath.c_str());
    return 1;
  }

  runLogin(port, options);
  CommandTally tally;
  runCommandFile(port, commandFile, options, tally);
  if (!options.kickInterface.empty()) kickDhcpClient(options.kickInterface);

  syslog(LOG_INFO, "Configuration done\n");
  close(port);
  commandFile.close();
  return std::min(tally.failedCommands, MAX_EXIT_STATUS);
}
