// The real serial-modem-setup against consoles whose output reaches it the
// way real serial lines deliver it: in a UART's bursts at its line speed, at
// a USB adapter's ticks, or cut at random places. However a line cuts an
// answer, every prompt counts: the console gets the credentials once each,
// each command exactly once with one newline, and the run succeeds. Pieces
// further apart than the program's chunk window stay apart.
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

// The line a command prints before its prompt, padded to the length that
// puts its prompt where a line cuts: an answer is CR LF, the line, CR LF and
// " > ", so a line of 50, 51 or 106 bytes gives an answer of 57, 58 or 114
// bytes, whose prompt straddles a burst of 8 and one of 14; 56 and 57 give
// 63 and 64, whose prompt straddles the end of a USB adapter's 62-byte packet.
struct Command {
  std::string line;
  std::string output;
};

std::string padded(std::string text, std::size_t size) {
  text.resize(size, '.');
  return text;
}

const std::vector<Command> COMMANDS = {
    {"wan delete service ppp0", padded("Service ppp0 deleted", 50)},
    {"nat disable", padded("NAT is off", 51)},
    {"dhcpserver disable", padded("DHCP server is off", 56)},
    {"bridge enable", padded("Bridge mode enabled", 57)},
    {"save", padded("Saving configuration to flash", 106)},
};

std::vector<std::string> commandLines() {
  std::vector<std::string> lines;
  for (const auto& command : COMMANDS) lines.push_back(command.line);
  return lines;
}

std::string commandFile() {
  std::string file = "# five commands, each printing a line before its prompt\n";
  for (const auto& command : COMMANDS) file += command.line + "\n";
  return file;
}

// A console that answers each line in 30 ms, as the demo's does.
modemsim::Options console(const modemsim::LineSettings& line) {
  modemsim::Options options;
  options.username = USER;
  options.password = PASSWORD;
  options.lineTimeMs = 30;
  options.line = line;
  for (const auto& command : COMMANDS) options.replies[command.line].output = command.output;
  return options;
}

modemsim::LineSettings uart(long rate, int trigger) {
  modemsim::LineSettings line;
  line.kind = modemsim::LineSettings::Kind::Uart;
  line.rate = rate;
  line.trigger = trigger;
  return line;
}

modemsim::LineSettings usb(int tickMs, int phaseMs) {
  modemsim::LineSettings line;
  line.kind = modemsim::LineSettings::Kind::Usb;
  line.tickMs = tickMs;
  line.phaseMs = phaseMs;
  return line;
}

modemsim::LineSettings cut(int maxGapMs, unsigned long seed) {
  modemsim::LineSettings line;
  line.kind = modemsim::LineSettings::Kind::Cut;
  line.maxGapMs = maxGapMs;
  line.seed = seed;
  return line;
}

struct Cell {
  const char* name;
  modemsim::LineSettings line;
  long speed = 0;  // > 0: the program's -b
};

std::ostream& operator<<(std::ostream& out, const Cell& cell) { return out << cell.name; }

// The lines the console received after the password: the shell's input.
std::vector<std::string> shellInput(const std::vector<std::string>& lines) {
  auto password = std::find(lines.begin(), lines.end(), PASSWORD);
  if (password == lines.end()) return {};
  return {password + 1, lines.end()};
}

}  // namespace

// Runs the program with the five commands against a console, with the
// program's own defaults (-w among them) unless extra says otherwise.
class LineRun : public ::testing::Test {
 protected:
  SetupRun runAgainst(modemsim::ModemSim& modem, const std::vector<std::string>& extra = {}) {
    modem.start();
    std::vector<std::string> args = {
        "-d", modem.slavePath(), "-c", harness.commandFile(commandFile()), "-u", USER,
        "-p", PASSWORD,          "-D"};
    args.insert(args.end(), extra.begin(), extra.end());
    SetupRun run = harness.run(args);
    modem.stop();
    return run;
  }
  SetupHarness harness;
};

class SetupLine : public LineRun, public ::testing::WithParamInterface<Cell> {};

