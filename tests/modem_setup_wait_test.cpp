// The wait mode (-W) of the real serial-modem-setup against a simulated modem
// that boots after the program starts: off and deaf, then a boot log with a
// bootloader countdown that any byte received stops for good, then its login.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <thread>

#include "setup_run.h"

using namespace testsupport;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

namespace {

const char COMMANDS[] = "show version\nbridge on\nsave\n";

// The console's received lines from its first credential on: the user name,
// the password, then every command once. Blind newlines may only come before.
void expectLoginThenCommands(const modemsim::ModemSim& modem) {
  std::vector<std::string> lines = linesOf(modem.received());
  auto first = std::find_if(lines.begin(), lines.end(), [](const auto& l) { return !l.empty(); });
  EXPECT_THAT(std::vector<std::string>(first, lines.end()),
              ElementsAre("admin", "secret", "show version", "bridge on", "save"))
      << modem.transcript();
}

struct PowerOn {
  const char* name;
  int powerOnMs;  // after the console starts; the program starts a moment later
  const char* line;
  bool silentCountdown = false;  // no ticks: the countdown's line alone, for 3 s
};

void PrintTo(const PowerOn& powerOn, std::ostream* out) { *out << powerOn.name; }

// A console that accepts admin with this password, at a modem's pace.
modemsim::Options adminConsole(const std::string& password) {
  modemsim::Options console;
  console.username = "admin";
  console.password = password;
  console.lineTimeMs = 30;
  return console;
}

}  // namespace

class SetupWaitBoot : public ::testing::TestWithParam<PowerOn> {
 protected:
  SetupHarness harness;
};

// With -q 1 and nothing answering, the program's newlines go out about 1, 3
// and 7 s after it starts. A modem powered on around any of them boots
// through its countdown untouched and is configured, even when the countdown
// is quieter for longer than -q.
TEST_P(SetupWaitBoot, AModemPoweredOnAtAnyMomentBootsAndIsConfigured) {
  modemsim::Options console = adminConsole("secret");
  console.echo = true;
  console.boot = {GetParam().powerOnMs, 3000, GetParam().silentCountdown ? 3 : 2,
                  GetParam().silentCountdown};
  std::string error;
  ASSERT_TRUE(modemsim::parseLineSettings(GetParam().line, console.line, error)) << error;
  modemsim::ModemSim modem(console);
  SetupRun run =
      harness.runAgainst(modem, COMMANDS, {"-W", "30", "-q", "1", "-u", "admin", "-p", "secret"});

  EXPECT_EQ(run.process.exitStatus, 0) << run.process.err << modem.transcript();
  EXPECT_THAT(modem.transcript(), HasSubstr("-- autoboot countdown over: booting"));
  EXPECT_THAT(modem.transcript(), Not(HasSubstr("-- autoboot stopped")));
  expectLoginThenCommands(modem);
  EXPECT_THAT(run.logLines(), Contains(StartsWith("6 Modem configured: 3 commands answered")));
  EXPECT_THAT(run.process.err, StartsWith("serial-modem-setup: Modem configured: 3 commands"));
}

INSTANTIATE_TEST_SUITE_P(AroundTheNudges, SetupWaitBoot,
                         ::testing::Values(PowerOn{"before_the_first", 900, "whole"},
                                           PowerOn{"at_the_first", 1000, "whole"},
                                           PowerOn{"just_after_the_first", 1030, "whole"},
                                           PowerOn{"before_the_second", 2950, "uart:115200"},
                                           PowerOn{"just_after_the_second", 3040, "usb:16"},
                                           PowerOn{"at_the_third", 7000, "uart:9600:1"},
                                           PowerOn{"silent_countdown", 900, "whole", true},
                                           PowerOn{"silent_countdown_in_bursts", 2950, "usb:16",
                                                   true}),
                         [](const auto& info) { return std::string(info.param.name); });

class SetupWaitOutcome : public ::testing::Test {
 protected:
  SetupHarness harness;
};

// Each outcome of the wait: its exit status, its one log line (also on
// standard error), and what reached the console.
TEST_F(SetupWaitOutcome, ARefusingConsoleGetsThePasswordAtMostBudgetTimes) {
  modemsim::ModemSim modem(adminConsole("not-this-one"));
  SetupRun run = harness.runAgainst(
      modem, COMMANDS, {"-W", "30", "-q", "1", "-e", "3", "-u", "admin", "-p", "secret"});

  EXPECT_EQ(run.process.exitStatus, 253) << run.process.err;
  EXPECT_TRUE(logged(run, "Login refused: user 'admin' and its password sent 3 times"))
      << run.process.err;
  std::vector<std::string> lines = withoutEmptyLines(linesOf(modem.received()));
  EXPECT_THAT(lines, ElementsAre("admin", "secret", "admin", "secret", "admin", "secret"))
      << modem.transcript();
  // Only the first nudge is a blind newline: every later line is an answer.
  EXPECT_EQ(linesOf(modem.received()).size(), lines.size() + 1) << modem.transcript();
  EXPECT_THAT(run.process.err, Not(HasSubstr("secret")));
}

