// The real serial-modem-setup against consoles that misbehave: they never
// stop talking, cut their prompts, ask for the password forever, hang up,
// stop reading or fall silent. Whatever the console does, the run ends
// within its bounds, reports what failed and is never killed.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <sstream>

#include "setup_run.h"

using namespace testsupport;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

// Every bound below is a few seconds at most; this leaves room for a loaded
// machine, an emulator or a sanitizer build.
constexpr double GENEROUS_END = 30;

bool loggedIn(const SetupRun& run) {
  for (const auto& message : run.log)
    if (message.text == "Login complete\n") return true;
  return false;
}

// True when every line of text is line (and there is at least one).
bool onlyLines(const std::string& text, const std::string& line) {
  std::istringstream lines(text);
  int count = 0;
  for (std::string got; std::getline(lines, got); ++count)
    if (got != line) return false;
  return count > 0;
}

class SetupHostile : public ::testing::Test {
 protected:
  SetupHarness harness;

  // A run against modem that must end on its own; its time goes into the
  // test's record.
  SetupRun runAgainst(modemsim::ModemSim& modem, const std::string& commands,
                      const std::vector<std::string>& args, const std::string& label = "") {
    SandboxOptions sandbox;
    sandbox.timeoutSeconds = 2 * GENEROUS_END;
    SetupRun run = harness.runAgainst(modem, commands, args, sandbox);
    RecordProperty(label + "seconds", std::to_string(run.process.seconds));
    EXPECT_FALSE(run.process.timedOut);
    EXPECT_LT(run.process.seconds, GENEROUS_END);
    EXPECT_EQ(run.process.termSignal, 0);
    return run;
  }

  std::vector<std::string> startAndEnd() {
    return {"6 Configuring DSL modem using " + harness.dir().file("commands.conf") + "\n",
            "6 Configuration done\n"};
  }
};

// A UART at a line speed, handing over 8 bytes at a time.
modemsim::LineSettings uartAt(long rate) {
  modemsim::LineSettings line;
  line.kind = modemsim::LineSettings::Kind::Uart;
  line.rate = rate;
  return line;
}

// The most a run may take against a console that never pauses: each login
// attempt a pause, a poll and one chunk; each command its 200 polls and one
// chunk, and as much again to collect owed prompts. A chunk runs for at most
// 50 gaps of 20 characters' time, and at least 1 s.
double talkingBound(int loginBudget, int loginWaitMs, int commands, long rate) {
  double chunk = std::max(1.0, 50 * 20 * 10.0 / static_cast<double>(rate));
  return loginBudget * (loginWaitMs / 1000.0 + 0.01 + chunk) + 2 * commands * (2 + chunk);
}

}  // namespace

// A console that talks without pause at its line's own pace (a modem
// printing its training log) never gets a command's newline, which goes out
// only on a silent poll. Each chunk costs a login attempt, and in the prompt
// wait the polls its reading spanned, so every command is given up on after
// about 2 s, however fast or slow the line. The noise may be binary too.
TEST_F(SetupHostile, AConsoleThatNeverStopsTalkingSpendsEachBudgetAndNoMore) {
  struct Cell {
    const char* label;
    long rate;
    bool garbage;
  };
  for (const Cell& cell :
       {Cell{"text at 115200 ", 115200, false}, Cell{"binary at 9600 ", 9600, true}}) {
    SCOPED_TRACE(cell.label);
    modemsim::Options console;
    console.chatter = true;
    console.garbage = cell.garbage;
    console.line = uartAt(cell.rate);
    console.keepTranscript = false;
    modemsim::ModemSim modem(console);
    SetupRun run = runAgainst(modem, "show\nsave\n",
                              {"-e", "1", "-D", "-b", std::to_string(cell.rate)}, cell.label);
    EXPECT_LT(run.process.seconds, 2 * talkingBound(1, 0, 2, cell.rate) + 5);
    EXPECT_EQ(run.process.exitStatus, 2);
    EXPECT_THAT(run.logLines(), ::testing::ElementsAreArray(startAndEnd()));
    EXPECT_EQ(countOf(run.process.out, "Returned ("), 1u);
    EXPECT_EQ(run.process.err, "");
    // The commands, once each, and at most the newlines of silent polls.
    std::string received = modem.received();
    for (const char* command : {"show", "save"}) {
      size_t at = received.find(command);
      ASSERT_NE(at, std::string::npos) << command;
      received.erase(at, 4);
    }
    EXPECT_EQ(received.find_first_not_of('\n'), std::string::npos) << received;
  }
}

