#include "setup_run.h"

#include <algorithm>
#include <sstream>

namespace testsupport {

std::vector<std::string> SetupRun::logLines() const {
  std::vector<std::string> lines;
  for (const auto& message : log)
    lines.push_back(std::to_string(message.priority) + " " + message.text);
  return lines;
}

SetupHarness::SetupHarness() : sink_(dir_.file("log")) {}

std::string SetupHarness::commandFile(const std::string& content, const std::string& name) {
  return dir_.write(name, content);
}

std::vector<std::string> SetupHarness::sandboxed(const std::vector<std::string>& args,
                                                 const SandboxOptions& sandbox) const {
  std::vector<std::string> argv = sandbox.launcher;
  argv.insert(argv.end(), {programPath("SANDBOX_RUN"), "--log", sink_.path()});
  if (!sandbox.runDir.empty()) argv.insert(argv.end(), {"--run-dir", sandbox.runDir});
  if (sandbox.fdFloor > 0) argv.insert(argv.end(), {"--fd-floor", std::to_string(sandbox.fdFloor)});
  argv.push_back("--");
  for (const auto& word : programCommand("MODEM_SETUP_PROGRAM")) argv.push_back(word);
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

std::vector<LogMessage> SetupHarness::newMessages() {
  auto all = sink_.messages();
  std::vector<LogMessage> fresh(all.begin() + static_cast<long>(logSeen_), all.end());
  logSeen_ = all.size();
  return fresh;
}

SetupRun SetupHarness::run(const std::vector<std::string>& args, const SandboxOptions& sandbox) {
  SetupRun result;
  result.process = runProcess(sandboxed(args, sandbox), sandbox.timeoutSeconds);
  result.log = newMessages();
  return result;
}

std::unique_ptr<BackgroundProcess> SetupHarness::start(const std::vector<std::string>& args,
                                                       const SandboxOptions& sandbox) {
  return std::make_unique<BackgroundProcess>(sandboxed(args, sandbox));
}

std::vector<std::string> SetupHarness::logSoFar() {
  SetupRun sofar;
  auto all = sink_.messages();
  sofar.log.assign(all.begin() + static_cast<long>(logSeen_), all.end());
  return sofar.logLines();
}

SetupRun SetupHarness::finish(BackgroundProcess& program) {
  SetupRun result;
  result.process.exitStatus = program.stop();
  result.log = newMessages();
  return result;
}

SetupRun SetupHarness::runAgainst(modemsim::ModemSim& modem, const std::string& commands,
                                  const std::vector<std::string>& extraArgs,
                                  const SandboxOptions& sandbox) {
  modem.start();
  std::vector<std::string> args = {"-d", modem.slavePath(), "-c", commandFile(commands), "-w", "0"};
  args.insert(args.end(), extraArgs.begin(), extraArgs.end());
  SetupRun result = run(args, sandbox);
  modem.stop();  // takes in what the program wrote last, so the records are whole
  return result;
}

size_t countOf(const std::string& haystack, const std::string& needle) {
  size_t count = 0;
  for (size_t at = haystack.find(needle); at != std::string::npos;
       at = haystack.find(needle, at + needle.size()))
    ++count;
  return count;
}

std::vector<std::string> linesOf(const std::string& received) {
  std::vector<std::string> lines;
  std::istringstream in(received);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> withoutEmptyLines(std::vector<std::string> lines) {
  lines.erase(std::remove(lines.begin(), lines.end(), ""), lines.end());
  return lines;
}

bool logged(const SetupRun& run, const std::string& text) {
  for (const auto& message : run.log)
    if (message.text == text) return true;
  return false;
}

}  // namespace testsupport
