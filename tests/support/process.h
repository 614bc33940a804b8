// Running a program under test and collecting what it did.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace testsupport {

struct ProcessResult {
  int exitStatus = -1;    // the exit status, or -1 when it did not exit normally
  int termSignal = 0;     // the signal that ended it, if any
  bool timedOut = false;  // killed because it ran past the time limit
  std::string out;        // everything it wrote to standard output
  std::string err;        // everything it wrote to standard error
  double seconds = 0;     // wall time from start to end
};

// Runs argv with an empty standard input, collects both outputs and waits at
// most timeoutSeconds before killing it.
ProcessResult runProcess(const std::vector<std::string>& argv, double timeoutSeconds = 60);

// A program running beside the test, its standard input empty: its
// standard output is read line by line; it gets SIGTERM and is reaped when
// the object goes, if not before.
class BackgroundProcess {
 public:
  explicit BackgroundProcess(const std::vector<std::string>& argv);
  ~BackgroundProcess();
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;

  // The next line of its standard output without the LF; "" when none
  // came within the time.
  std::string readLine(double timeoutSeconds = 10);
  // Sends SIGTERM and waits: its exit status, or -1 if a signal ended it.
  int stop();
  // Sends it a signal (SIGHUP, say), if it is still running.
  void signal(int number);

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string buffered_;
};

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
