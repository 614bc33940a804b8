// Runs the real serial-modem-setup inside a sandbox whose /dev/log is a
// socket of the test's own, and collects everything it did.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "modem_sim.h"
#include "process.h"
#include "syslog_sink.h"
#include "temp_dir.h"

namespace testsupport {

struct SetupRun {
  ProcessResult process;
  std::vector<LogMessage> log;

  // The log as "PRIORITY text" lines, one a message, for readable asserts.
  std::vector<std::string> logLines() const;
};

struct SandboxOptions {
  std::string runDir;  // bound over /var/run; empty: an empty tmpfs
  int fdFloor = 0;     // > 0: the program's descriptors start at or above it
  double timeoutSeconds = 60;
  // Words that run the sandbox in turn (modem-sim --record ... --, say);
  // a "{}" in the arguments is then theirs to fill in.
  std::vector<std::string> launcher;
};

// Owns a scratch directory and the log socket for the runs of one test.
class SetupHarness {
 public:
  SetupHarness();

  const TempDir& dir() const { return dir_; }
  // Writes a command file into the scratch directory and returns its path.
  std::string commandFile(const std::string& content, const std::string& name = "commands.conf");
  // Runs serial-modem-setup with these arguments and returns what it did,
  // with the log messages of this run only.
  SetupRun run(const std::vector<std::string>& args, const SandboxOptions& sandbox = {});
  // Starts the console and runs against it with these commands, no login
  // pause (-w 0), and the extra arguments, which win over those defaults;
  // stops the console afterwards.
  SetupRun runAgainst(modemsim::ModemSim& modem, const std::string& commands,
                      const std::vector<std::string>& extraArgs = {},
                      const SandboxOptions& sandbox = {});
  // Starts serial-modem-setup beside the test (a watch, say); finish stops
  // it with SIGTERM and returns what it did (its output streams aside).
  std::unique_ptr<BackgroundProcess> start(const std::vector<std::string>& args,
                                           const SandboxOptions& sandbox = {});
  SetupRun finish(BackgroundProcess& program);
  // What a run beside the test has logged so far, as "PRIORITY text" lines.
  // Taking it in also keeps the log socket from filling up (the kernel
  // queues ten datagrams), which would stop a long run at its next message.
  std::vector<std::string> logSoFar();

 private:
  std::vector<std::string> sandboxed(const std::vector<std::string>& args,
                                     const SandboxOptions& sandbox) const;
  std::vector<LogMessage> newMessages();

  TempDir dir_;
  SyslogSink sink_;
  size_t logSeen_ = 0;
};

// How many times needle occurs in haystack.
size_t countOf(const std::string& haystack, const std::string& needle);

// Every line the console received, in order; the text after the last LF too.
std::vector<std::string> linesOf(const std::string& received);
// The lines that are not empty (the nudges and extra newlines left out).
std::vector<std::string> withoutEmptyLines(std::vector<std::string> lines);
// Whether the run sent exactly this message to the log.
bool logged(const SetupRun& run, const std::string& text);

}  // namespace testsupport
