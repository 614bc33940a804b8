// The real serial-modem-setup given bad input: command files with binary
// bytes, huge lines, many lines, odd line ends or a FIFO; devices that are
// no terminal; numbers out of range; pid files that name no pid. Each gets
// the behaviour the program documents, and nothing sent is lost.
#include <errno.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <random>
#include <thread>

#include "fake_dhcp_client.h"
#include "setup_run.h"

using namespace testsupport;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

constexpr double GENEROUS_END = 30;

modemsim::Options shell() {
  modemsim::Options console;
  console.atShell = true;
  return console;
}

class SetupBadInput : public ::testing::Test {
 protected:
  SetupHarness harness;

  std::vector<std::string> startAndEnd(const std::string& conf) {
    return {"6 Configuring DSL modem using " + conf + "\n", "6 Configuration done\n"};
  }
  std::vector<std::string> startAndEnd() {
    return startAndEnd(harness.dir().file("commands.conf"));
  }

  void recordTime(const SetupRun& run, const std::string& label = "") {
    RecordProperty(label + "seconds", std::to_string(run.process.seconds));
    EXPECT_FALSE(run.process.timedOut);
    EXPECT_EQ(run.process.termSignal, 0);
  }
};

}  // namespace

TEST_F(SetupBadInput, BinaryAndNulBytesInACommandAreSentByteForByte) {
  std::string everyByte = "x";
  for (int c = 0; c < 256; ++c)
    if (c != '\n') everyByte += static_cast<char>(c);
  const std::string nulFirst("\0show\0", 6);
  modemsim::ModemSim modem(shell());
  SetupRun run = harness.runAgainst(modem, everyByte + "\n" + nulFirst + "\n", {"-e", "0"});
  recordTime(run);
  EXPECT_EQ(run.process.exitStatus, 0) << run.process.err;
  EXPECT_THAT(modem.commands(), ElementsAre(everyByte, nulFirst));
  EXPECT_TRUE(modem.received() == everyByte + "\n" + nulFirst + "\n");
}

TEST_F(SetupBadInput, ASixtyFourMebibyteLineArrivesWhole) {
  std::mt19937 random(7);
  std::string line = "set blob ";
  line.resize(64 << 20, ' ');
  for (size_t i = 9; i < line.size(); ++i) line[i] = static_cast<char>('!' + random() % 94);
  modemsim::Options console = shell();
  console.keepTranscript = false;
  modemsim::ModemSim modem(console);
  SandboxOptions sandbox;
  sandbox.timeoutSeconds = 100;
  // Last in the file: a console slow to answer it gets extra newlines, and
  // their prompts must not meet a later command (see the hostile tests).
  SetupRun run = harness.runAgainst(modem, "show\n" + line + "\n", {"-e", "0"}, sandbox);
  recordTime(run);
  EXPECT_EQ(run.process.exitStatus, 0) << run.process.err;
  std::vector<std::string> commands = modem.commands();
  ASSERT_GE(commands.size(), 2u);
  EXPECT_EQ(commands[0], "show");
  EXPECT_EQ(commands[1].size(), line.size());
  EXPECT_TRUE(commands[1] == line) << "the long line arrived changed";
}

// Every command costs at least one 10 ms poll (its newline goes out on the
// first silent one), so the 100,000 lines here are mostly ones to skip.
TEST_F(SetupBadInput, AHundredThousandLinesAreReadAndTheirCommandsArriveInOrder) {
  std::string file;
  std::vector<std::string> expected;
  for (int i = 0; i < 100000; ++i) {
    if (i % 500 == 499) {
      expected.push_back("set option " + std::to_string(i));
      file += expected.back() + "\n";
    } else {
      file += i % 2 ? "\n" : "# comment " + std::to_string(i) + "\n";
    }
  }
  modemsim::Options console = shell();
  console.keepTranscript = false;
  modemsim::ModemSim modem(console);
  SandboxOptions sandbox;
  sandbox.timeoutSeconds = 100;
  SetupRun run = harness.runAgainst(modem, file, {"-e", "0"}, sandbox);
  recordTime(run);
  EXPECT_EQ(run.process.exitStatus, 0);
  EXPECT_EQ(run.log.back().text, "Configuration done\n");
  EXPECT_EQ(modem.commands(), expected);
  EXPECT_EQ(expected.size(), 200u);
}

TEST_F(SetupBadInput, CarriageReturnLineEndsMakeTheWholeFileOneCommand) {
  modemsim::ModemSim modem(shell());
  SetupRun run = harness.runAgainst(modem, "show\rsave\r# not a comment\rreboot\r", {"-e", "0"});
  recordTime(run);
  EXPECT_EQ(run.process.exitStatus, 0);
  EXPECT_THAT(modem.commands(), ElementsAre("show\rsave\r# not a comment\rreboot\r"));
}

TEST_F(SetupBadInput, AFifoAsTheCommandFileIsReadAsItIsWritten) {
  const std::string fifo = harness.dir().file("commands.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // The writer waits for the program to open its end, but never forever.
  std::thread writer([&fifo] {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    int fd;
    while ((fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK)) < 0 && errno == ENXIO &&
           std::chrono::steady_clock::now() < until)
      usleep(10000);
    if (fd < 0) return;
    for (const char* piece : {"one\n", "two\nthr", "ee\n# last\nfour"}) {
      (void)!write(fd, piece, strlen(piece));
      usleep(100000);
    }
    close(fd);
  });
  modemsim::ModemSim modem(shell());
  modem.start();
  SetupRun run = harness.run({"-d", modem.slavePath(), "-c", fifo, "-e", "0", "-w", "0"});
  modem.stop();
  writer.join();
  recordTime(run);
  EXPECT_EQ(run.process.exitStatus, 0);
  EXPECT_THAT(run.logLines(), ::testing::ElementsAreArray(startAndEnd(fifo)));
  EXPECT_THAT(modem.commands(), ElementsAre("one", "two", "three", "four"));
}