// A slow command leaves the console owing prompts for the newlines of later
// silent polls; if it then starts talking for good, those prompts are given
// up on after 2 s and the next command still goes out.
TEST_F(SetupHostile, OwedPromptsOfAConsoleThatStartsTalkingAreGivenUpOn) {
  modemsim::Options console;
  console.atShell = true;
  console.replies["save"].timeMs = 1500;
  console.muteAfterCommands = 1;
  console.chatter = true;
  console.line = uartAt(115200);
  console.keepTranscript = false;
  modemsim::ModemSim modem(console);
  SetupRun run = runAgainst(modem, "save\nshow\n", {"-e", "0", "-D"});
  EXPECT_LT(run.process.seconds, 2 * (1.5 + talkingBound(0, 0, 1, 115200)) + 5);
  EXPECT_EQ(run.process.exitStatus, 1);  // save answered, show not
  // show goes out, though its newline never does: there is no silence.
  EXPECT_EQ(modem.received().find("show"), modem.received().size() - 4) << modem.received();
  EXPECT_THAT(run.process.out, HasSubstr("+++ <"));  // it did collect
  EXPECT_THAT(run.logLines(), ::testing::ElementsAreArray(startAndEnd()));
}

TEST_F(SetupHostile, PromptsCutInTwoAreNeverAnswered) {
  modemsim::Options console;
  console.splitPrompts = true;
  modemsim::ModemSim modem(console);
  SetupRun run = runAgainst(modem, "show\n", {"-e", "4"});
  EXPECT_EQ(run.process.exitStatus, 1);
  EXPECT_FALSE(loggedIn(run));
  EXPECT_THAT(run.logLines(), ::testing::ElementsAreArray(startAndEnd()));
  // Nudges only: no credentials for a prompt that never came whole.
  std::string received = modem.received();
  EXPECT_EQ(received.substr(0, received.find("show")).find_first_not_of('\n'), std::string::npos)
      << received;
}

// Pieces that follow each other closely, as a UART hands them over, are one
// chunk: the prompts are answered and the run succeeds.
TEST_F(SetupHostile, PromptsCutWithAShortGapAreJoinedAndAnswered) {
  modemsim::Options console;
  console.splitPrompts = true;
  console.splitPauseMs = 5;
  modemsim::ModemSim modem(console);
  SetupRun run = runAgainst(modem, "show\nsave\n", {"-e", "4"});
  EXPECT_EQ(run.process.exitStatus, 0);
  EXPECT_TRUE(loggedIn(run));
  EXPECT_EQ(run.process.err, "");
  EXPECT_THAT(modem.commands(), ElementsAre("show", "save"));
}

TEST_F(SetupHostile, APasswordPromptForeverIsAnsweredAtMostTheBudget) {
  modemsim::Options console;
  console.passwordForever = true;
  modemsim::ModemSim modem(console);
  SetupRun run = runAgainst(modem, "", {"-u", "admin", "-p", "secret", "-e", "4"});
  EXPECT_EQ(run.process.exitStatus, 0);  // no command failed: there was none
  EXPECT_FALSE(loggedIn(run));
  EXPECT_THAT(run.logLines(), ::testing::ElementsAreArray(startAndEnd()));
  EXPECT_GE(countOf(modem.received(), "admin\n"), 1u);
  EXPECT_LE(countOf(modem.received(), "admin\n"), 4u);
  EXPECT_GE(countOf(modem.received(), "secret\n"), 1u);
  EXPECT_LE(countOf(modem.received(), "secret\n"), 4u);
}

// A hangup is the end of file for good: each poll of the login is silence
// (its pause, then a newline that cannot be written), and each command
// fails at once.
TEST_F(SetupHostile, AHangupDuringTheLoginLeavesEveryCommandFailed) {
  modemsim::Options console;
  console.hangUpOnUsername = true;
  modemsim::ModemSim modem(console);
  SetupRun run = runAgainst(modem, "show\nsave\n", {"-e", "4", "-w", "100000"});
  EXPECT_EQ(run.process.exitStatus, 2);
  EXPECT_FALSE(loggedIn(run));
  EXPECT_THAT(run.logLines(), ::testing::ElementsAreArray(startAndEnd()));
  EXPECT_TRUE(onlyLines(run.process.err, "write: Input/output error")) << run.process.err;
  EXPECT_GE(countOf(run.process.err, "\n"), 2u * 2);  // each command and its newlines
  // One nudge (more if the console was slow to ask), then the user name.
  std::string received = modem.received();
  ASSERT_GE(received.size(), 7u);
  EXPECT_EQ(received.substr(received.size() - 6), "qorvi\n");
  EXPECT_EQ(received.substr(0, received.size() - 6).find_first_not_of('\n'), std::string::npos);
  EXPECT_GE(run.process.seconds, 0.2);  // at least two pauses of the login
}

