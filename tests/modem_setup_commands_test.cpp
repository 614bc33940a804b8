// The command file of the real serial-modem-setup against a simulated
// console: what is sent, how the prompt is found, what counts as failed.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "setup_run.h"

using namespace testsupport;
using ::testing::ElementsAre;

namespace {

// A logged-in console answering as the reply file text says; the runs below
// skip the login (-e 0).
modemsim::Options shell(const std::string& replyFile = "") {
  modemsim::Options console;
  console.atShell = true;
  std::string error;
  if (!modemsim::parseReplyFile(replyFile, console.replies, error)) ADD_FAILURE() << error;
  return console;
}

}  // namespace

class SetupCommands : public ::testing::Test {
 protected:
  SetupHarness harness;
};

TEST_F(SetupCommands, SendsEveryCommandLineVerbatimAndSkipsOnlyEmptyAndCommentLines) {
  modemsim::ModemSim modem(shell());
  SetupRun run = harness.runAgainst(
      modem, "# bridge mode\n\nset mode bridge\n   \n  # indented\n#\nsave", {"-e", "0", "-D"});
  EXPECT_EQ(run.process.exitStatus, 0) << run.process.err;
  EXPECT_THAT(modem.commands(), ElementsAre("set mode bridge", "   ", "  # indented", "save"));
  EXPECT_EQ(modem.received(), "set mode bridge\n   \n  # indented\nsave\n");
  EXPECT_EQ(countOf(run.process.out, ":::"), 4u);
}

TEST_F(SetupCommands, KeepsTheCarriageReturnsOfACrLfFile) {
  modemsim::ModemSim modem(shell());
  SetupRun run = harness.runAgainst(modem, "show\r\n\r\nsave\r\n", {"-e", "0"});
  EXPECT_EQ(run.process.exitStatus, 0);
  EXPECT_THAT(modem.commands(), ElementsAre("show\r", "\r", "save\r"));
}

TEST_F(SetupCommands, AFinalLineFeedSendsNothingExtra) {
  for (const char* file : {"one\ntwo\n", "one\ntwo"}) {
    modemsim::ModemSim modem(shell());
    SetupRun run = harness.runAgainst(modem, file, {"-e", "0"});
    EXPECT_EQ(run.process.exitStatus, 0);
    EXPECT_THAT(modem.commands(), ElementsAre("one", "two")) << file;
  }
}

TEST_F(SetupCommands, AFileWithoutCommandsSendsNothing) {
  modemsim::ModemSim modem(shell());
  SetupRun run = harness.runAgainst(modem, "# nothing\n\n", {"-e", "0"});
  EXPECT_EQ(run.process.exitStatus, 0);
  EXPECT_EQ(modem.received(), "");
}