TEST_F(SetupBadInput, ADeviceThatIsNoTerminal) {
  const std::string commands = harness.commandFile("show\n");
  {  // a directory cannot be opened for writing
    const std::string directory = harness.dir().path();
    SetupRun run = harness.run({"-d", directory, "-c", commands});
    recordTime(run, "directory ");
    EXPECT_EQ(run.process.exitStatus, 1);
    EXPECT_EQ(run.process.err, "open " + directory + ": Is a directory\n");
    EXPECT_THAT(run.logLines(), ElementsAre("6 Configuring DSL modem using " + commands + "\n",
                                            "3 Opening device '" + directory + "' failed"));
  }
  {  // a regular file is used anyway: it reads as silence and takes every write
    const std::string file = harness.dir().write("console.txt", "");
    SetupRun run = harness.run({"-d", file, "-c", commands, "-e", "2", "-w", "0"});
    recordTime(run, "file ");
    EXPECT_EQ(run.process.exitStatus, 1);
    EXPECT_EQ(run.process.err, "tcsetattr: Inappropriate ioctl for device\n");
    EXPECT_THAT(run.logLines(), ::testing::ElementsAreArray(startAndEnd()));
    EXPECT_EQ(readFile(file), "\n\nshow" + std::string(8, '\n'));  // 2 nudges, show, 8 nudges
  }
  {  // a device that is no terminal: the same
    SetupRun run = harness.run({"-d", "/dev/null", "-c", commands, "-e", "2", "-w", "0"});
    recordTime(run, "null ");
    EXPECT_EQ(run.process.exitStatus, 1);
    EXPECT_EQ(run.process.err, "tcsetattr: Inappropriate ioctl for device\n");
    EXPECT_THAT(run.logLines(), ::testing::ElementsAreArray(startAndEnd()));
  }
}

TEST_F(SetupBadInput, NumbersOutOfRangeTakeTheirDocumentedMeaning) {
  for (const char* rate : {"99999999999", "-9600", "1e5"}) {  // any other value: 115200
    modemsim::ModemSim modem(shell());
    SetupRun run = harness.runAgainst(modem, "", {"-e", "0", "-b", rate});
    EXPECT_EQ(run.process.exitStatus, 0) << rate;
    termios settings{};
    ASSERT_EQ(tcgetattr(modem.slaveFd(), &settings), 0);
    EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B115200)) << rate;
  }
  for (const char* budget : {"-5", "99999999999"}) {  // 0 or less (too large reads as 0): no login
    modemsim::ModemSim modem(shell());
    SetupRun run = harness.runAgainst(modem, "show\n", {"-e", budget});
    EXPECT_EQ(run.process.exitStatus, 0) << budget;
    EXPECT_EQ(modem.received().substr(0, 5), "show\n") << budget;
  }
  for (const char* pause : {"-1", "99999999999"}) {  // no pause: negative, or too large (0)
    modemsim::Options silent;
    silent.silent = true;
    modemsim::ModemSim modem(silent);
    SandboxOptions bounded;
    bounded.timeoutSeconds = 2 * GENEROUS_END;
    SetupRun run = harness.runAgainst(modem, "", {"-e", "3", "-w", pause}, bounded);
    recordTime(run, std::string("w") + pause + " ");
    EXPECT_LT(run.process.seconds, GENEROUS_END) << pause;
    EXPECT_EQ(run.process.exitStatus, 0) << pause;
    EXPECT_EQ(modem.received(), "\n\n\n") << pause;
  }
}

// A pid file that names no pid in 1..32767 signals nobody, however big or
// strange it is.
TEST_F(SetupBadInput, APidFileThatNamesNoPidSignalsNobody) {
  FakeDhcpClient bystander;
  TempDir varRun;
  std::mt19937 random(11);
  std::string binary(1 << 20, '\0');
  for (char& c : binary) c = static_cast<char>(random() % 256);
  binary[0] = '\xff';  // no digit, sign or blank first
  struct Case {
    std::string label, content;
  };
  for (const Case& c : {Case{"50 MB of digits", std::string(50000000, '7')}, Case{"binary", binary},
                        Case{"NULs", std::string(4096, '\0')}}) {
    varRun.write("dhcpcd-wan.pid", c.content);
    modemsim::ModemSim modem(shell());
    SandboxOptions sandbox;
    sandbox.runDir = varRun.path();
    SetupRun run = harness.runAgainst(modem, "", {"-e", "0", "-k", "wan"}, sandbox);
    recordTime(run, c.label + " ");
    EXPECT_EQ(run.process.exitStatus, 0) << c.label;
    EXPECT_THAT(run.logLines(), ElementsAre(::testing::StartsWith("6 Configuring"),
                                            "7 Invalid pid 0\n", "6 Configuration done\n"))
        << c.label;
  }
  EXPECT_FALSE(bystander.waitForAlarm(0.5));
}