TEST_F(SetupHostile, AHangupDuringTheCommandsFailsThatCommandAndTheRest) {
  modemsim::Options console;
  console.atShell = true;
  console.hangUpOnCommand = 2;
  modemsim::ModemSim modem(console);
  SetupRun run = runAgainst(modem, "one\ntwo\nthree\nfour\n", {"-e", "0"});
  EXPECT_EQ(run.process.exitStatus, 3);
  EXPECT_THAT(run.logLines(), ::testing::ElementsAreArray(startAndEnd()));
  EXPECT_TRUE(onlyLines(run.process.err, "write: Input/output error")) << run.process.err;
  // One line for each write that failed: each failed command and its newlines.
  EXPECT_GE(countOf(run.process.err, "\n"), 3u * 2);
  EXPECT_THAT(modem.commands(), ElementsAre("one", "two"));
}

TEST_F(SetupHostile, AConsoleThatFallsSilentFailsTheRestButGetsThemAll) {
  modemsim::Options console;
  console.atShell = true;
  console.muteAfterCommands = 1;
  modemsim::ModemSim modem(console);
  SetupRun run = runAgainst(modem, "one\ntwo\n", {"-e", "0"});
  EXPECT_EQ(run.process.exitStatus, 1);
  EXPECT_THAT(run.logLines(), ::testing::ElementsAreArray(startAndEnd()));
  std::vector<std::string> commands = modem.commands();
  ASSERT_GE(commands.size(), 2u);
  EXPECT_EQ(commands[0], "one");
  EXPECT_EQ(commands[1], "two");
  EXPECT_GE(run.process.seconds, 1.9);  // the 200 polls of the unanswered one
}

// A console that takes nothing for 2 s in the middle of a long command: the
// program gives up on the command and says how much of it went out, then
// waits for the prompt as usual, giving up on each newline the same way.
TEST_F(SetupHostile, AConsoleThatStopsReadingFailsTheCommandWithAMessage) {
  modemsim::Options console;
  console.atShell = true;
  console.stallAfterBytes = 10;
  console.stallMs = -1;
  modemsim::ModemSim modem(console);
  SandboxOptions sandbox;
  sandbox.timeoutSeconds = 120;  // each newline, too, waits its 2 s
  SetupRun run = harness.runAgainst(modem, std::string(100000, 'x') + "\n", {"-e", "0"}, sandbox);
  EXPECT_EQ(run.process.exitStatus, 1);
  EXPECT_THAT(run.logLines(), ::testing::ElementsAreArray(startAndEnd()));
  EXPECT_THAT(run.process.err,
              ::testing::MatchesRegex("write: the console accepted nothing for 2 s; "
                                      "[0-9]+ of 100000 bytes sent\n"
                                      "(write: the console accepted nothing for 2 s; "
                                      "0 of 1 bytes sent\n)*"));
}

// A service manager starts its programs as session leaders without a
// terminal. The console must not become the program's controlling terminal,
// or its hangup kills the program with SIGHUP: no end message, no kick.
TEST_F(SetupHostile, AHangupDoesNotKillAProgramRunAsASessionLeader) {
  const char* emulator = getenv("PROGRAM_EMULATOR");
  std::string original = emulator ? emulator : "";
  setenv("PROGRAM_EMULATOR", ("setsid " + original).c_str(), 1);
  for (bool duringLogin : {true, false}) {
    modemsim::Options console;
    console.atShell = !duringLogin;
    console.hangUpOnUsername = duringLogin;
    console.hangUpOnCommand = duringLogin ? 0 : 1;
    modemsim::ModemSim modem(console);
    SetupRun run = runAgainst(modem, "show\nsave\n", {"-e", duringLogin ? "3" : "0"});
    EXPECT_EQ(run.process.termSignal, 0) << duringLogin;
    EXPECT_EQ(run.process.exitStatus, 2) << duringLogin;
    EXPECT_THAT(run.logLines(), ::testing::ElementsAreArray(startAndEnd()));
  }
  if (emulator) setenv("PROGRAM_EMULATOR", original.c_str(), 1);
  else unsetenv("PROGRAM_EMULATOR");
}
