// serial-modem-setup's command line, start and end messages, exit statuses
// and serial line settings, seen from outside the real program.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/syslog.h>
#include <termios.h>

#include "modem_sim.h"
#include "setup_run.h"

using namespace testsupport;
using ::testing::ElementsAre;

namespace {

const char USAGE_TEXT[] =
    "Usage: serial-modem-setup [-Dh] [-b rate] [-c conf] [-d dev] [-e err] [-p pass] [-u user] "
    "[-w wait] [-k if]\n"
    "\t-b rate\tBaud rate (default: 115200)\n"
    "\t-c conf\tConfig file containing commands to send to serial console (default: "
    "/etc/ppp/bridge.conf)\n"
    "\t-d dev\tUse this serial device (default: /dev/dslcons0)\n"
    "\t-D\tDebug mode\n"
    "\t-e err\tStop after err errors (default: 8)\n"
    "\t-k if\tKick DHCP client on this interface after configuration is done\n"
    "\t-p pass\tPassword to use for console login (default: qorvi)\n"
    "\t-u user\tUsername to use for console login (default: qorvi)\n"
    "\t-w wait\tWait for wait us before login attempts (default: 500000 = 500ms)\n"
    "\t-W secs\tWait up to secs s for a booting modem (default: 0, no wait)\n"
    "\t-q secs\tWith -W: seconds of quiet before a newline is sent (default: 6)\n"
    "\t-a text\tCount a command as failed when a line of its answer holds text (repeatable)\n"
    "\t-m\tWith -W: stay, and configure the modem again after each reboot\n"
    "\t-B text\tWith -m: a line holding text marks a reboot\n"
    "\t-x cmd\tWith -W: run cmd with each outcome as arguments\n"
    "\t-h\tShow this help\n";

const std::string START_DEFAULT = "6 Configuring DSL modem using /etc/ppp/bridge.conf\n";

}  // namespace

class SetupCommandLine : public ::testing::Test {
 protected:
  SetupHarness harness;
};

TEST_F(SetupCommandLine, HelpPrintsTheUsageAndSucceedsWithoutTouchingAnything) {
  for (auto args : std::vector<std::vector<std::string>>{
           {"-h"}, {"-d", "/nonexistent", "-D", "-h"}, {"-c", "/nonexistent", "-h", "-x"}}) {
    SetupRun run = harness.run(args);
    EXPECT_EQ(run.process.exitStatus, 0);
    EXPECT_EQ(run.process.err, USAGE_TEXT);
    EXPECT_EQ(run.process.out, "");
    EXPECT_TRUE(run.log.empty());
  }
}

TEST_F(SetupCommandLine, ABadOptionIsAUsageErrorWithGetoptsComplaintFirst) {
  SetupRun unknown = harness.run({"-y"});
  EXPECT_EQ(unknown.process.exitStatus, 1);
  EXPECT_EQ(unknown.process.err.find("invalid option -- 'y'\n"),
            unknown.process.err.find(": ") + 2);
  EXPECT_EQ(unknown.process.err.substr(unknown.process.err.find('\n') + 1), USAGE_TEXT);
  EXPECT_TRUE(unknown.log.empty());

  SetupRun missing = harness.run({"-D", "-b"});
  EXPECT_EQ(missing.process.exitStatus, 1);
  EXPECT_NE(missing.process.err.find("option requires an argument -- 'b'\n"), std::string::npos);
  EXPECT_EQ(missing.process.err.substr(missing.process.err.find('\n') + 1), USAGE_TEXT);
  EXPECT_TRUE(missing.log.empty());
}

TEST_F(SetupCommandLine, AMissingDeviceIsLoggedAfterTheStartMessage) {
  SetupRun run = harness.run({"-d", "/nonexistent/console"});
  EXPECT_EQ(run.process.exitStatus, 1);
  EXPECT_EQ(run.process.err, "open /nonexistent/console: No such file or directory\n");
  EXPECT_THAT(run.logLines(),
              ElementsAre(START_DEFAULT, "3 Opening device '/nonexistent/console' failed"));
  for (const auto& message : run.log) EXPECT_EQ(message.facility, LOG_USER >> 3);
}

// The sandbox the demo runs the program in shows what it logged, once it has
// ended, and passes its exit status on.
TEST_F(SetupCommandLine, TheSandboxShowsTheLogAfterTheRun) {
  std::vector<std::string> argv = {programPath("SANDBOX_RUN"), "--show-log", "--"};
  for (const auto& word : programCommand("MODEM_SETUP_PROGRAM")) argv.push_back(word);
  argv.insert(argv.end(), {"-d", "/nonexistent/console"});
  ProcessResult run = runProcess(argv);
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_THAT(run.err, ::testing::MatchesRegex(
                           "open /nonexistent/console: No such file or directory\n"
                           "log: <14>.*: Configuring DSL modem using /etc/ppp/bridge.conf\n"
                           "log: <11>.*: Opening device '/nonexistent/console' failed\n"));
}

// The sandbox says what its options do when asked, and how to ask when used
// wrongly: an unknown option, or a --fd-floor that is not a count.
TEST_F(SetupCommandLine, TheSandboxExplainsItsOptions) {
  ProcessResult help = runProcess({programPath("SANDBOX_RUN"), "--help"});
  EXPECT_EQ(help.exitStatus, 0);
  for (const char* option : {"--log SOCKET", "--show-log", "--run-dir DIR", "--fd-floor N"})
    EXPECT_NE(help.out.find(std::string("\n  ") + option), std::string::npos) << option;
  const std::vector<std::vector<std::string>> wrongUses = {
      {"--bogus"}, {"--fd-floor", "many", "--", "true"}, {"--fd-floor", "-3", "--", "true"}};
  for (std::vector<std::string> wrongUse : wrongUses) {
    wrongUse.insert(wrongUse.begin(), programPath("SANDBOX_RUN"));
    ProcessResult wrong = runProcess(wrongUse);
    EXPECT_EQ(wrong.exitStatus, 125) << wrongUse[1];
    EXPECT_NE(wrong.err.find("sandbox-run --help"), std::string::npos) << wrong.err;
  }
}

