// The modem console simulator, driven through its pty the way the program
// under test drives it, and its command-line front end.
#include "modem_sim.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "process.h"
#include "relay.h"
#include "temp_dir.h"

using namespace std::chrono_literals;
using modemsim::ModemSim;
using modemsim::Options;
using modemsim::Reply;
using Clock = std::chrono::steady_clock;

namespace {

// Generous: a loaded machine may be slow, but never this slow.
constexpr auto DEADLINE = 10s;
// Long enough that pieces this far apart never merge into one read.
constexpr int WIDE_PAUSE_MS = 400;

int remainingMs(Clock::time_point until) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

bool eventually(const std::function<bool()>& condition) {
  for (auto until = Clock::now() + DEADLINE; Clock::now() < until; usleep(5000)) {
    if (condition()) return true;
  }
  return condition();
}

// The program's end of the line: the slave path opened raw and non-blocking.
class Terminal {
 public:
  explicit Terminal(const std::string& path)
      : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {
    if (fd_ < 0) throw std::runtime_error("cannot open " + path);
    termios settings{};
    tcgetattr(fd_, &settings);
    cfmakeraw(&settings);
    tcsetattr(fd_, TCSANOW, &settings);
  }
  // Takes over a descriptor that is already set up.
  explicit Terminal(int fd) : fd_(fd) {}
  ~Terminal() { close(fd_); }

  int fd() const { return fd_; }

  void send(const std::string& bytes, std::chrono::seconds within = DEADLINE) {
    auto until = Clock::now() + within;
    for (size_t done = 0; done < bytes.size();) {
      ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
      if (n > 0) done += n;
      pollfd room = {fd_, POLLOUT, 0};
      if (done < bytes.size() && poll(&room, 1, remainingMs(until)) <= 0) {
        throw std::runtime_error("no room to write before the deadline");
      }
    }
  }

  // What one read returns once something has arrived ("" at the deadline).
  std::string readOnce(Clock::time_point until = Clock::now() + DEADLINE) {
    pollfd ready = {fd_, POLLIN, 0};
    if (poll(&ready, 1, remainingMs(until)) <= 0) return "";
    char buffer[4096];
    ssize_t n = read(fd_, buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, n) : "";
  }

  // Everything read until `ending` has arrived, or the deadline has passed.
  std::string readUntil(const std::string& ending, std::chrono::seconds within = DEADLINE) {
    auto until = Clock::now() + within;
    std::string got;
    while (got.find(ending) == std::string::npos && Clock::now() < until) got += readOnce(until);
    return got;
  }

  // Everything that arrives during this time.
  std::string readFor(std::chrono::milliseconds time) {
    auto until = Clock::now() + time;
    std::string got;
    while (Clock::now() < until) got += readOnce(until);
    return got;
  }

 private:
  int fd_;
};

// A started simulator and a terminal on its slave.
struct Session {
  explicit Session(Options options) : sim(std::move(options)), line(sim.slavePath()) {
    sim.start();
  }
  ModemSim sim;
  Terminal line;
};

// Another program's pseudo-terminal, as qemu's "-serial pty" makes one: the
// test holds the master (as a raw line to talk on), the simulator is given
// the slave's path as its device.
class ForeignPty {
 public:
  ForeignPty() : master_(openMaster()) {
    char path[128];
    if (ptsname_r(master_.fd(), path, sizeof path) != 0) throw std::runtime_error("ptsname");
    slavePath_ = path;
  }
  Terminal& master() { return master_; }
  const std::string& slavePath() const { return slavePath_; }

  // The slave's line settings as anyone opening it finds them.
  termios settings() const {
    termios now{};
    int fd = open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0 || tcgetattr(fd, &now) < 0) throw std::runtime_error("cannot read the settings");
    close(fd);
    return now;
  }
  void setSettings(const termios& wanted) {
    int fd = open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0 || tcsetattr(fd, TCSANOW, &wanted) < 0) throw std::runtime_error("cannot set");
    close(fd);
  }

 private:
  static int openMaster() {
    int fd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0 || grantpt(fd) < 0 || unlockpt(fd) < 0) throw std::runtime_error("no pty");
    return fd;
  }
  Terminal master_;
  std::string slavePath_;
};

Options withReplies(const std::string& replyFile) {
  Options options;
  options.atShell = true;
  std::string error;
  if (!modemsim::parseReplyFile(replyFile, options.replies, error)) throw std::runtime_error(error);
  return options;
}

TEST(ModemSimLogin, RightCredentialsReachTheShellWhichRecordsEveryLine) {
  Session s({});
  s.line.send("\n");
  EXPECT_EQ(s.line.readUntil("Login: "), "\r\nLogin: ");
  s.line.send("qorvi\n");
  EXPECT_EQ(s.line.readUntil("Password: "), "\r\nPassword: ");
  s.line.send("qorvi\n");
  EXPECT_EQ(s.line.readUntil(" > "), "\r\n > ");
  s.line.send("show dsl\r\n");
  EXPECT_EQ(s.line.readUntil(" > "), "\r\n > ");
  s.line.send("\n");
  EXPECT_EQ(s.line.readUntil(" > "), "\r\n > ");
  EXPECT_EQ(s.sim.commands(), (std::vector<std::string>{"show dsl\r", ""}));
  EXPECT_EQ(s.sim.received(), "\nqorvi\nqorvi\nshow dsl\r\n\n");
  EXPECT_NE(s.sim.transcript().find("-> \"\\r\\nPassword: \""), std::string::npos);
}