TEST_F(SetupWaitOutcome, ASilentConsoleGetsAHandfulOfNewlinesUntilTheDeadline) {
  modemsim::Options console;
  console.silent = true;
  modemsim::ModemSim modem(console);
  SetupRun run = harness.runAgainst(modem, COMMANDS, {"-W", "5", "-q", "1"});

  EXPECT_EQ(run.process.exitStatus, 252) << run.process.err;
  EXPECT_TRUE(logged(run, "Modem not answering on '" + modem.slavePath() +
                              "' within 5 s: no shell prompt; its last output: none"))
      << ::testing::PrintToString(run.logLines());
  // Newlines after 1 s of quiet, then 2 s more: two, three on a slow machine.
  EXPECT_GE(modem.received().size(), 2u);
  EXPECT_LE(modem.received().size(), 3u);
  EXPECT_EQ(modem.received().find_first_not_of('\n'), std::string::npos);
  EXPECT_FALSE(logged(run, "Configuration done\n"));
}

// A console that never stops talking is never quiet: it gets no byte at all,
// and the wait still ends at its deadline, quoting what it said last.
TEST_F(SetupWaitOutcome, AConsoleThatNeverStopsTalkingGetsNothingUntilTheDeadline) {
  modemsim::Options console;
  console.chatter = true;
  modemsim::ModemSim modem(console);
  auto began = std::chrono::steady_clock::now();
  SetupRun run = harness.runAgainst(modem, COMMANDS, {"-W", "3", "-q", "1"});

  EXPECT_EQ(run.process.exitStatus, 252) << run.process.err;
  EXPECT_EQ(modem.received(), "");
  EXPECT_THAT(run.logLines(), Contains(StartsWith("3 Modem not answering on '" + modem.slavePath() +
                                                  "' within 3 s: no shell "
                                                  "prompt; its last output: '")));
  // The deadline plus a chunk's worth, with room for a loaded machine.
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(20));
}

TEST_F(SetupWaitOutcome, ADeviceThatNeverAppearsEndsTheWait) {
  std::string device = harness.dir().file("dslcons0");
  SetupRun run = harness.run({"-d", device, "-c", harness.commandFile(COMMANDS), "-W", "1"});
  EXPECT_EQ(run.process.exitStatus, 251);
  EXPECT_THAT(run.logLines(), ElementsAre(HasSubstr("Configuring DSL modem using"),
                                          "3 Device '" + device + "' did not appear within 1 s"));
  EXPECT_EQ(run.process.err,
            "serial-modem-setup: Device '" + device + "' did not appear within 1 s\n");
}

// The node comes late (a USB adapter, a link made by the boot), after the
// modem has printed its boot log and its login prompt: that prompt is
// answered at once, without a newline first.
TEST_F(SetupWaitOutcome, ALateDeviceNodeAndAPromptPrintedBeforeTheOpen) {
  modemsim::Options console = adminConsole("secret");
  console.leftover = "[    2.000000] boot: done\r\n\r\nLogin: ";
  modemsim::ModemSim modem(console);
  std::string link = harness.dir().file("dslcons0");
  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    symlink(modem.slavePath().c_str(), link.c_str());
  });
  modem.start();
  SetupRun run = harness.run(
      {"-d", link, "-c", harness.commandFile(COMMANDS), "-W", "30", "-u", "admin", "-p", "secret"});
  late.join();
  modem.stop();

  EXPECT_EQ(run.process.exitStatus, 0) << run.process.err;
  EXPECT_THAT(linesOf(modem.received()),
              ElementsAre("admin", "secret", "show version", "bridge on", "save"))
      << modem.transcript();
  EXPECT_THAT(run.process.err, HasSubstr("Modem configured: 3 commands answered"));
}