TEST_F(SetupCommandLine, AMissingCommandFileIsLoggedAfterTheDeviceWasOpened) {
  modemsim::ModemSim modem({});
  modem.start();
  std::string missing = harness.dir().file("no-such.conf");
  SetupRun run = harness.run({"-d", modem.slavePath(), "-c", missing, "-b", "9600"});
  EXPECT_EQ(run.process.exitStatus, 1);
  EXPECT_THAT(run.logLines(), ElementsAre("6 Configuring DSL modem using " + missing + "\n",
                                          "3 Opening cmd file '" + missing + "' failed"));
  termios settings{};
  ASSERT_EQ(tcgetattr(modem.slaveFd(), &settings), 0);
  EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B9600));  // opened and set first
  EXPECT_EQ(modem.received(), "");
}

TEST_F(SetupCommandLine, LeavesTheLineRaw8N1AtTheChosenSpeed) {
  struct Case {
    std::string rate;
    speed_t speed;
  };
  for (const Case& c : {Case{"38400", B38400}, Case{"abc", B115200}, Case{"0", B115200},
                        Case{"57600baud", B57600}, Case{"300", B115200}}) {
    modemsim::Options console;
    console.atShell = true;
    modemsim::ModemSim modem(console);
    modem.start();
    std::string commands = harness.commandFile("");
    SetupRun run = harness.run({"-d", modem.slavePath(), "-c", commands, "-w", "0", "-b", c.rate});
    EXPECT_EQ(run.process.exitStatus, 0) << run.process.err;

    termios settings{};
    ASSERT_EQ(tcgetattr(modem.slaveFd(), &settings), 0);
    EXPECT_EQ(cfgetospeed(&settings), c.speed) << c.rate;
    EXPECT_EQ(settings.c_iflag, static_cast<tcflag_t>(IGNBRK));
    EXPECT_EQ(settings.c_oflag, 0u);
    EXPECT_EQ(settings.c_lflag, 0u);
    EXPECT_EQ(settings.c_cflag & ~CBAUD, static_cast<tcflag_t>(CS8 | CREAD | CLOCAL));
    EXPECT_EQ(settings.c_cc[VMIN], 1);
    EXPECT_EQ(settings.c_cc[VTIME], 2);
  }
}

TEST_F(SetupCommandLine, ADeviceThatIsNoTerminalIsStillUsed) {
  std::string device = harness.dir().write("not-a-tty", "");
  std::string commands = harness.commandFile("# nothing to send\n");
  SetupRun run = harness.run({"-d", device, "-c", commands, "-e", "0"});
  EXPECT_EQ(run.process.exitStatus, 0);
  EXPECT_EQ(run.process.err, "tcsetattr: Inappropriate ioctl for device\n");
  EXPECT_THAT(run.logLines(), ElementsAre("6 Configuring DSL modem using " + commands + "\n",
                                          "6 Configuration done\n"));
}

TEST_F(SetupCommandLine, TheLastOfARepeatedOptionWinsAndStrayWordsAreIgnored) {
  std::string commands = harness.commandFile("");
  std::string device = harness.dir().write("plain-file", "");
  SetupRun run = harness.run(
      {"-c", "/first.conf", "stray", "-c", commands, "-d", device, "-e", "0", "another"});
  EXPECT_EQ(run.process.exitStatus, 0);
  EXPECT_THAT(run.logLines(), ElementsAre("6 Configuring DSL modem using " + commands + "\n",
                                          "6 Configuration done\n"));
}

// Descriptors at or above FD_SETSIZE cannot be polled with select: every
// poll fails at once, which also makes hundreds of failed commands cheap.
TEST_F(SetupCommandLine, APortBeyondFdSetSizeFailsEveryPollWithAMessage) {
  modemsim::ModemSim modem({});
  modem.start();
  SandboxOptions highDescriptors;
  highDescriptors.fdFloor = FD_SETSIZE;

  std::string commands = harness.commandFile("show\n");
  SetupRun login = harness.run({"-d", modem.slavePath(), "-c", commands}, highDescriptors);
  EXPECT_EQ(login.process.exitStatus, 1);  // a failed poll ends the login
  EXPECT_NE(login.process.err.find("select: console descriptor"), std::string::npos);
  EXPECT_THAT(login.logLines(), ElementsAre("6 Configuring DSL modem using " + commands + "\n"));

  SetupRun oneCommand =
      harness.run({"-d", modem.slavePath(), "-c", commands, "-e", "0"}, highDescriptors);
  EXPECT_EQ(oneCommand.process.exitStatus, 1);
  EXPECT_EQ(oneCommand.log.back().text, "Configuration done\n");
}

TEST_F(SetupCommandLine, TheExitStatusCountsFailedCommandsUpTo255) {
  modemsim::ModemSim modem({});
  modem.start();
  SandboxOptions highDescriptors;
  highDescriptors.fdFloor = FD_SETSIZE;
  for (int commands : {2, 255, 256, 300}) {
    std::string file;
    for (int i = 0; i < commands; ++i) file += "set option " + std::to_string(i) + "\n";
    SetupRun run = harness.run(
        {"-d", modem.slavePath(), "-c", harness.commandFile(file), "-e", "0"}, highDescriptors);
    EXPECT_EQ(run.process.exitStatus, std::min(commands, 255)) << commands;
    EXPECT_EQ(run.log.back().text, "Configuration done\n");
  }
}