TEST(ModemSimLogin, WrongPasswordIsRefusedAndLoginStartsOver) {
  Session s({});
  s.line.send("qorvi\n");
  s.line.readUntil("Password: ");
  s.line.send("guess\n");
  EXPECT_EQ(s.line.readUntil("Login: "), "\r\nLogin incorrect\r\nLogin: ");
  s.line.send("qorvi\n");
  s.line.readUntil("Password: ");
  s.line.send("qorvi\n");
  EXPECT_EQ(s.line.readUntil(" > "), "\r\n > ");
  EXPECT_TRUE(s.sim.commands().empty());
}

TEST(ModemSimLogin, BannerComesOnceBeforeTheFirstLoginPrompt) {
  Options options;
  options.banner = "Welcome to the modem";
  Session s(options);
  s.line.send("\n");
  EXPECT_EQ(s.line.readUntil("Login: "), "Welcome to the modem\r\n\r\nLogin: ");
  s.line.send("\n");
  EXPECT_EQ(s.line.readUntil("Login: "), "\r\nLogin: ");
}

TEST(ModemSimLogin, AtShellANewlineGetsThePrompt) {
  Options options;
  options.atShell = true;
  Session s(options);
  s.line.send("\n");
  EXPECT_EQ(s.line.readUntil(" > "), "\r\n > ");
}

TEST(ModemSimLogin, EchoComesAtOnceButNeverForThePassword) {
  Options options;
  options.echo = true;
  options.lineTimeMs = WIDE_PAUSE_MS;
  Session s(options);
  s.line.send("qorvi\n");
  EXPECT_EQ(s.line.readOnce(), "qorvi\r\n");  // the answer waits for the delay
  EXPECT_EQ(s.line.readUntil("Password: "), "\r\nPassword: ");
  s.line.send("qorvi\n");
  EXPECT_EQ(s.line.readUntil(" > "), "\r\n > ");
}

// A busy console queues what arrives: each line is taken up once the one
// before it is through, so the answers come one line time apart, in order,
// and a slow command delays every line behind it.
TEST(ModemSimTiming, LinesArrivingWhileBusyAreAnsweredInTurn) {
  Options options = withReplies("save =>@600 Saved\n");
  options.lineTimeMs = 300;
  Session s(options);
  auto sent = Clock::now();
  s.line.send("a\nsave\nb\n");
  EXPECT_EQ(s.line.readOnce(), "\r\n > ");
  EXPECT_GE(Clock::now() - sent, 300ms);
  EXPECT_EQ(s.line.readOnce(), "\r\nSaved\r\n > ");
  EXPECT_GE(Clock::now() - sent, 900ms);
  EXPECT_EQ(s.line.readOnce(), "\r\n > ");
  EXPECT_GE(Clock::now() - sent, 1200ms);
  EXPECT_EQ(s.sim.commands(), (std::vector<std::string>{"a", "save", "b"}));
}

// Echo is the terminal's: it does not wait for the lines still being worked on.
TEST(ModemSimTiming, EchoGoesOutAtOnceWhileTheConsoleIsBusy) {
  Options options = withReplies("save =>@" + std::to_string(WIDE_PAUSE_MS) + " Saved\n");
  options.echo = true;
  Session s(options);
  s.line.send("save\n");
  EXPECT_EQ(s.line.readOnce(), "save\r\n");
  s.line.send("\n");
  EXPECT_EQ(s.line.readOnce(), "\r\n");
  // The empty line is answered right after the save, often in the same read.
  EXPECT_EQ(s.line.readUntil(" > \r\n > "), "\r\nSaved\r\n > \r\n > ");
}

TEST(ModemSimTiming, LeftoverOutputWaitsInTheLineForWhoeverOpensIt) {
  Options options;
  options.atShell = true;
  options.leftover = "\r\n > ";
  ModemSim sim(options);
  sim.start();
  usleep(100000);  // the console is up and has sent it before anyone opens the line
  Terminal line(sim.slavePath());
  EXPECT_EQ(line.readOnce(), "\r\n > ");
}

TEST(ModemSimReplies, CannedOutputLinesEndInCrLfBeforeThePrompt) {
  Session s(withReplies("show version => DSL 1.0\\nbuild 7\nreset =>\n"));
  s.line.send("show version\n");
  EXPECT_EQ(s.line.readUntil(" > "), "\r\nDSL 1.0\r\nbuild 7\r\n > ");
  s.line.send("reset\n");
  EXPECT_EQ(s.line.readUntil(" > "), "\r\n > ");
}

TEST(ModemSimReplies, RawReplyPausesArriveAsSeparateReads) {
  Options options = withReplies("stats =>! one\\ptwo\\0\\x7f\nhang =>!\n");
  options.splitPauseMs = WIDE_PAUSE_MS;
  Session s(options);
  s.line.send("stats\n");
  EXPECT_EQ(s.line.readOnce(), "one");
  EXPECT_EQ(s.line.readOnce(), std::string("two\0\x7f", 5));
  s.line.send("hang\n");
  EXPECT_EQ(s.line.readFor(300ms), "");
}

TEST(ModemSimReplies, SplitAnswersArriveInPiecesOfTheGivenSize) {
  Options options;
  options.atShell = true;
  options.splitBytes = 2;
  options.splitPauseMs = WIDE_PAUSE_MS;
  Session s(options);
  s.line.send("\n\n");  // the second answer keeps its distance from the first
  for (int answer = 0; answer < 2; ++answer) {
    EXPECT_EQ(s.line.readOnce(), "\r\n");
    EXPECT_EQ(s.line.readOnce(), " >");
    EXPECT_EQ(s.line.readOnce(), " ");
  }
}