// Only the speed is the line's: the program runs with -b of its rate.
TEST_P(SetupLine, EveryPromptCountsHoweverTheLineCutsIt) {
  const Cell& cell = GetParam();
  modemsim::ModemSim modem(console(cell.line));
  std::vector<std::string> extra;
  if (cell.speed > 0) extra = {"-b", std::to_string(cell.speed)};
  SetupRun run = runAgainst(modem, extra);

  EXPECT_EQ(run.process.exitStatus, 0) << run.process.out << modem.transcript();
  const std::vector<std::string> lines = linesOf(modem.received());
  EXPECT_EQ(std::count(lines.begin(), lines.end(), USER), 1) << modem.transcript();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), PASSWORD), 1) << modem.transcript();
  EXPECT_TRUE(logged(run, "Login complete\n"));
  EXPECT_THAT(withoutEmptyLines(modem.commands()), ElementsAreArray(commandLines()));
  // One newline a command: a second one would mean its prompt was missed.
  EXPECT_THAT(shellInput(lines), ElementsAreArray(commandLines()))
      << run.process.out << modem.transcript();
  EXPECT_EQ(countOf(run.process.out, "\n::: "), COMMANDS.size()) << run.process.out;
  EXPECT_TRUE(logged(run, "Configuration done\n"));
}

INSTANTIATE_TEST_SUITE_P(Uart, SetupLine,
                         ::testing::Values(Cell{"at_115200_trigger_8", uart(115200, 8), 115200},
                                           Cell{"at_57600_trigger_8", uart(57600, 8), 57600},
                                           Cell{"at_9600_trigger_8", uart(9600, 8), 9600},
                                           Cell{"at_9600_every_byte", uart(9600, 1), 9600},
                                           Cell{"at_2400_trigger_8", uart(2400, 8), 2400},
                                           Cell{"at_2400_trigger_14", uart(2400, 14), 2400}),
                         [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(Usb, SetupLine,
                         ::testing::Values(Cell{"tick_16ms_phase_0", usb(16, 0)},
                                           Cell{"tick_16ms_phase_4", usb(16, 4)},
                                           Cell{"tick_16ms_phase_8", usb(16, 8)},
                                           Cell{"tick_16ms_phase_12", usb(16, 12)}),
                         [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(Cut, SetupLine,
                         ::testing::Values(Cell{"up_to_15ms_seed_1", cut(15, 1)},
                                           Cell{"up_to_15ms_seed_2", cut(15, 2)},
                                           Cell{"up_to_15ms_seed_3", cut(15, 3)},
                                           Cell{"up_to_15ms_seed_4", cut(15, 4)},
                                           Cell{"up_to_15ms_seed_5", cut(15, 5)}),
                         [](const auto& info) { return std::string(info.param.name); });

// Pieces 0.3 s apart are two chunks, each judged on its own: a prompt cut in
// its middle that far apart is no prompt.
class SetupLineFarApart : public LineRun {};

TEST_F(SetupLineFarApart, ASplitLoginPromptIsNotAnswered) {
  modemsim::Options options = console({});
  options.splitPrompts = true;
  options.splitPauseMs = 300;
  modemsim::ModemSim modem(options);
  // The login pause is a time the program does not read: shorter than the
  // gap, so each piece comes in a read of its own.
  SetupRun run = runAgainst(modem, {"-w", "100000"});

  const std::vector<std::string> lines = linesOf(modem.received());
  EXPECT_EQ(std::count(lines.begin(), lines.end(), USER), 0) << modem.transcript();
  EXPECT_FALSE(logged(run, "Login complete\n"));
  // The console did ask, in two pieces.
  EXPECT_THAT(modem.transcript(), HasSubstr("-> \"\\r\\nLog\"\n"));
  EXPECT_THAT(modem.transcript(), HasSubstr("-> \"in: \"\n"));
}

TEST_F(SetupLineFarApart, ASplitShellPromptAnswersNoCommand) {
  modemsim::Options options = console({});
  options.atShell = true;
  options.splitPrompts = true;
  options.splitPauseMs = 300;
  modemsim::ModemSim modem(options);
  SetupRun run = runAgainst(modem, {"-e", "0"});

  EXPECT_EQ(run.process.exitStatus, static_cast<int>(COMMANDS.size())) << run.process.out;
  EXPECT_THAT(run.process.out, Not(HasSubstr(":::")));
  // Each command went out once, and got more newlines than the one that ran it.
  EXPECT_THAT(withoutEmptyLines(linesOf(modem.received())), ElementsAreArray(commandLines()));
  EXPECT_GT(countOf(modem.received(), "\n"), COMMANDS.size()) << modem.transcript();
}