// A command the modem rejects fails the wait mode's run as well, and its
// outcome line says how many were rejected.
TEST_F(SetupWaitOutcome, ARejectedCommandIsCountedInTheOutcome) {
  modemsim::Options console;
  console.atShell = true;
  console.lineTimeMs = 30;
  console.replies["bridge on"].output = "Error: unknown command 'bridge'";
  modemsim::ModemSim modem(console);
  SetupRun run = harness.runAgainst(modem, COMMANDS, {"-W", "30", "-q", "1", "-a", "Error:"});

  EXPECT_EQ(run.process.exitStatus, 1) << run.process.err;
  EXPECT_THAT(withoutEmptyLines(linesOf(modem.received())),
              ElementsAre("show version", "bridge on", "save"));
  EXPECT_THAT(run.logLines(),
              Contains("3 1 of 3 commands failed: 1 rejected, 0 got no prompt back"));
  EXPECT_THAT(run.process.err, HasSubstr("serial-modem-setup: Command on line 2 of " +
                                         harness.dir().file("commands.conf") +
                                         " rejected: \"Error: unknown command 'bridge'\"\n"));
}

// The watch (-m): the program keeps the port after the first configuration
// and configures the modem again after each reboot. Its outcome command
// (-x) prints each outcome, so the test knows where the watch is.
class SetupWatch : public ::testing::Test {
 protected:
  SetupHarness harness;

  modemsim::Options bootingConsole() {
    modemsim::Options console = adminConsole("secret");
    console.link = harness.dir().file("dslcons0");
    console.boot.logBytes = 1500;
    console.boot.autobootSeconds = 2;
    return console;
  }
  std::unique_ptr<BackgroundProcess> startWatch(modemsim::ModemSim& modem,
                                                const std::vector<std::string>& extra = {},
                                                const SandboxOptions& sandbox = {}) {
    std::string hook = harness.dir().write("hook", "#!/bin/sh\necho \"$1 $2 $3\"\n");
    chmod(hook.c_str(), 0755);
    modem.start();
    std::vector<std::string> args = {"-d",    modem.path(), "-c",    harness.commandFile(COMMANDS),
                                     "-W",    "60",         "-q",    "1",
                                     "-m",    "-x",         hook,    "-u",
                                     "admin", "-p",         "secret"};
    args.insert(args.end(), extra.begin(), extra.end());
    return harness.start(args, sandbox);
  }
};

// A session of the board's life: notices, idle logouts, reboots with a
// countdown and without one. Each boot gets the login and the commands once,
// a logout gets nothing, no byte reaches a countdown, the notices are logged.
TEST_F(SetupWatch, EveryBootIsConfiguredOnceAndNothingElseIsSent) {
  modemsim::ModemSim modem(bootingConsole());
  auto program = startWatch(modem);
  struct Step {
    std::function<void()> act;
    std::vector<std::string> outcomes;  // the outcome command's lines it brings
  };
  // A notice is logged once the console has been quiet a moment (lines
  // that begin a boot are not notices): the next step waits for it.
  auto notice = [&](const std::string& text) {
    modem.notice(text);
    std::string line = "6 Modem console: \"" + text + "\"";
    for (int tries = 0; tries < 300 && !testing::Value(harness.logSoFar(), Contains(line)); ++tries)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
  };
  const std::vector<Step> steps = {
      {[] {}, {"configured 0 0"}},
      {[&] { notice("DSL line down"); }, {}},
      {[&] { modem.endSession(); }, {"logged-out - 0"}},
      {[&] { modem.reboot(true); }, {"rebooted - 1", "configured 0 1"}},
      {[&] { notice("DSL line up: 16000 kbit/s"); }, {}},
      {[&] { modem.reboot(false); }, {"rebooted - 2", "configured 0 2"}},
      {[&] { modem.endSession(); }, {"logged-out - 2"}},
      {[&] { modem.reboot(true); }, {"rebooted - 3", "configured 0 3"}},
  };
  for (const Step& step : steps) {
    step.act();
    for (const std::string& outcome : step.outcomes) {
      ASSERT_EQ(program->readLine(60), outcome) << modem.transcript();
      harness.logSoFar();
    }
  }
  // The console's answer to the last command, then nothing more.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  SetupRun run = harness.finish(*program);
  modem.stop();

  EXPECT_EQ(run.process.exitStatus, 254);
  std::vector<std::string> once = {"admin", "secret", "show version", "bridge on", "save"};
  std::vector<std::string> expected;
  for (int boot = 0; boot < 4; ++boot) expected.insert(expected.end(), once.begin(), once.end());
  EXPECT_EQ(withoutEmptyLines(linesOf(modem.received())), expected) << modem.transcript();
  EXPECT_THAT(modem.transcript(), Not(HasSubstr("autoboot stopped")));
  std::vector<std::string> log = run.logLines();
  EXPECT_THAT(log, Contains("6 Modem console: \"DSL line down\""));
  EXPECT_THAT(log, Contains("6 Modem console: \"DSL line up: 16000 kbit/s\""));
  EXPECT_EQ(std::count_if(log.begin(), log.end(),
                          [](const std::string& line) {
                            return line.find(
                                       "Modem configured after a reboot: 3 commands "
                                       "answered") != std::string::npos;
                          }),
            3);
  EXPECT_THAT(run.logLines(), Contains("6 Stopped"));
}

