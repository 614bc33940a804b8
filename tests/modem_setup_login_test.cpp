// The console login of the real serial-modem-setup against a simulated
// console on a pseudo-terminal: prompts answered, budgets spent, the trace.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "setup_run.h"

using namespace testsupport;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

// True when the parts appear in text in this order.
bool inOrder(const std::string& text, const std::vector<std::string>& parts) {
  size_t at = 0;
  for (const auto& part : parts) {
    at = text.find(part, at);
    if (at == std::string::npos) return false;
    at += part.size();
  }
  return true;
}

// True when the trace holds the line for a chunk judged to be none of the
// prompts; errno in it is whatever the last failed call left there.
bool hasReturnedLine(const std::string& trace, int bytes, const std::string& chunk) {
  std::string head = "Returned (" + std::to_string(bytes) + ", ";
  for (size_t at = trace.find(head); at != std::string::npos; at = trace.find(head, at + 1)) {
    size_t close = trace.find("): <", at);
    if (close != std::string::npos &&
        trace.compare(close + 4, chunk.size() + 2, chunk + ">\n") == 0)
      return true;
  }
  return false;
}

// True when the console got nothing but the newlines of silent polls.
bool onlyNewlines(const std::string& received) {
  return !received.empty() && received.find_first_not_of('\n') == std::string::npos;
}

bool loggedIn(const SetupRun& run) {
  for (const auto& message : run.log)
    if (message.text == "Login complete\n") return message.priority == 6;
  return false;
}

modemsim::Options scripted(std::vector<std::string> answers) {
  modemsim::Options console;
  console.script = std::move(answers);
  return console;
}

}  // namespace

class SetupLogin : public ::testing::Test {
 protected:
  SetupHarness harness;
};

TEST_F(SetupLogin, AnswersLoginAndPasswordAndTracesTheDialogue) {
  modemsim::ModemSim modem({});
  SetupRun run = harness.runAgainst(modem, "show version\n", {"-D"});
  EXPECT_EQ(run.process.exitStatus, 0) << run.process.err;
  EXPECT_THAT(run.logLines(),
              ::testing::ElementsAre(
                  "6 Configuring DSL modem using " + harness.dir().file("commands.conf") + "\n",
                  "6 Login complete\n", "6 Configuration done\n"));
  EXPECT_TRUE(inOrder(modem.received(), {"\n", "qorvi\n", "qorvi\n", "show version\n"}));
  EXPECT_TRUE(
      inOrder(run.process.out, {"*** Login:  ***\n", "Entering username\n", "*** Password:  ***\n",
                                "Entering password\n", "***  >  ***\n", "Prompt found\n"}))
      << run.process.out;
}

TEST_F(SetupLogin, SendsTheCredentialsGivenOnTheCommandLine) {
  modemsim::Options console;
  console.username = "admin";
  console.password = "s3cret word";
  modemsim::ModemSim modem(console);
  SetupRun run = harness.runAgainst(modem, "", {"-u", "admin", "-p", "s3cret word"});
  EXPECT_TRUE(loggedIn(run));
  EXPECT_TRUE(inOrder(modem.received(), {"admin\n", "s3cret word\n"}));
}

TEST_F(SetupLogin, AConsoleAlreadyAtItsShellGetsNoCredentials) {
  modemsim::Options console;
  console.atShell = true;
  modemsim::ModemSim modem(console);
  SetupRun run = harness.runAgainst(modem, "show\n");
  EXPECT_TRUE(loggedIn(run));
  // Only nudges before the command (one, or more if the console was slow).
  std::string received = modem.received();
  size_t command = received.find_first_not_of('\n');
  EXPECT_GE(command, 1u);
  EXPECT_EQ(received.compare(command, 4, "show"), 0) << received;
}

