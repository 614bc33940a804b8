// The real serial-modem-setup against consoles that fall behind: a save to
// flash keeps the console busy past the 25th silent poll, so it gets more
// newlines than the command needed and owes a prompt for each. The run must
// stay in step: each command answered by its own answer, nothing sent while
// the console still works on an earlier line, and the run over only once the
// console has answered everything it was sent.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "setup_run.h"

using namespace testsupport;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

namespace {

const std::vector<std::string> COMMANDS = {"wan delete service ppp0", "save", "nat disable",
                                           "bridge enable", "show status"};

std::string commandFile() {
  std::string file;
  for (const auto& command : COMMANDS) file += command + "\n";
  return file;
}

// Each command is answered with a line naming it ("done: save"), then the prompt.
modemsim::Options console(int lineMs, int saveMs) {
  modemsim::Options options;
  options.username = "admin";
  options.password = "s3cret";
  options.lineTimeMs = lineMs;
  for (const auto& command : COMMANDS) {
    modemsim::Reply reply;
    reply.output = "done: " + command;
    if (command == "save") reply.timeMs = saveMs;
    options.replies[command] = reply;
  }
  return options;
}

std::vector<std::string> nonEmpty(std::vector<std::string> lines) {
  lines.erase(std::remove(lines.begin(), lines.end(), ""), lines.end());
  return lines;
}

// Where in the transcript the console received the first bytes of a
// command, and where it sent the answer naming it.
size_t received(const std::string& transcript, const std::string& command) {
  return transcript.find("<- \"" + command);
}
size_t answered(const std::string& transcript, const std::string& command) {
  return transcript.find("-> \"\\r\\ndone: " + command);
}

// The "::: N" lines of the trace: one per answered command.
size_t tracedAnswers(const SetupRun& run) { return countOf("\n" + run.process.out, "\n::: "); }

struct Outcome {
  SetupRun run;
  std::string atExit;  // the console's transcript as the program ended
  std::string later;   // ...and a while after
};

Outcome runAgainst(SetupHarness& harness, modemsim::ModemSim& modem,
                   std::vector<std::string> extraArgs = {}) {
  std::vector<std::string> args = {
      "-d", modem.slavePath(), "-c", harness.commandFile(commandFile()), "-u", "admin",
      "-p", "s3cret",          "-D"};
  args.insert(args.end(), extraArgs.begin(), extraArgs.end());
  modem.start();
  Outcome outcome;
  outcome.run = harness.run(args);
  outcome.atExit = modem.transcript();
  // Long enough for every line a 150 ms console could still have queued.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  outcome.later = modem.transcript();
  modem.stop();
  return outcome;
}

// The console ran exactly the file's commands, each only after the one
// before had been answered, and had answered everything when the run ended.
void expectInStep(const Outcome& outcome, modemsim::ModemSim& modem) {
  const std::string& transcript = outcome.atExit;
  EXPECT_EQ(outcome.run.process.exitStatus, 0) << outcome.run.process.err << transcript;
  EXPECT_THAT(nonEmpty(modem.commands()), ElementsAreArray(COMMANDS)) << transcript;
  for (size_t i = 0; i < COMMANDS.size(); ++i) {
    size_t answer = answered(transcript, COMMANDS[i]);
    ASSERT_NE(answer, std::string::npos) << COMMANDS[i] << " unanswered at exit\n" << transcript;
    if (i + 1 < COMMANDS.size()) {
      EXPECT_LT(answer, received(transcript, COMMANDS[i + 1]))
          << COMMANDS[i + 1] << " sent before " << COMMANDS[i] << " was answered\n"
          << transcript;
    }
  }
  EXPECT_EQ(outcome.later, outcome.atExit) << "the console still answered after the run ended";
  EXPECT_EQ(tracedAnswers(outcome.run), COMMANDS.size()) << outcome.run.process.out;
}

struct Pace {
  const char* name;
  int lineMs;
  int saveMs;
};

std::ostream& operator<<(std::ostream& out, const Pace& pace) { return out << pace.name; }

}  // namespace

class SetupInStep : public ::testing::TestWithParam<Pace> {
 protected:
  SetupHarness harness;
};

TEST_P(SetupInStep, EveryCommandIsAnsweredByItsOwnAnswer) {
  modemsim::ModemSim modem(console(GetParam().lineMs, GetParam().saveMs));
  Outcome outcome = runAgainst(harness, modem);
  expectInStep(outcome, modem);
  // The prompts owed for the save's extra newlines show in the trace.
  if (GetParam().saveMs >= 900) {
    EXPECT_THAT(outcome.run.process.out, HasSubstr("+++ <"));
  }
}

INSTANTIATE_TEST_SUITE_P(SlowSave, SetupInStep,
                         ::testing::Values(Pace{"console_30ms_save_400ms", 30, 400},
                                           Pace{"console_30ms_save_900ms", 30, 900},
                                           Pace{"console_30ms_save_1500ms", 30, 1500},
                                           Pace{"console_150ms_save_400ms", 150, 400},
                                           Pace{"console_150ms_save_900ms", 150, 900},
                                           Pace{"console_150ms_save_1500ms", 150, 1500}),
                         [](const auto& info) { return std::string(info.param.name); });

class SetupBehindConsole : public ::testing::Test {
 protected:
  SetupHarness harness;
};

// A console that hangs on the fourth command after a slow save: the prompts
// it owed for the save are no answer to the commands after it.
TEST_F(SetupBehindConsole, AConsoleHungAfterASlowCommandFailsTheRest) {
  modemsim::Options options = console(30, 1400);
  options.replies["bridge enable"].timeMs = 600000;  // never through
  modemsim::ModemSim modem(options);
  Outcome outcome = runAgainst(harness, modem);
  EXPECT_EQ(outcome.run.process.exitStatus, 2) << outcome.atExit;
  EXPECT_EQ(tracedAnswers(outcome.run), 3u) << outcome.run.process.out;
}

// A shell that ignores empty lines never answers the extra newlines: the
// run waits for their prompts only as long as the console may take over a
// line, then goes on, still exact.
TEST_F(SetupBehindConsole, AShellThatIgnoresEmptyLinesStaysExact) {
  modemsim::Options options = console(30, 1500);
  options.ignoreEmptyLines = true;
  options.atShell = true;
  modemsim::ModemSim modem(options);
  Outcome outcome = runAgainst(harness, modem, {"-e", "0"});
  expectInStep(outcome, modem);
}

// Terminal echo goes out as the bytes arrive; a line editor's echo only
// when it takes the line up, so the echo of a queued empty line follows
// right behind the prompt before it (" > " CR LF is no prompt line). Both
// stay in step: the last of the queued prompts ends the wait.
TEST_F(SetupBehindConsole, EchoingConsolesStayInStep) {
  for (bool lineEditor : {false, true}) {
    SCOPED_TRACE(lineEditor ? "line editor echo" : "terminal echo");
    SetupHarness harness;
    modemsim::Options options = console(30, 1500);
    options.echo = !lineEditor;
    options.lineEditorEcho = lineEditor;
    modemsim::ModemSim modem(options);
    Outcome outcome = runAgainst(harness, modem);
    expectInStep(outcome, modem);
  }
}