TEST(ModemSimReplies, AScriptAnswersLineByLineThenFallsSilent) {
  Options options;
  options.script = {"first\r\n", std::string("\0 > ", 4)};
  Session s(options);
  s.line.send("\n");
  EXPECT_EQ(s.line.readUntil("\n"), "first\r\n");
  s.line.send("anything\n");
  EXPECT_EQ(s.line.readUntil(" > "), std::string("\0 > ", 4));
  s.line.send("\n");
  EXPECT_EQ(s.line.readFor(300ms), "");
  EXPECT_EQ(s.sim.received(), "\nanything\n\n");
}

// The program's reads get an answer in the bursts a UART's receive FIFO hands
// over: 8 bytes at a time, the last 3 after the FIFO's timeout.
TEST(ModemSimLine, AUartLineHandsAnAnswerOverInBurstsOfItsTrigger) {
  Options options = withReplies("show => 0123456789abcdefghij\n");
  options.line.kind = modemsim::LineSettings::Kind::Uart;
  options.line.rate = 2400;  // a burst every 33 ms
  Session s(options);
  s.line.send("show\n");
  const std::string answer = "\r\n0123456789abcdefghij\r\n > ";
  std::vector<std::string> reads;
  std::string got;
  while (got.size() < answer.size()) {
    std::string read = s.line.readOnce();
    if (read.empty()) break;
    reads.push_back(read);
    got += read;
  }
  EXPECT_EQ(got, answer);
  EXPECT_GE(reads.size(), 2u);
  // A reader that comes late gets several bursts at once, never part of one.
  for (std::size_t i = 0; i + 1 < reads.size(); ++i) EXPECT_EQ(reads[i].size() % 8, 0u) << reads[i];
}

TEST(ModemSimReplyFile, ParsesOperatorsEscapesAndSkipsComments) {
  std::map<std::string, Reply> replies;
  std::string error;
  ASSERT_TRUE(modemsim::parseReplyFile(
      "# comment\n\nshow => a\\tb\\nc\\\\\r\nbin =>! \\0\\xfF\\p\\r\nempty =>\nmute =>!\n"
      "x => y => z\nq =>!y => z\nsave =>@1500 Saved\nreboot =>!@30000\n",
      replies, error))
      << error;
  EXPECT_EQ(replies.size(), 8u);
  EXPECT_EQ(replies["show"].output, "a\tb\nc\\");
  EXPECT_FALSE(replies["show"].raw);
  EXPECT_EQ(replies["bin"].output, std::string("\0\xff\r", 3));
  EXPECT_TRUE(replies["bin"].raw);
  EXPECT_EQ(replies["bin"].pauses, std::vector<size_t>{2});
  EXPECT_EQ(replies["empty"].output, "");
  EXPECT_TRUE(replies["mute"].raw);
  EXPECT_EQ(replies["x"].output, "y => z");  // split at the first operator
  EXPECT_EQ(replies["q =>!y"].output, "z");  // "=>!" needs its space
  EXPECT_EQ(replies["show"].timeMs, -1);     // the console's own line time
  EXPECT_EQ(replies["save"].timeMs, 1500);
  EXPECT_EQ(replies["save"].output, "Saved");
  EXPECT_EQ(replies["reboot"].timeMs, 30000);
  EXPECT_TRUE(replies["reboot"].raw);
  EXPECT_EQ(replies["reboot"].output, "");
}

TEST(ModemSimReplyFile, MalformedLinesAreRejectedWithTheirNumber) {
  const std::pair<const char*, const char*> cases[] = {
      {"ok => 1\n# c\nno operator\n", "line 3"},
      {"ok =>nospace\n", "line 1"},
      {"a => 1\nb => \\q\n", "line 2"},
      {"a => 1\n\nc => \\x4", "line 3"},
      {"b => trailing \\", "line 1"},
      {"slow =>@99999999999 x", "line 1"},
      {"a => 1\nslow =>@ x", "line 2"}};  // "@" needs its digits
  for (auto [text, line] : cases) {
    std::map<std::string, Reply> replies;
    std::string error;
    EXPECT_FALSE(modemsim::parseReplyFile(text, replies, error)) << text;
    EXPECT_EQ(error.rfind(line, 0), 0u) << text << ": " << error;
  }
}

TEST(ModemSimBehaviour, SlowReaderTakesALargeWriteWholeAndInOrder) {
  Options options;
  options.atShell = true;
  options.readBytesPerSecond = 32 * 1024;
  Session s(options);
  std::string data(64 * 1024, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + (i * 7) % 26);
  s.line.send(data + "\n", 60s);
  EXPECT_EQ(s.line.readUntil(" > ", 60s), "\r\n > ");
  EXPECT_EQ(s.sim.received(), data + "\n");
}