// A console answers a nudge within tens of milliseconds, often during the
// pause after the next silent poll: that answer is read and judged, not
// taken for silence, so two attempts log into a console at its login prompt
// as well as one at its shell.
TEST_F(SetupLogin, AnAnswerThatArrivesDuringThePauseCostsNoAttempt) {
  for (bool atShell : {false, true}) {
    SCOPED_TRACE(atShell ? "at its shell" : "at its login prompt");
    modemsim::Options console;
    console.atShell = atShell;
    console.lineTimeMs = 30;
    modemsim::ModemSim modem(console);
    SetupRun run = harness.runAgainst(modem, "", {"-e", "2", "-w", "300000"});
    EXPECT_TRUE(loggedIn(run));
    EXPECT_EQ(countOf(modem.received(), "qorvi\n"), atShell ? 0u : 2u) << modem.received();
  }
}

TEST_F(SetupLogin, AnEchoFollowedByThePromptInOneChunkIsAnswered) {
  modemsim::Options console;
  console.echo = true;
  modemsim::ModemSim modem(console);
  SetupRun run = harness.runAgainst(modem, "", {"-D"});
  EXPECT_TRUE(loggedIn(run)) << run.process.out;
}

// A banner is output that is no prompt: the poll that brings it costs an
// attempt. A chunk holds at most 1000 bytes, so a banner that long never
// shares a poll with the "Login: " after it, and with a budget of 2 (the
// first silent poll and the banner) no credentials go out. A slow console
// only makes the second attempt a silent poll instead.
TEST_F(SetupLogin, EveryChunkThatIsNoPromptCostsAnAttempt) {
  modemsim::Options console;
  console.banner = std::string(998, '=');
  {
    modemsim::ModemSim modem(console);
    SetupRun run = harness.runAgainst(modem, "", {"-D", "-e", "2"});
    EXPECT_FALSE(loggedIn(run));
    EXPECT_TRUE(onlyNewlines(modem.received()));
    EXPECT_LE(countOf(run.process.out, "Returned ("), 1u);
  }
  {
    modemsim::ModemSim modem(console);
    SetupRun run = harness.runAgainst(modem, "", {"-D"});
    EXPECT_TRUE(loggedIn(run));
    EXPECT_TRUE(inOrder(run.process.out, {"Entering username\n", "Entering password\n"}));
  }
}

TEST_F(SetupLogin, OnlyTheTextAfterTheLastLineFeedIsJudged) {
  {  // CR LF before the prompt: the CR goes with the discarded part
    modemsim::ModemSim modem(scripted({"banner\r\n\r\nLogin: ", "\r\nPassword: ", "\r\n > "}));
    EXPECT_TRUE(loggedIn(harness.runAgainst(modem, "")));
  }
  {  // CR LF after the prompt: an empty tail, not answered
    modemsim::ModemSim modem(scripted({"\r\nLogin: \r\n"}));
    SetupRun run = harness.runAgainst(modem, "", {"-e", "6", "-D"});
    EXPECT_TRUE(hasReturnedLine(run.process.out, 11, "\r\nLogin: \r\n")) << run.process.out;
    EXPECT_TRUE(onlyNewlines(modem.received()));
  }
  {  // a CR after the last LF stays in the tail
    modemsim::ModemSim modem(scripted({"\r\nLogin: \r"}));
    SetupRun run = harness.runAgainst(modem, "", {"-e", "6", "-D"});
    EXPECT_THAT(run.process.out, HasSubstr("*** Login: \r ***\n"));
    EXPECT_TRUE(onlyNewlines(modem.received()));
  }
}

TEST_F(SetupLogin, APromptSplitOverTwoChunksIsNotRecognised) {
  modemsim::Options console;
  console.splitBytes = 6;  // "\r\nLogi" and "n: " come 40 ms apart
  modemsim::ModemSim modem(console);
  SetupRun run = harness.runAgainst(modem, "", {"-D", "-e", "12"});
  EXPECT_FALSE(loggedIn(run));
  EXPECT_THAT(run.process.out, HasSubstr("*** Logi ***\n"));
  EXPECT_THAT(run.process.out, HasSubstr("*** n:  ***\n"));
  EXPECT_THAT(run.process.out, Not(HasSubstr("Entering username")));
  EXPECT_TRUE(onlyNewlines(modem.received()));
}