// A console that vanishes as a USB one does is waited for and configured
// again; SIGHUP sends the command file as it is now, without a new login.
TEST_F(SetupWatch, AVanishedConsoleAndAReload) {
  modemsim::ModemSim modem(bootingConsole());
  auto program = startWatch(modem);
  ASSERT_EQ(program->readLine(60), "configured 0 0") << modem.transcript();
  modem.vanish(1500);
  ASSERT_EQ(program->readLine(60), "rebooted - 1") << modem.transcript();
  harness.logSoFar();
  ASSERT_EQ(program->readLine(60), "configured 0 1") << modem.transcript();
  harness.commandFile("wan enable\n");
  program->signal(SIGHUP);
  ASSERT_EQ(program->readLine(60), "configured 0 1") << modem.transcript();
  SetupRun run = harness.finish(*program);
  modem.stop();

  EXPECT_EQ(run.process.exitStatus, 254);
  EXPECT_THAT(withoutEmptyLines(linesOf(modem.received())),
              ElementsAre("admin", "secret", "show version", "bridge on", "save", "admin", "secret",
                          "show version", "bridge on", "save", "wan enable"))
      << modem.transcript();
  EXPECT_THAT(run.logLines(),
              Contains(StartsWith("6 Modem configured on reload: 1 commands answered")));
}

// While the program holds the console, terminal programs are told it is in
// use: picocom by the flock, minicom and cu by the lock file in /var/lock
// (the pid as 10 characters and a LF). A lock of a running program keeps
// the wait from starting; a stale one is taken over. Both go at the stop.
TEST_F(SetupWatch, TheConsoleIsLockedForTerminalProgramsWhileHeld) {
  bool havePicocom = access("/usr/bin/picocom", X_OK) == 0;
  std::string runDir = harness.dir().file("run");
  std::string lockFile = runDir + "/lock/LCK..dslcons0";
  mkdir(runDir.c_str(), 0755);
  mkdir((runDir + "/lock").c_str(), 0755);
  SandboxOptions sandbox;
  sandbox.runDir = runDir;
  auto picocom = [&](const std::string& path) {
    return runProcess({"picocom", "-q", "-X", "-r", path}, 20);
  };
  auto lockText = [](pid_t pid) {
    std::string digits = std::to_string(pid);
    return std::string(10 - digits.size(), ' ') + digits + "\n";
  };
  pid_t gone = fork();
  if (gone == 0) _exit(0);
  waitpid(gone, nullptr, 0);
  struct Case {
    const char* name;
    std::string lockText;  // in the lock file before the start; "" none
    bool refused;
  };
  const std::vector<Case> cases = {
      {"no lock", "", false},
      {"a stale lock", lockText(gone), false},
      {"this test's own lock", lockText(getpid()), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    modemsim::ModemSim modem(bootingConsole());
    unlink(lockFile.c_str());
    if (!c.lockText.empty()) harness.dir().write("run/lock/LCK..dslcons0", c.lockText);
    if (c.refused) {
      modem.start();
      SetupRun run = harness.run(
          {"-d", modem.path(), "-c", harness.commandFile(COMMANDS), "-W", "60", "-m"}, sandbox);
      EXPECT_EQ(run.process.exitStatus, 1);
      EXPECT_THAT(run.logLines(),
                  Contains(HasSubstr("in use by process " + std::to_string(getpid()))));
      EXPECT_EQ(modem.received(), "");
      continue;
    }
    auto program = startWatch(modem, {}, sandbox);
    ASSERT_EQ(program->readLine(60), "configured 0 0") << modem.transcript();
    std::string text = readFile(lockFile);
    EXPECT_EQ(text.size(), 11u);
    EXPECT_EQ(text.back(), '\n');
    EXPECT_NE(text, c.lockText);
    if (havePicocom) {
      ProcessResult refused = picocom(modem.path());
      EXPECT_NE(refused.exitStatus, 0);
      EXPECT_THAT(refused.out + refused.err, HasSubstr("cannot lock"));
    }
    SetupRun run = harness.finish(*program);
    EXPECT_EQ(run.process.exitStatus, 254);
    EXPECT_NE(access(lockFile.c_str(), F_OK), 0);
    if (havePicocom) EXPECT_EQ(picocom(modem.path()).exitStatus, 0);
    modem.stop();
  }
}
