// The command line: options, usage text and numeric arguments.
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <sstream>

#include "modem_setup.h"

namespace {

const char OPTION_STRING[] = "a:B:b:c:d:De:hk:mp:q:u:w:W:x:";

const char USAGE_LINES[] =
    "\t-b rate\tBaud rate (default: 115200)\n"
    "\t-c conf\tConfig file containing commands to send to serial console (default: "
    "/etc/ppp/bridge.conf)\n"
    "\t-d dev\tUse this serial device (default: /dev/dslcons0)\n"
    "\t-D\tDebug mode\n"
    "\t-e err\tStop after err errors (default: 8)\n"
    "\t-k if\tKick DHCP client on this interface after configuration is done\n"
    "\t-p pass\tPassword to use for console login (default: qorvi)\n"
    "\t-u user\tUsername to use for console login (default: qorvi)\n"
    "\t-w wait\tWait for wait us before login attempts (default: 500000 = 500ms)\n"
    "\t-W secs\tWait up to secs s for a booting modem (default: 0, no wait)\n"
    "\t-q secs\tWith -W: seconds of quiet before a newline is sent (default: 6)\n"
    "\t-a text\tCount a command as failed when a line of its answer holds text (repeatable)\n"
    "\t-m\tWith -W: stay, and configure the modem again after each reboot\n"
    "\t-B text\tWith -m: a line holding text marks a reboot\n"
    "\t-x cmd\tWith -W: run cmd with each outcome as arguments\n"
    "\t-h\tShow this help\n";

}  // namespace

int parseInteger(const std::string& text) {
  std::istringstream in(text);
  int value = 0;
  if (!(in >> std::dec >> value)) return 0;
  return value;
}

void printUsage(const char* argv0, int exitStatus) {
  // GNU basename: the text after the last "/", never a change to argv0.
  const char* name = argv0 ? basename(argv0) : "";
  fprintf(stderr,
          "Usage: %s [-Dh] [-b rate] [-c conf] [-d dev] [-e err] [-p pass] [-u user] "
          "[-w wait] [-k if]\n",
          name);
  fputs(USAGE_LINES, stderr);
  exit(exitStatus);
}

void parseOptions(int argc, char** argv, SetupOptions& options) {
  int option;
  while ((option = getopt(argc, argv, OPTION_STRING)) > 0) {
    switch (option) {
      // An empty text would be in every line.
      case 'a':
        if (*optarg) options.errorTexts.push_back(optarg);
        break;
      case 'B': options.bootText = optarg; break;
      case 'b': options.baudRate = parseInteger(optarg); break;
      case 'c': options.configPath = optarg; break;
      case 'd': options.devicePath = optarg; break;
      case 'D': options.debug = true; break;
      case 'e': options.maxErrors = parseInteger(optarg); break;
      case 'k': options.kickInterface = optarg; break;
      case 'm': options.watch = true; break;
      case 'p':
        options.password = optarg;
        // optarg points into the argument memory that ps and /proc/PID/cmdline
        // show for the whole run: blank the copied password there.
        memset(optarg, 'x', options.password.size());
        break;
      case 'u': options.username = optarg; break;
      case 'w': options.loginWaitUs = parseInteger(optarg); break;
      case 'W': options.bootWaitSeconds = parseInteger(optarg); break;
      case 'q': options.quietSeconds = parseInteger(optarg); break;
      case 'x': options.outcomeCommand = optarg; break;
      case 'h': printUsage(argv[0], 0);
      // getopt has already said what was wrong; a run that did nothing must
      // not look like a success to the boot script that called it.
      default: printUsage(argv[0], 1);
    }
  }
}