TEST_F(SetupLogin, ASpentBudgetStillSendsTheCommands) {
  modemsim::Options console;
  console.silent = true;
  modemsim::ModemSim modem(console);
  SetupRun run = harness.runAgainst(modem, "show\n", {"-e", "3"});
  EXPECT_EQ(run.process.exitStatus, 1);  // the silent console never answers the command
  EXPECT_FALSE(loggedIn(run));
  EXPECT_EQ(run.log.back().text, "Configuration done\n");
  EXPECT_EQ(modem.received().substr(0, 8), "\n\n\nshow\n");
}

TEST_F(SetupLogin, NoBudgetSkipsTheDialogue) {
  for (const char* budget : {"0", "-1"}) {
    modemsim::Options console;
    console.atShell = true;
    modemsim::ModemSim modem(console);
    SetupRun run = harness.runAgainst(modem, "show\n", {"-e", budget});
    EXPECT_EQ(run.process.exitStatus, 0);
    EXPECT_FALSE(loggedIn(run));
    EXPECT_EQ(modem.received().substr(0, 5), "show\n");  // no nudge before it
  }
}

TEST_F(SetupLogin, ANegativePauseIsNoPause) {
  modemsim::Options console;
  console.silent = true;
  modemsim::ModemSim modem(console);
  SandboxOptions bounded;
  bounded.timeoutSeconds = 30;  // a pause read as unsigned would last half an hour
  SetupRun run = harness.runAgainst(modem, "", {"-e", "3", "-w", "-1"}, bounded);
  EXPECT_FALSE(run.process.timedOut);
  EXPECT_EQ(run.process.exitStatus, 0);
  EXPECT_EQ(modem.received(), "\n\n\n");
}

TEST_F(SetupLogin, RejectedCredentialsAreRetriedOnlyUpToTheBudget) {
  modemsim::Options console;
  console.password = "right";
  modemsim::ModemSim modem(console);
  SandboxOptions bounded;
  bounded.timeoutSeconds = 30;
  SetupRun run = harness.runAgainst(modem, "", {"-u", "admin", "-p", "wrong", "-e", "4"}, bounded);
  EXPECT_FALSE(run.process.timedOut);
  EXPECT_EQ(run.process.exitStatus, 0);
  EXPECT_FALSE(loggedIn(run));
  EXPECT_EQ(run.log.back().text, "Configuration done\n");
  EXPECT_THAT(modem.transcript(), HasSubstr("Login incorrect"));
  // However the exchanges and the silent polls interleave, each answer is
  // sent at most as often as the budget allows.
  EXPECT_GE(countOf(modem.received(), "admin\n"), 1u);
  EXPECT_LE(countOf(modem.received(), "admin\n"), 4u);
  EXPECT_LE(countOf(modem.received(), "wrong\n"), 4u);
}

TEST_F(SetupLogin, AConsoleThatKeepsTalkingSpendsTheBudget) {
  modemsim::Options console;
  console.chatter = true;
  modemsim::ModemSim modem(console);
  SetupRun run = harness.runAgainst(modem, "", {"-D", "-e", "5"});
  EXPECT_EQ(run.process.exitStatus, 0);
  EXPECT_FALSE(loggedIn(run));
  EXPECT_LE(countOf(run.process.out, "Returned ("), 5u);
}

// A console that answers a line of the login more slowly than the pause gets
// the nudge of the next silent poll as an empty user name or password, and
// refuses the login; a pause longer than its answers logs in.
TEST_F(SetupLogin, AConsoleSlowerThanThePauseRefusesTheLoginUntilThePauseIsRaised) {
  modemsim::Options console;
  console.lineTimeMs = 300;
  {
    modemsim::ModemSim modem(console);
    SetupRun run = harness.runAgainst(modem, "show\n", {"-w", "100000"});
    EXPECT_FALSE(loggedIn(run));
    EXPECT_EQ(run.process.exitStatus, 1);  // the console never reached its shell for "show"
    EXPECT_EQ(run.log.back().text, "Configuration done\n");
  }
  {
    modemsim::ModemSim modem(console);
    SetupRun run = harness.runAgainst(modem, "show\n", {"-w", "1500000"});
    EXPECT_TRUE(loggedIn(run));
    EXPECT_EQ(run.process.exitStatus, 0);
  }
}