// A modem that powers up after the simulator: deaf while off and booting,
// its login only after its boot log; a byte during the autoboot countdown
// leaves it at its bootloader for good.
TEST(ModemSimBehaviour, ABootingModemIsDeafUntilItsLoginAndAByteInItsCountdownStopsIt) {
  for (bool keyDuringCountdown : {false, true}) {
    SCOPED_TRACE(keyDuringCountdown ? "a byte during the countdown" : "left alone");
    Options options;
    options.boot = {300, 400, 1};
    Session s(options);
    s.line.send("\n");  // lost: the modem is off
    std::string got = s.line.readUntil("stop autoboot:  1 ");
    const std::string log = modemsim::bootLogText(400);
    ASSERT_EQ(got.rfind("Hit any key"), log.find('\n', 100) + 1) << got;
    EXPECT_EQ(got.compare(0, got.rfind("Hit any key"), log, 0, got.rfind("Hit any key")), 0);
    if (keyDuringCountdown) {
      s.line.send("x");
      EXPECT_EQ(s.line.readUntil("=> "), "\r\n=> ");
      s.line.send("\n");
      EXPECT_EQ(s.line.readFor(1500ms), "\r\n=> ");
      EXPECT_NE(s.sim.transcript().find("-- autoboot stopped"), std::string::npos);
      continue;
    }
    got = s.line.readUntil("Login: ");
    EXPECT_EQ(got, "\b\b\b 0 \r\n" + log.substr(log.find('\n', 100) + 1) + "\r\nLogin: ");
    s.line.send("qorvi\n");
    EXPECT_EQ(s.line.readUntil("Password: "), "\r\nPassword: ");
    EXPECT_EQ(s.sim.transcript().find("-- autoboot stopped"), std::string::npos);
    EXPECT_NE(s.sim.transcript().find("-- dropped: the modem is off"), std::string::npos);
  }
}

TEST(ModemSimDevice, ServesAGivenTerminalRawAtItsSpeedAndDropsStaleInput) {
  ForeignPty line;
  // What a serial port may hold before: a cooked line that waits for the
  // carrier and hardware handshake, at another speed, with input waiting
  // (not echoed: that would come back before the console starts).
  termios cooked = line.settings();
  cooked.c_lflag = (cooked.c_lflag | ICANON | ISIG | IEXTEN) & ~ECHO;
  cooked.c_oflag |= OPOST | ONLCR;
  cooked.c_iflag |= ICRNL | IXON;
  cooked.c_cflag = (cooked.c_cflag & ~(CLOCAL | CSIZE)) | CRTSCTS | CS7 | PARENB;
  cfsetspeed(&cooked, B9600);
  line.setSettings(cooked);
  line.master().send("stale\n");

  Options options;
  options.device = line.slavePath();
  options.deviceSpeed = 57600;
  ModemSim sim(options);
  sim.start();
  EXPECT_EQ(sim.slavePath(), line.slavePath());
  EXPECT_EQ(sim.slaveFd(), -1);
  line.master().send("\n");
  // No CR added, none taken: the bytes go through as they are.
  EXPECT_EQ(line.master().readUntil("Login: "), "\r\nLogin: ");
  line.master().send("qorvi\rx\n");
  EXPECT_EQ(line.master().readUntil("Password: "), "\r\nPassword: ");
  sim.stop();
  EXPECT_EQ(sim.received(), "\nqorvi\rx\n");

  termios raw = line.settings();
  EXPECT_EQ(cfgetospeed(&raw), static_cast<speed_t>(B57600));
  EXPECT_EQ(cfgetispeed(&raw), static_cast<speed_t>(B57600));
  EXPECT_EQ(raw.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD),
            static_cast<tcflag_t>(CS8 | CLOCAL | CREAD));
  EXPECT_EQ(raw.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(raw.c_oflag & OPOST, 0u);
  EXPECT_EQ(raw.c_iflag & (ICRNL | INLCR | IGNCR | IXON | ISTRIP), 0u);
}

// A board's serial port as qemu's "-chardev socket,server=off" connects it
// to the relay's socket.
int connectBoard(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
    throw std::runtime_error("cannot connect to " + path);
  }
  return fd;
}

size_t countOf(const std::string& haystack, const std::string& needle) {
  size_t count = 0;
  for (size_t at = haystack.find(needle); at != std::string::npos;
       at = haystack.find(needle, at + 1))
    ++count;
  return count;
}

