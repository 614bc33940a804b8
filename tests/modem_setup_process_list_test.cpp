// The password of -p stays out of the process list: once the options are
// read, /proc/PID/cmdline (what ps shows) has it blanked, in every form the
// option takes, and the other arguments as they were.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "modem_sim.h"
#include "setup_run.h"

using namespace testsupport;

namespace {

const char EMULATOR_SKIP[] =
    "under qemu-user /proc/PID/cmdline is the emulator's own argument list, which the "
    "program cannot reach (the board leg looks at the board's ps instead)";

// The password's bytes as the process list shows them once blanked.
std::string blanked(const std::string& password) { return std::string(password.size(), 'x'); }

}  // namespace

class SetupProcessList : public ::testing::Test {
 protected:
  SetupHarness harness;

  // Runs the program against a console that never answers and returns its
  // arguments as /proc/PID/cmdline shows them while it waits for the prompt
  // of its first command, which it sends only after reading its options.
  // Two unanswered commands keep it waiting about 4 s after that.
  std::vector<std::string> argumentsWhileWaiting(const std::vector<std::string>& options) {
    modemsim::Options console;
    console.silent = true;
    modemsim::ModemSim modem(console);
    modem.start();
    std::string commands = harness.commandFile("show version\nshow status\n");
    std::vector<std::string> args = {"-d", modem.slavePath(), "-c", commands, "-e", "0"};
    args.insert(args.end(), options.begin(), options.end());

    std::atomic<bool> ended{false};
    SetupRun run;
    std::thread runner([&] {
      run = harness.run(args);
      ended = true;
    });
    std::vector<std::string> seen;
    while (!ended && seen.empty()) {
      if (!modem.received().empty()) {
        auto lines = runningCommandLines(programPath("MODEM_SETUP_PROGRAM"), commands);
        if (lines.size() == 1) seen = lines[0];
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    runner.join();
    modem.stop();
    EXPECT_EQ(run.process.exitStatus, 2) << run.process.err;  // both commands unanswered
    if (seen.empty()) {
      ADD_FAILURE() << "the program was not seen running after its first command went out";
      return seen;
    }
    // The first word is the program; what follows is compared by the caller.
    EXPECT_EQ(seen[0], programPath("MODEM_SETUP_PROGRAM"));
    std::vector<std::string> shown(seen.begin() + 1, seen.end());
    EXPECT_EQ(std::vector<std::string>(shown.begin(), shown.begin() + 6),
              std::vector<std::string>(args.begin(), args.begin() + 6));
    return std::vector<std::string>(shown.begin() + 6, shown.end());
  }
};

TEST_F(SetupProcessList, ThePasswordIsBlankedWhileTheProgramRuns) {
  if (underEmulator()) GTEST_SKIP() << EMULATOR_SKIP;
  const std::string password = "bridge-42";
  EXPECT_EQ(argumentsWhileWaiting({"-u", "admin", "-p", password, "-w", "0"}),
            (std::vector<std::string>{"-u", "admin", "-p", blanked(password), "-w", "0"}));
  EXPECT_EQ(argumentsWhileWaiting({"-p" + password, "-u", "admin"}),
            (std::vector<std::string>{"-p" + blanked(password), "-u", "admin"}));
  EXPECT_EQ(argumentsWhileWaiting({"-Dp" + password}),
            (std::vector<std::string>{"-Dp" + blanked(password)}));
}

// getopt reorders the pointers of argv around words that are no options, but
// the text stays where it was: every -p is blanked there, the rest untouched.
TEST_F(SetupProcessList, EveryRepeatedPasswordIsBlankedAndStrayWordsStay) {
  if (underEmulator()) GTEST_SKIP() << EMULATOR_SKIP;
  EXPECT_EQ(argumentsWhileWaiting(
                {"-p", "first-secret", "stray", "-u", "admin", "-psecond-secret", "-k", "wan0"}),
            (std::vector<std::string>{"-p", blanked("first-secret"), "stray", "-u", "admin",
                                      "-p" + blanked("second-secret"), "-k", "wan0"}));
}

// The blanking comes after the copy: the console still gets the password, the
// last one given, whichever form carried it.
TEST_F(SetupProcessList, TheConsoleStillGetsThePassword) {
  for (const auto& options : std::vector<std::vector<std::string>>{
           {"-u", "admin", "-Dpbridge-42"},
           {"-p", "first-secret", "-u", "admin", "-p", "bridge-42"}}) {
    modemsim::Options console;
    console.username = "admin";
    console.password = "bridge-42";
    modemsim::ModemSim modem(console);
    SetupRun run = harness.runAgainst(modem, "show version\n", options);
    EXPECT_EQ(run.process.exitStatus, 0) << options[2];
    EXPECT_EQ(modem.commands(), std::vector<std::string>{"show version"}) << options[2];
  }
}
