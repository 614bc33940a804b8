// The real serial-modem-setup against consoles with real timing: answers
// that take tens or hundreds of milliseconds, commands that keep the console
// busy for seconds while what arrives meanwhile queues up. Whatever the
// timing, the console must get the credentials once each and run exactly the
// file's commands, each as a line of its own.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "setup_run.h"

using namespace testsupport;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

const std::string USER = "admin";
const std::string PASSWORD = "s3cret";
const std::vector<std::string> COMMANDS = {"wan delete service ppp0", "nat disable", "save",
                                           "bridge enable", "show status"};

struct Timing {
  const char* name;
  bool login;  // false: the console is already at its shell
  int lineMs;  // how long the console takes over each line
  int saveMs;  // how long "save" takes; < 0: like any other line
  bool echo = false;
};

std::ostream& operator<<(std::ostream& out, const Timing& timing) { return out << timing.name; }

std::string commandFile() {
  std::string file = "# five commands, one of them slow\n";
  for (const auto& command : COMMANDS) file += command + "\n";
  return file;
}

modemsim::Options console(const Timing& timing) {
  modemsim::Options options;
  options.atShell = !timing.login;
  options.username = USER;
  options.password = PASSWORD;
  options.lineTimeMs = timing.lineMs;
  options.echo = timing.echo;
  if (timing.saveMs >= 0) {
    modemsim::Reply save;
    save.output = "Saving to flash... done";
    save.timeMs = timing.saveMs;
    options.replies["save"] = save;
  }
  return options;
}

}  // namespace

class SetupTiming : public ::testing::TestWithParam<Timing> {
 protected:
  SetupHarness harness;
};

// The program's own defaults, the login pause among them: no -w 0 here.
TEST_P(SetupTiming, TheConsoleRunsExactlyTheFilesCommands) {
  const Timing& timing = GetParam();
  modemsim::ModemSim modem(console(timing));
  modem.start();
  SetupRun run = harness.run({"-d", modem.slavePath(), "-c", harness.commandFile(commandFile()),
                              "-u", USER, "-p", PASSWORD, "-D"});
  modem.stop();

  EXPECT_EQ(run.process.exitStatus, 0) << run.process.err;
  std::vector<std::string> lines = linesOf(modem.received());
  auto firstWord =
      std::find_if(lines.begin(), lines.end(), [](const auto& l) { return !l.empty(); });
  if (timing.login) {
    // Nudges before the login prompt, then the name and at once the password:
    // an empty line between them would be an empty password.
    ASSERT_GE(lines.end() - firstWord, 2) << modem.transcript();
    EXPECT_EQ(firstWord[0], USER) << modem.transcript();
    EXPECT_EQ(firstWord[1], PASSWORD) << modem.transcript();
    firstWord += 2;
    EXPECT_TRUE(logged(run, "Login complete\n"));
  }
  EXPECT_THAT(withoutEmptyLines({firstWord, lines.end()}), ElementsAreArray(COMMANDS))
      << modem.transcript();
  EXPECT_THAT(withoutEmptyLines(modem.commands()), ElementsAreArray(COMMANDS));
  EXPECT_THAT(modem.transcript(), Not(HasSubstr("Login incorrect")));
  // Every command answered, and never before its newline had gone out.
  EXPECT_EQ(countOf(run.process.out, "\n::: "), COMMANDS.size()) << run.process.out;
  EXPECT_THAT(run.process.out, Not(HasSubstr("::: 0\n")));
  EXPECT_TRUE(logged(run, "Configuration done\n"));
}

INSTANTIATE_TEST_SUITE_P(Login, SetupTiming,
                         ::testing::Values(Timing{"answers_at_once", true, 0, -1},
                                           Timing{"answers_in_10ms", true, 10, -1},
                                           Timing{"answers_in_30ms", true, 30, -1},
                                           Timing{"answers_in_150ms", true, 150, -1},
                                           Timing{"answers_in_400ms", true, 400, -1}),
                         [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(AtShell, SetupTiming,
                         ::testing::Values(Timing{"answers_at_once", false, 0, -1},
                                           Timing{"answers_in_20ms", false, 20, -1},
                                           Timing{"answers_in_60ms", false, 60, -1},
                                           Timing{"answers_in_150ms", false, 150, -1}),
                         [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(SlowCommand, SetupTiming,
                         ::testing::Values(Timing{"save_in_400ms", true, 30, 400},
                                           Timing{"save_in_900ms", true, 30, 900},
                                           Timing{"save_in_1500ms", true, 30, 1500},
                                           Timing{"save_in_1500ms_at_once_otherwise", false, 0,
                                                  1500}),
                         [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(Echo, SetupTiming,
                         ::testing::Values(Timing{"answers_at_once", true, 0, -1, true},
                                           Timing{"answers_in_30ms_save_in_900ms", true, 30, 900,
                                                  true}),
                         [](const auto& info) { return std::string(info.param.name); });

class SetupStaleOutput : public ::testing::Test {
 protected:
  SetupHarness harness;
};

// A prompt that was in the line before the program came is no answer: each
// command still gets its newline and runs on its own, and its traced count
// shows that the newline had to go out first.
TEST_F(SetupStaleOutput, APromptAlreadyWaitingDoesNotAnswerTheFirstCommand) {
  modemsim::Options options;
  options.atShell = true;
  options.leftover = "\r\n > ";
  modemsim::ModemSim modem(options);
  SetupRun run = harness.runAgainst(modem, "first\nsecond\n", {"-e", "0", "-D"});
  EXPECT_EQ(run.process.exitStatus, 0);
  EXPECT_EQ(modem.received(), "first\nsecond\n");
  EXPECT_THAT(modem.commands(), ::testing::ElementsAre("first", "second"));
  EXPECT_THAT(run.process.out, Not(HasSubstr("::: 0\n")));
  EXPECT_EQ(countOf(run.process.out, ":::"), 2u);
}

// A prompt that comes after the command went out but before its newline is
// no answer either: this console answers every read at once (an eager
// shell) and ignores the newline, so the command gets no answer and fails.
TEST_F(SetupStaleOutput, APromptBeforeTheNewlineIsNoAnswer) {
  modemsim::Options options;
  options.atShell = true;
  options.eager = true;
  modemsim::ModemSim modem(options);
  SetupRun run = harness.runAgainst(modem, "show\n", {"-e", "0", "-D"});
  EXPECT_EQ(run.process.exitStatus, 1);
  EXPECT_EQ(modem.received().substr(0, 5), "show\n");
  EXPECT_THAT(run.process.out, Not(HasSubstr(":::")));
}