TEST_F(SetupCommands, ThePromptIsALineOfItsOwnAnywhereInTheChunk) {
  // The later newlines of a failing command get no answer either, or their
  // fresh prompt would end its wait.
  modemsim::ModemSim modem(shell(R"(
 =>!
ok => line one\nline two
middle =>! output\r\n > \nmore output
cr-after =>! output\r\n > \r\n
cr-before =>! output\n\r >\x20
split =>! output\r\n >\p\x20
inside =>! status >\x20
)"));
  SetupRun run = harness.runAgainst(modem, "ok\nmiddle\ncr-after\ncr-before\nsplit\ninside\nok\n",
                                    {"-e", "0"});
  EXPECT_EQ(run.process.exitStatus, 4);  // cr-after, cr-before, split, inside
  EXPECT_THAT(modem.commands(), ::testing::IsSupersetOf(
                                    {"ok", "middle", "cr-after", "cr-before", "split", "inside"}));
  EXPECT_EQ(modem.commands().back(), "ok");  // sent after all the failures
  EXPECT_EQ(run.log.back().text, "Configuration done\n");
}

// The newline goes out on the first silent poll and every 25th after it:
// 8 in a budget of 200 polls, which take at least 2 s.
TEST_F(SetupCommands, ASilentConsoleFailsTheCommandAfterItsBudgetAndTheNextIsStillSent) {
  modemsim::ModemSim modem(shell("reboot =>!\n =>!"));  // nor the nudges
  SetupRun run = harness.runAgainst(modem, "reboot\nshow\n", {"-e", "0"});
  EXPECT_EQ(run.process.exitStatus, 1);
  EXPECT_GE(run.process.seconds, 1.9);
  EXPECT_EQ(modem.received(), "reboot\n\n\n\n\n\n\n\nshow\n");
}

TEST_F(SetupCommands, TracesThePollsSpentOnEachAnsweredCommand) {
  modemsim::Options console = shell(R"(slow =>! \p\p\pdone\r\n >\x20)");
  console.splitPauseMs = 50;
  modemsim::ModemSim modem(console);
  SetupRun run = harness.runAgainst(modem, "show\nslow\n", {"-e", "0", "-D"});
  EXPECT_EQ(run.process.exitStatus, 0);
  std::istringstream trace(run.process.out);
  std::vector<int> polls;
  for (std::string line; std::getline(trace, line);) {
    ASSERT_EQ(line.rfind("::: ", 0), 0u) << line;
    polls.push_back(std::stoi(line.substr(4)));
  }
  ASSERT_EQ(polls.size(), 2u);
  EXPECT_GE(polls[0], 1);   // the newline had to go out on a silent poll first
  EXPECT_GE(polls[1], 10);  // 150 ms of silence at 10 ms a poll, at least
}

TEST_F(SetupCommands, ALongCommandReachesASlowConsoleWhole) {
  std::mt19937 random(42);
  std::string line(1 << 20, ' ');
  for (char& c : line) c = static_cast<char>('!' + random() % 94);
  modemsim::Options console = shell();
  console.readBytesPerSecond = 2 << 20;
  modemsim::ModemSim modem(console);
  SetupRun run = harness.runAgainst(modem, line + "\nshow\n", {"-e", "0"});
  EXPECT_EQ(run.process.exitStatus, 0) << run.process.err;
  ASSERT_EQ(modem.commands().size(), 2u);
  EXPECT_TRUE(modem.commands()[0] == line) << "the long command arrived changed";
  EXPECT_EQ(modem.commands()[1], "show");
}

TEST_F(SetupCommands, AnUnreadableCommandFileIsLoggedAndCountedAsAFailure) {
  modemsim::ModemSim modem(shell());
  modem.start();
  std::string directory = harness.dir().path();
  SetupRun run = harness.run({"-d", modem.slavePath(), "-c", directory, "-w", "0"});
  EXPECT_EQ(run.process.exitStatus, 1);
  EXPECT_THAT(
      run.logLines(),
      ElementsAre("6 Configuring DSL modem using " + directory + "\n", "6 Login complete\n",
                  "3 Reading cmd file '" + directory + "' failed", "6 Configuration done\n"));
}

TEST_F(SetupCommands, AFullRunConfiguresTheModemEndToEnd) {
  std::string bridge = readFile(std::string(EXAMPLES_DIR) + "/bridge.conf");
  ASSERT_FALSE(bridge.empty());
  std::vector<std::string> expected;
  std::istringstream lines(bridge);
  for (std::string line; std::getline(lines, line);)
    if (!line.empty() && line[0] != '#') expected.push_back(line);

  modemsim::ModemSim modem({});
  SetupRun run = harness.runAgainst(modem, bridge);
  EXPECT_EQ(run.process.exitStatus, 0);
  std::vector<std::string> commands = modem.commands();
  EXPECT_EQ(commands, expected);
  EXPECT_THAT(run.logLines(), ElementsAre(::testing::StartsWith("6 Configuring DSL modem using "),
                                          "6 Login complete\n", "6 Configuration done\n"));
}

// Error texts (-a): a command whose answer holds one on a line of its own
// words (not in its echo, not before it was sent) counts as failed, once,
// and is logged by its line in the file with the console's words; the rest
// of the file is still sent.
struct Rejection {
  const char* name;
  const char* replies;
  const char* commands;
  void (*shape)(modemsim::Options&);  // the console's manners
  std::vector<std::string> args;
  int exitStatus;
  std::vector<std::string> sent;        // the lines the shell received
  std::vector<std::string> rejections;  // logged, FILE for the command file
  bool oneNewlineEach = true;           // no command needed a second one
};

std::ostream& operator<<(std::ostream& out, const Rejection& r) { return out << r.name; }

class SetupErrorTexts : public SetupCommands, public ::testing::WithParamInterface<Rejection> {};

const char BRIDGE_REJECTED[] =
    "Command on line 4 of FILE rejected: \"Error: unknown command 'bridge'\"";

TEST_P(SetupErrorTexts, ARejectedCommandCountsOnceAndTheRestIsStillSent) {
  const Rejection& r = GetParam();
  modemsim::Options console = shell(r.replies);
  r.shape(console);
  modemsim::ModemSim modem(console);
  std::vector<std::string> args = r.args;
  if (console.atShell) args.insert(args.end(), {"-e", "0"});
  SetupRun run = harness.runAgainst(modem, r.commands, args);

  EXPECT_EQ(run.process.exitStatus, r.exitStatus) << run.process.err << modem.transcript();
  std::vector<std::string> rejections;
  for (const auto& message : run.log)
    if (message.text.rfind("Command on line ", 0) == 0) {
      EXPECT_EQ(message.priority, 3) << message.text;
      rejections.push_back(message.text);
    }
  std::vector<std::string> expected;
  const std::string file = harness.dir().file("commands.conf");
  for (std::string line : r.rejections) {
    line.replace(line.find("FILE"), 4, file);
    expected.push_back(line);
    EXPECT_EQ(countOf(run.process.err, "serial-modem-setup: " + line + "\n"), 1u)
        << run.process.err;
  }
  EXPECT_EQ(rejections, expected) << modem.transcript();
  if (expected.empty()) {
    EXPECT_EQ(countOf(run.process.err, "rejected"), 0u) << run.process.err;
  }
  // Each command went out once, and with one newline unless one went
  // unanswered; what the shell received follows the login's answers.
  std::string shellInput = modem.received();
  if (!console.atShell)
    shellInput.erase(0, shellInput.find(console.username + "\n" + console.password + "\n") +
                            console.username.size() + console.password.size() + 2);
  EXPECT_EQ(withoutEmptyLines(modem.commands()), r.sent);
  EXPECT_EQ(withoutEmptyLines(linesOf(shellInput)), r.sent) << modem.transcript();
  if (r.oneNewlineEach) {
    EXPECT_EQ(countOf(shellInput, "\n"), r.sent.size()) << modem.transcript();
  }
  // The trace shows each command whose prompt came back, rejected or not.
  if (std::find(args.begin(), args.end(), "-D") != args.end()) {
    EXPECT_EQ(countOf(run.process.out, "::: "), r.sent.size()) << run.process.out;
  }
  EXPECT_TRUE(logged(run, "Configuration done\n"));
}

INSTANTIATE_TEST_SUITE_P(
    Answers, SetupErrorTexts,
    ::testing::Values(
        Rejection{"in_the_middle_of_the_file",
                  "bridge => Error: unknown command 'bridge'",
                  "# bridge mode\nshow\n\nbridge\nsave\n",
                  [](modemsim::Options&) {},
                  {"-a", "unknown command", "-a", "Error:", "-D"},
                  1,
                  {"show", "bridge", "save"},
                  {BRIDGE_REJECTED}},
        Rejection{"without_texts_as_before",
                  "bridge => Error: unknown command 'bridge'",
                  "# bridge mode\nshow\n\nbridge\nsave\n",
                  [](modemsim::Options&) {},
                  {},
                  0,
                  {"show", "bridge", "save"},
                  {}},
        Rejection{"cut_across_two_reads",
                  "bridge => Error: unknown\\p command 'bridge'",
                  "# bridge mode\nshow\n\nbridge\nsave\n",
                  [](modemsim::Options& o) { o.splitPauseMs = 200; },
                  {"-a", "unknown command"},
                  1,
                  {"show", "bridge", "save"},
                  {BRIDGE_REJECTED}},
        Rejection{"slow_line_in_pieces",
                  "bridge => Error: unknown command 'bridge'",
                  "# bridge mode\nshow\n\nbridge\nsave\n",
                  [](modemsim::Options& o) {
                    o.splitBytes = 8;
                    o.splitPauseMs = 30;
                  },
                  {"-a", "unknown command"},
                  1,
                  {"show", "bridge", "save"},
                  {BRIDGE_REJECTED}},
        Rejection{"only_in_the_echo_as_it_arrives",
                  "",
                  "show\nset note Error-free\nsave\n",
                  [](modemsim::Options& o) { o.echo = true; },
                  {"-a", "Error"},
                  0,
                  {"show", "set note Error-free", "save"},
                  {}},
        Rejection{"only_in_the_echo_once_taken_up_in_pieces",
                  "",
                  "show\r\nset note Error-free\r\nsave\r\n",
                  [](modemsim::Options& o) {
                    o.lineEditorEcho = true;
                    o.lineTimeMs = 30;
                    o.line.kind = modemsim::LineSettings::Kind::Cut;
                    o.line.maxGapMs = 15;
                  },
                  {"-a", "Error"},
                  0,
                  {"show\r", "set note Error-free\r", "save\r"},
                  {}},
        Rejection{"only_in_the_banner_before_the_login",
                  "",
                  "show\nsave\n",
                  [](modemsim::Options& o) {
                    o.atShell = false;
                    o.banner = "Error: no saved configuration, defaults loaded";
                  },
                  {"-a", "Error"},
                  0,
                  {"show", "save"},
                  {}},
        Rejection{"rejected_and_never_prompted_again",
                  "bridge =>! \\r\\nError: unknown command 'bridge'\\r\\n",
                  "show\nbridge\nsave\n",
                  [](modemsim::Options& o) { o.muteAfterCommands = 2; },
                  {"-a", "Error"},
                  2,  // bridge (rejected, without its prompt) and save (no answer)
                  {"show", "bridge", "save"},
                  {"Command on line 2 of FILE rejected: \"Error: unknown command 'bridge'\""},
                  false}),
    [](const auto& info) { return std::string(info.param.name); });
