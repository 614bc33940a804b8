// The DHCP client kick: SIGALRM to the dhcpcd named by the interface's pid file.
#include <signal.h>
#include <syslog.h>

#include <fstream>
#include <sstream>

#include "modem_setup.h"

namespace {

// Pids outside this range are never signalled: 0 and negatives would reach
// whole process groups.
constexpr int LOWEST_PID = 1;
constexpr int HIGHEST_PID = 32767;

}  // namespace

std::string formatInteger(int value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

void kickDhcpClient(const std::string& interfaceName) {
  std::string pidPath = "/var/run/dhcpcd-" + interfaceName + ".pid";
  std::ifstream pidFile(pidPath);
  if (!pidFile.is_open()) {
    syslog(LOG_ERR, "Opening pid file '%s' failed", pidPath.c_str());
    return;
  }
  int pid = 0;
  // A file that does not start with a number, or one too large, names no pid.
  if (!(pidFile >> pid)) pid = 0;
  if (pid < LOWEST_PID || pid > HIGHEST_PID) {
    syslog(LOG_DEBUG, "Invalid pid %d\n", pid);
    pidFile.close();
    return;
  }
  std::string message = "Kicking dhcpcd with pid " + formatInteger(pid);
  message += kill(pid, SIGALRM) == 0 ? " successful" : " failed";
  syslog(LOG_DEBUG, "%s", message.c_str());
  pidFile.close();
}