// What the program sends before the board's first byte is lost, whether a
// board is connected or not; after it every byte goes through both ways as
// it is. Each board that connects powers on afresh.
TEST(ModemSimRelay, LosesWhatPrecedesTheBoardsFirstByteThenPassesEveryByteBothWays) {
  testsupport::TempDir dir;
  const std::string transcriptPath = dir.file("transcript");
  int transcriptFd = open(transcriptPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(transcriptFd, 0);
  auto transcript = [&] { return testsupport::readFile(transcriptPath); };
  std::string everyByte;
  for (int c = 0; c < 256; ++c) everyByte += static_cast<char>(c);

  modemsim::Relay relay(dir.file("uart"));
  relay.setTranscriptFd(transcriptFd);
  relay.start();
  Terminal program(relay.slavePath());
  for (size_t power = 1; power <= 2; ++power) {
    SCOPED_TRACE("power-on " + std::to_string(power));
    ASSERT_TRUE(eventually([&] { return countOf(transcript(), "-- disconnected") == power - 1; }));
    program.send("off\n");
    ASSERT_TRUE(eventually([&] { return countOf(transcript(), "-- dropped") == 2 * power - 1; }));
    Terminal board(connectBoard(dir.file("uart")));
    ASSERT_TRUE(eventually([&] { return countOf(transcript(), "-- connected") == power; }));
    program.send("silent\n");
    ASSERT_TRUE(eventually([&] { return countOf(transcript(), "-- dropped") == 2 * power; }));
    board.send("\r\nU-Boot");
    EXPECT_EQ(program.readUntil("U-Boot"), "\r\nU-Boot");
    program.send(everyByte);
    EXPECT_EQ(board.readUntil(everyByte.substr(250)), everyByte);
    board.send(everyByte);
    EXPECT_EQ(program.readUntil(everyByte.substr(250)), everyByte);
  }
  ASSERT_TRUE(eventually([&] { return countOf(transcript(), "-- disconnected") == 2; }));
  relay.stop();
  close(transcriptFd);

  // The events in order, a run of one kind counted once: a line may cut
  // what it carries into more reads.
  std::istringstream events(transcript());
  std::vector<std::string> kinds;
  for (std::string event; std::getline(events, event);) {
    size_t time = event.find(" ms ");
    ASSERT_NE(time, std::string::npos) << event;
    EXPECT_EQ(event.find_first_not_of("0123456789"), time) << event;
    std::string kind = event.substr(time + 4, event.find_first_of("\":", time + 4) - time - 4);
    if (kinds.empty() || kinds.back() != kind) kinds.push_back(kind);
  }
  const std::vector<std::string> powerOn = {"-- dropped ", "-- connected", "-- dropped ",    "-> ",
                                            "<- ",         "-> ",          "-- disconnected"};
  std::vector<std::string> expected = powerOn;
  expected.insert(expected.end(), powerOn.begin(), powerOn.end());
  EXPECT_EQ(kinds, expected) << transcript();
  EXPECT_EQ(countOf(transcript(), "-- dropped \"off\\n\": the board has printed nothing yet"), 2u);
  EXPECT_EQ(countOf(transcript(), "-- dropped \"silent\\n\""), 2u);
  EXPECT_EQ(countOf(transcript(), "<- \"\\0\\x01"), 2u) << transcript();
}

// A byte the program sent before the board's first byte reached it crossed
// that byte on the line: lost too, even when the relay takes the board's
// first (both wait for it here while it is stopped).
TEST(ModemSimRelay, AByteThatCrossesTheBoardsFirstIsLost) {
  testsupport::TempDir dir;
  const std::string transcriptPath = dir.file("transcript");
  int transcriptFd = open(transcriptPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(transcriptFd, 0);
  auto transcript = [&] { return testsupport::readFile(transcriptPath); };
  modemsim::Relay relay(dir.file("uart"));
  relay.setTranscriptFd(transcriptFd);
  relay.start();
  Terminal program(relay.slavePath());
  Terminal board(connectBoard(dir.file("uart")));
  ASSERT_TRUE(eventually([&] { return countOf(transcript(), "-- connected") == 1; }));
  relay.stop();
  program.send("\n");
  board.send("U-Boot");
  relay.start();
  EXPECT_EQ(program.readUntil("U-Boot"), "U-Boot");
  program.send("x");
  EXPECT_EQ(board.readUntil("x"), "x");
  relay.stop();
  close(transcriptFd);
  EXPECT_EQ(countOf(transcript(), "-- dropped \"\\n\""), 1u) << transcript();
}

// True once the line has gone: reads find the end of file, writes EIO.
bool hungUp(Terminal& line) {
  pollfd ready = {line.fd(), POLLIN, 0};
  if (poll(&ready, 1, remainingMs(Clock::now() + DEADLINE)) <= 0) return false;
  char byte;
  if (read(line.fd(), &byte, 1) != 0) return false;
  errno = 0;
  return write(line.fd(), "\n", 1) < 0 && errno == EIO;
}

TEST(ModemSimHostile, GarbageChatterIsBinaryButNeverHoldsAPromptCharacter) {
  Options options;
  options.chatter = true;
  options.garbage = true;
  Session s(options);
  std::string got;
  for (auto until = Clock::now() + DEADLINE; got.size() < 4096 && Clock::now() < until;)
    got += s.line.readOnce(until);
  ASSERT_GE(got.size(), 4096u);
  for (char c : {'\0', '\r', '\n', '\xff'})
    EXPECT_NE(got.find(c), std::string::npos) << static_cast<int>(c);
  EXPECT_EQ(got.find('>'), std::string::npos);
}

TEST(ModemSimHostile, HangsUpOnTheUserNameAndKeepsItsRecords) {
  Options options;
  options.hangUpOnUsername = true;
  Session s(options);
  s.line.send("\n");
  EXPECT_EQ(s.line.readUntil("Login: "), "\r\nLogin: ");
  s.line.send("admin\n");
  EXPECT_TRUE(hungUp(s.line));
  EXPECT_TRUE(eventually([&] { return s.sim.hungUp(); }));
  s.sim.stop();
  EXPECT_EQ(s.sim.slaveFd(), -1);
  EXPECT_EQ(s.sim.received(), "\nadmin\n");
  EXPECT_EQ(s.sim.transcript(), "<- \"\\n\"\n-> \"\\r\\nLogin: \"\n<- \"admin\\n\"\n-- hangup\n");
}

TEST(ModemSimHostile, AnEagerShellAnswersEachReadBeforeAnyNewline) {
  Options options;
  options.atShell = true;
  options.eager = true;
  Session s(options);
  s.line.send("show");
  EXPECT_EQ(s.line.readUntil(" > "), "\r\n > ");
  s.line.send("\n");  // the newline after an answered command is nothing new
  EXPECT_EQ(s.line.readFor(300ms), "");
  s.line.send("save\n");
  EXPECT_EQ(s.line.readUntil(" > "), "\r\n > ");
  EXPECT_EQ(s.sim.commands(), (std::vector<std::string>{"show", "save"}));
}

TEST(ModemSimHostile, AStallStopsTheReadingAfterTheGivenBytes) {
  {
    Options options;
    options.atShell = true;
    options.stallAfterBytes = 4;
    options.stallMs = WIDE_PAUSE_MS;
    Session s(options);
    s.line.send("ab\ncd\n");
    EXPECT_EQ(s.line.readUntil(" > "), "\r\n > ");
    auto stalledAt = Clock::now();
    EXPECT_EQ(s.line.readUntil(" > "), "\r\n > ");
    EXPECT_GE(Clock::now() - stalledAt, std::chrono::milliseconds(WIDE_PAUSE_MS / 2));
    EXPECT_EQ(s.sim.commands(), (std::vector<std::string>{"ab", "cd"}));
  }
  {  // for good, from the start: nothing is ever taken in, not even on stop
    Options options;
    options.atShell = true;
    options.stallMs = -1;
    Session s(options);
    s.line.send("show\n");
    EXPECT_EQ(s.line.readFor(300ms), "");
    s.sim.stop();
    EXPECT_EQ(s.sim.received(), "");
  }
}

TEST(ModemSimRecords, TheTranscriptCanBeLeftOutOrCutShort) {
  const std::string command = "set " + std::string(100, 'x');
  {
    Options options;
    options.atShell = true;
    options.keepTranscript = false;
    Session s(options);
    s.line.send(command + "\n");
    s.line.readUntil(" > ");
    s.sim.stop();
    EXPECT_EQ(s.sim.transcript(), "");
    EXPECT_EQ(s.sim.commands(), std::vector<std::string>{command});
  }
  {
    Options options;
    options.atShell = true;
    options.transcriptEventMax = 8;
    Session s(options);
    s.line.send(command + "\n");
    s.line.readUntil(" > ");
    s.sim.stop();
    EXPECT_EQ(s.sim.transcript(), "<- \"set \" ... 97 bytes ... \"xxx\\n\"\n-> \"\\r\\n > \"\n");
    EXPECT_EQ(s.sim.received(), command + "\n");
  }
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The position of each part in text, each found after the one before; npos
// from the first one out of order or missing.
std::vector<size_t> inOrder(const std::string& text, const std::vector<std::string>& parts) {
  std::vector<size_t> at;
  size_t from = 0;
  for (const std::string& part : parts) {
    from = from == std::string::npos ? from : text.find(part, from);
    at.push_back(from);
  }
  return at;
}

// A modem that reboots after it was configured: its session is gone, it is
// deaf while off and booting, prints its boot log again (the kernel's
// banner in it, countdown or not) and offers its login; a byte during a
// reboot's countdown stops it at its bootloader, as at power-on.
TEST(ModemSimEvents, ARebootAfterASessionBootsAgainToTheLogin) {
  const std::string log = modemsim::bootLogText(modemsim::REBOOT_LOG_BYTES);
  const size_t kernel = log.find('\n', log.size() / 4) + 1;
  ASSERT_EQ(log.compare(kernel, 28, "[    0.000000] Linux version"), 0) << log;
  const std::string countdown = "Hit any key to stop autoboot:  2 ";
  const struct {
    const char* name;
    bool countdown;
    bool keyDuringCountdown;
  } cases[] = {{"no countdown", false, false},
               {"a countdown left alone", true, false},
               {"a byte during the countdown", true, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Options options;
    options.boot.rebootOffMs = 800;
    Session s(options);
    s.line.send("qorvi\n");
    s.line.readUntil("Password: ");
    s.line.send("qorvi\n");
    s.line.readUntil(" > ");
    s.line.send("save\n");
    EXPECT_EQ(s.line.readUntil(" > "), "\r\n > ");
    s.sim.reboot(c.countdown);
    ASSERT_TRUE(eventually([&] { return contains(s.sim.transcript(), "-- rebooting"); }));
    s.line.send("show\n");  // lost: the modem is off
    std::string got = s.line.readUntil(c.countdown ? countdown : "Login: ");
    if (c.keyDuringCountdown) {
      EXPECT_EQ(got, log.substr(0, kernel) + countdown);
      s.line.send("x");
      EXPECT_EQ(s.line.readUntil("=> "), "\r\n=> ");
      EXPECT_TRUE(contains(s.sim.transcript(), "-- autoboot stopped")) << s.sim.transcript();
      continue;
    }
    if (c.countdown) got += s.line.readUntil("Login: ");
    EXPECT_EQ(got, (c.countdown ? log.substr(0, kernel) + countdown + "\b\b\b 1 \b\b\b 0 \r\n" +
                                      log.substr(kernel)
                                : log) +
                       "\r\nLogin: ");
    s.line.send("qorvi\n");  // a user name again: the session is gone
    EXPECT_EQ(s.line.readUntil("Password: "), "\r\nPassword: ");
    EXPECT_EQ(s.sim.commands(), std::vector<std::string>{"save"});
    EXPECT_TRUE(contains(s.sim.transcript(), "-- dropped: the modem is off")) << s.sim.transcript();
  }
}

// The modem ends its session by itself and prints notices on its own: the
// logout takes it back to its login, a notice leaves its state as it was.
TEST(ModemSimEvents, TheModemEndsItsSessionAndPrintsNoticesOnItsOwn) {
  Options options;
  options.atShell = true;
  Session s(options);
  s.sim.notice("DSL link up");
  EXPECT_EQ(s.line.readUntil("\n"), "DSL link up\r\n");
  s.line.send("show\n");
  EXPECT_EQ(s.line.readUntil(" > "), "\r\n > ");
  s.sim.endSession();
  EXPECT_EQ(s.line.readUntil("Login: "), "\r\nSession timed out\r\nLogin: ");
  s.line.send("qorvi\n");  // a user name now, not a command
  EXPECT_EQ(s.line.readUntil("Password: "), "\r\nPassword: ");
  s.sim.notice("kernel: eth0 link down");
  EXPECT_EQ(s.line.readUntil("\n"), "kernel: eth0 link down\r\n");
  s.line.send("qorvi\n");  // still the password the console asked for
  EXPECT_EQ(s.line.readUntil(" > "), "\r\n > ");
  EXPECT_EQ(s.sim.commands(), std::vector<std::string>{"show"});
  for (size_t at : inOrder(s.sim.transcript(), {"-- notice: DSL link up", "-- session ended",
                                                "-- notice: kernel: eth0 link down"}))
    EXPECT_NE(at, std::string::npos) << s.sim.transcript();
}

// A console on USB that goes away while the modem reboots: the program's
// line hangs up and the link goes; then a new terminal is at the link, and
// the modem boots. What the modem would do meanwhile is lost.
TEST(ModemSimEvents, AVanishedConsoleComesBackAtItsLinkAndBoots) {
  testsupport::TempDir dir;
  Options options;
  options.atShell = true;
  options.link = dir.file("ttyUSB0");
  Session s(options);
  ASSERT_EQ(s.sim.path(), options.link);
  auto linked = [&] {
    char target[256];
    ssize_t n = readlink(options.link.c_str(), target, sizeof target);
    return n > 0 ? std::string(target, n) : std::string();
  };
  EXPECT_EQ(linked(), s.sim.slavePath());
  Terminal program(s.sim.path());
  s.sim.vanish(1500);
  s.sim.notice("lost");
  EXPECT_TRUE(hungUp(program));
  struct stat gone {};
  EXPECT_NE(lstat(options.link.c_str(), &gone), 0);
  ASSERT_TRUE(eventually([&] { return linked() != ""; }));
  EXPECT_EQ(linked(), s.sim.slavePath());
  Terminal again(s.sim.path());
  EXPECT_EQ(again.readUntil(" > "), modemsim::bootLogText(modemsim::REBOOT_LOG_BYTES) + "\r\n > ");
  again.send("show\n");
  EXPECT_EQ(again.readUntil(" > "), "\r\n > ");
  EXPECT_EQ(s.sim.commands(), std::vector<std::string>{"show"});
  for (size_t at :
       inOrder(s.sim.transcript(), {"-- vanished: the console is gone for 1500 ms",
                                    "-- lost: the notice, the console is gone",
                                    "-- back: a new console at " + s.sim.slavePath(), "-- booted"}))
    EXPECT_NE(at, std::string::npos) << s.sim.transcript();
}

testsupport::ProcessResult runSim(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {testsupport::programPath("MODEM_SIM_PROGRAM")};
  argv.insert(argv.end(), args.begin(), args.end());
  return testsupport::runProcess(argv, 60);
}

TEST(ModemSimCommand, RunsTheCommandOnTheSlavePathWithALiveTranscript) {
  auto run = runSim({"--", "sh", "-c", "echo {}; printf 'qorvi\\n' > {}"});
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(run.out.rfind("/dev/pts/", 0), 0u) << run.out;
  EXPECT_NE(run.err.find("<- \"qorvi\\n\""), std::string::npos) << run.err;
}

TEST(ModemSimCommand, PassesOnTheCommandsExitStatus) {
  EXPECT_EQ(runSim({"sh", "-c", "exit 3"}).exitStatus, 3);
  EXPECT_EQ(runSim({"--", "sh", "-c", "kill -TERM $$"}).exitStatus, 128 + 15);
  auto missing = runSim({"--", "/nonexistent/program"});
  EXPECT_EQ(missing.exitStatus, 127);
  EXPECT_NE(missing.err.find("cannot run '/nonexistent/program'"), std::string::npos);
}

TEST(ModemSimCommand, HostileFlagsShapeTheConsoleAndItsTranscript) {
  auto run = runSim({"-s", "-C", "1", "-L", "4", "--", "sh", "-c", "printf 'abcdefgh\\n' > {}"});
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_NE(run.err.find("<- \"ab\" ... 5 bytes ... \"h\\n\"\n-- hangup\n"), std::string::npos)
      << run.err;
}

// What the modem does on its own, at the times --at gives and on SIGUSR1 (a
// reboot with a countdown) and SIGUSR2 (the end of the session), while a
// command runs on the --link path; the command waits for each event's note
// before it signals the next.
TEST(ModemSimCommand, TheModemActsOnItsOwnOnScheduleAndOnSignals) {
  testsupport::TempDir dir;
  const std::string transcript = dir.file("transcript");
  const std::string command =
      "seen() { i=0; until [ \"$(grep -cF -- \"$2\" " + transcript +
      ")\" -ge \"$1\" ]; do i=$((i+1)); [ $i -lt 400 ] || exit 9; sleep 0.05; done; };"
      "[ {} = " +
      dir.file("modem") +
      " ] || exit 8; seen 1 '-- booted'; kill -USR2 $PPID; seen 1 '-- session ended';"
      "kill -USR1 $PPID; seen 2 '-- booted'";
  auto run =
      runSim({"-s", "--link", dir.file("modem"), "--reboot-off", "100", "-t", transcript, "--at",
              "400:vanish:300", "--at", "200:notice:DSL link up", "--", "sh", "-c", command});
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  const std::string got = testsupport::readFile(transcript);
  // A note goes in when its output is queued, before the output is written.
  for (size_t at : inOrder(
           got, {"-- notice: DSL link up", "-> \"DSL link up\\r\\n\"",
                 "-- vanished: the console is gone for 300 ms", "-- back", "-- booted",
                 "Linux version", "-- session ended", "-> \"\\r\\nSession timed out\\r\\nLogin: \"",
                 "-- rebooting", "-- autoboot countdown of 2 s", "-- booted", "Linux version"}))
    EXPECT_NE(at, std::string::npos) << got;
  EXPECT_EQ(access(dir.file("modem").c_str(), F_OK), -1);  // the link goes with modem-sim
}

TEST(ModemSimCommand, ServesTheDeviceOfOptionLAtTheSpeedOfOptionB) {
  ForeignPty line;
  auto run = runSim({"-l", line.slavePath(), "-b", "57600", "--", "stty", "-F", "{}", "-a"});
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  std::string words = " " + run.out;
  for (char& c : words) c = c == '\n' || c == ';' ? ' ' : c;
  for (const char* setting : {"speed 57600 baud", "cs8", "clocal", "-crtscts", "-icanon", "-echo",
                              "-opost", "-icrnl", "-ixon"})
    EXPECT_NE(words.find(std::string(" ") + setting + " "), std::string::npos)
        << setting << " in " << run.out;
  auto defaultSpeed = runSim({"-l", line.slavePath(), "--", "stty", "-F", "{}", "speed"});
  EXPECT_EQ(defaultSpeed.out, "115200\n") << defaultSpeed.err;
}

TEST(ModemSimCommand, ADeviceThatCannotBeServedIsNamed) {
  ForeignPty line;
  auto missing = runSim({"-l", "/nonexistent/tty"});
  EXPECT_EQ(missing.exitStatus, 2);
  EXPECT_NE(missing.err.find("modem-sim: open /nonexistent/tty: No such file or directory"),
            std::string::npos)
      << missing.err;
  auto notATerminal = runSim({"-l", "/dev/null"});
  EXPECT_EQ(notATerminal.exitStatus, 2);
  EXPECT_NE(notATerminal.err.find("modem-sim: /dev/null is not a terminal device"),
            std::string::npos)
      << notATerminal.err;
  auto oddSpeed = runSim({"-l", line.slavePath(), "-b", "12345"});
  EXPECT_EQ(oddSpeed.exitStatus, 2);
  EXPECT_NE(oddSpeed.err.find("bad value '12345' for -b"), std::string::npos) << oddSpeed.err;
  auto speedWithoutDevice = runSim({"-b", "57600"});
  EXPECT_EQ(speedWithoutDevice.exitStatus, 2);
  EXPECT_NE(speedWithoutDevice.err.find("-b is the line speed of a -l device"), std::string::npos)
      << speedWithoutDevice.err;
}

TEST(ModemSimCommand, HelpAndBadUsage) {
  auto help = runSim({"-h"});
  EXPECT_EQ(help.exitStatus, 0);
  EXPECT_NE(help.out.find("Usage: modem-sim"), std::string::npos);
  for (const char* flag : {"-g ",
                           "-j ",
                           "-a ",
                           "-U ",
                           "-C n",
                           "-m n",
                           "-E ",
                           "-X bytes",
                           "-Y ms",
                           "-L bytes",
                           "-l device",
                           "-b rate",
                           "-M model",
                           "--relay socket",
                           "--power-on ms",
                           "--boot-log bytes",
                           "--autoboot s",
                           "--at ms:event",
                           "--reboot-off ms",
                           "--link path"})
    EXPECT_NE(help.out.find(std::string("  ") + flag), std::string::npos) << flag;
  // Every option with a value says what it is without one.
  for (const char* fallback : {"(default 0: at once)", "(default: whole)", "(default: no limit)",
                               "(default 0: never)", "(default: standard error)"})
    EXPECT_NE(help.out.find(fallback), std::string::npos) << fallback;
  for (auto args : {std::vector<std::string>{"-x"},
                    {"-d", "soon"},
                    {"-r", "/nonexistent"},
                    {"-C", "-1"},
                    {"-Y", "a while"},
                    {"--autoboot", "61"},
                    {"--at", "500:explode"},
                    {"--at", "soon:reboot"},
                    {"--at", "500:vanish"},
                    {"--relay", "/nonexistent/uart"},
                    {"--relay", "/tmp/uart", "-e"},
                    {"--relay", "/tmp/uart", "--record", "/tmp/r", "--modem", "/dev/null"}}) {
    auto bad = runSim(args);
    EXPECT_EQ(bad.exitStatus, 2) << args[0];
    EXPECT_NE(bad.err.find("modem-sim: "), std::string::npos) << bad.err;
  }
  auto badLine = runSim({"-M", "uart:fast"});
  EXPECT_EQ(badLine.exitStatus, 2);
  EXPECT_NE(badLine.err.find("modem-sim: bad value 'uart:fast' for -M (a line model: whole, "
                             "uart:RATE[:TRIGGER], usb[:TICK_MS[:PHASE_MS]] or cut:MAX_MS[:SEED]"),
            std::string::npos)
      << badLine.err;
  EXPECT_NE(badLine.err.find("Usage: modem-sim"), std::string::npos);
}

}  // namespace
