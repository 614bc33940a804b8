// Running a program under test and collecting what it did.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

struct ProcessResult {
  int exitStatus = -1;   // the exit status, or -1 when it did not exit normally
  int termSignal = 0;    // the signal that ended it, if any
  bool timedOut = false; // killed because it ran past the time limit
  std::string out;       // everything it wrote to standard output
  std::string err;       // everything it wrote to standard error
  double seconds = 0;    // wall time from start to end
};

// Runs argv with an empty standard input, collects both outputs and waits at
// most timeoutSeconds before killing it.
ProcessResult runProcess(const std::vector<std::string>& argv, double timeoutSeconds = 60);

// The path of a program the tests use: the environment variable of that name
// when set, else the one this build made (MODEM_SETUP_PROGRAM,
// NETIF_RENAME_PROGRAM, MODEM_SIM_PROGRAM, SANDBOX_RUN).
std::string programPath(const std::string& name);

// The words that run a program under test: its path, preceded by the words of
// $PROGRAM_EMULATOR when a cross build runs its binaries under an emulator.
std::vector<std::string> programCommand(const char* envName);

// True when the programs under test run under an emulator.
bool underEmulator();

// The argument lists, as /proc/PID/cmdline shows them (and ps with them), of
// the running processes whose first argument is program and that have word
// among their arguments.
std::vector<std::vector<std::string>> runningCommandLines(const std::string& program,
                                                          const std::string& word);

}  // namespace testsupport
