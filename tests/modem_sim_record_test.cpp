// modem-sim --record between serial-modem-setup and a modem on the bench
// (here a simulated one on a pty), and the recording played back with
// modem-sim -r: the program must not be able to tell the two apart.
#include <dirent.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <sstream>

#include "setup_run.h"

using namespace testsupport;
using ::testing::Contains;
using ::testing::Not;

namespace {

const std::string USER = "admin";
const std::string PASSWORD = "s3cr3t-Pw";

// The modem on the bench: it takes 30 ms over each line, saving to flash
// takes 0.9 s, and a few commands print something.
modemsim::Options benchModem() {
  modemsim::Options modem;
  modem.username = USER;
  modem.password = PASSWORD;
  modem.banner = "DSL modem 2.1 ready";
  modem.lineTimeMs = 30;
  std::string error;
  if (!modemsim::parseReplyFile("save =>@900 Saving configuration to flash... done\n"
                                "bridge enable => Bridge mode enabled\n"
                                "atm add vcc 0.8.35 encaps llc qos ubr => vcc 0.8.35\\nllc, ubr\n",
                                modem.replies, error))
    ADD_FAILURE() << error;
  return modem;
}

std::string modemSim() { return programPath("MODEM_SIM_PROGRAM"); }

std::vector<std::string> recording(const std::string& file, const std::string& device,
                                   const std::string& transcript) {
  return {modemSim(), "--record", file, "--modem", device, "-t", transcript, "--"};
}

std::vector<std::string> setupArgs(const std::string& commandFile, const std::string& password,
                                   std::vector<std::string> more = {}) {
  std::vector<std::string> args = {"-d", "{}", "-c",     commandFile, "-u",
                                   USER, "-p", password, "-w",        "200000"};
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

// A recording as modem-sim -r reads it.
struct Recording {
  std::map<std::string, modemsim::Reply> replies;
  modemsim::Options login;  // recordedLogin and leftover
};

Recording load(const std::string& path) {
  Recording recorded;
  std::string error;
  EXPECT_TRUE(modemsim::parseReplyFile(readFile(path), recorded.replies, error, &recorded.login))
      << path << ": " << error;
  return recorded;
}

// The lines the modem received, from a transcript: its "<-" events joined,
// cut at each newline; the empty lines (the program's extra newlines while
// the modem is busy) left out, since their number goes with the timing.
std::vector<std::string> linesReceived(const std::string& transcript) {
  std::string received;
  std::istringstream events(transcript);
  for (std::string event; std::getline(events, event);) {
    if (event.rfind("<- \"", 0) == 0) received += event.substr(4, event.size() - 5);
  }
  std::vector<std::string> lines;
  for (std::size_t at = 0, end; at < received.size(); at = end + 2) {
    end = received.find("\\n", at);
    if (end == std::string::npos) end = received.size();
    if (end > at) lines.push_back(received.substr(at, end - at));
  }
  return lines;
}

// The same answer, in the same time give or take 10 % and 20 ms.
void expectSameAnswer(const modemsim::Reply& original, const modemsim::Reply& replayed,
                      const std::string& what) {
  EXPECT_EQ(replayed.output, original.output) << what;
  EXPECT_EQ(replayed.raw, original.raw) << what;
  EXPECT_EQ(replayed.passwordAt, original.passwordAt) << what;
  EXPECT_NEAR(replayed.timeMs, original.timeMs, original.timeMs / 10.0 + 20) << what;
}

void expectSameAnswers(const std::vector<modemsim::Reply>& original,
                       const std::vector<modemsim::Reply>& replayed, const std::string& what) {
  ASSERT_EQ(replayed.size(), original.size()) << what;
  for (std::size_t i = 0; i < original.size(); ++i) {
    expectSameAnswer(original[i], replayed[i], what + " " + std::to_string(i));
  }
}

// Whether any four bytes in a row of the password are in the text.
bool holdsPieceOfPassword(const std::string& text) {
  for (std::size_t at = 0; at + 4 <= PASSWORD.size(); ++at) {
    if (text.find(PASSWORD.substr(at, 4)) != std::string::npos) return true;
  }
  return false;
}

std::vector<std::string> filesIn(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* entry = readdir(d)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

ProcessResult runSim(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {modemSim()};
  argv.insert(argv.end(), args.begin(), args.end());
  return runProcess(argv, 60);
}

}  // namespace

class ModemSimRecord : public ::testing::Test {
 protected:
  SetupHarness harness;
  std::string bridgeConf = EXAMPLES_DIR "/bridge.conf";
};

// The bench modem recorded while serial-modem-setup sends it bridge.conf;
// then the recording played back to the same program, and recorded again
// to compare: the same lines, the same answers in the same time, the same
// end.
TEST_F(ModemSimRecord, AReplayAnswersTheProgramAsTheRecordedModemDid) {
  modemsim::ModemSim modem(benchModem());
  modem.start();
  const std::string file = harness.dir().file("bench.replies");
  const std::string transcript = harness.dir().file("bench.transcript");
  SandboxOptions onTheBench;
  onTheBench.launcher = recording(file, modem.slavePath(), transcript);
  SetupRun original = harness.run(setupArgs(bridgeConf, PASSWORD), onTheBench);
  modem.stop();
  ASSERT_EQ(original.process.exitStatus, 0) << original.process.err;
  EXPECT_THAT(original.logLines(), Contains("6 Login complete\n"));
  EXPECT_THAT(original.logLines(), Contains("6 Configuration done\n"));

  // The recording holds what the modem did, and no password.
  const Recording first = load(file);
  EXPECT_FALSE(holdsPieceOfPassword(readFile(file))) << readFile(file);
  EXPECT_FALSE(holdsPieceOfPassword(readFile(transcript))) << readFile(transcript);
  ASSERT_EQ(first.replies.count("save"), 1u) << readFile(file);
  EXPECT_EQ(first.replies.at("save").output, "Saving configuration to flash... done");
  EXPECT_GE(first.replies.at("save").timeMs, 895);  // the modem's own time, never less
  EXPECT_EQ(first.replies.at("bridge enable").output, "Bridge mode enabled");
  EXPECT_EQ(first.replies.at("wan delete service ppp0").output, "");
  EXPECT_EQ(first.login.recordedLogin.login.size(), 1u) << readFile(file);
  EXPECT_EQ(first.login.recordedLogin.login[0].output, "DSL modem 2.1 ready\r\n\r\nLogin: ");
  EXPECT_EQ(first.login.recordedLogin.password.at(0).output, "\r\n > ");
  std::vector<std::string> sent = {USER, "\\P"};  // the transcript's stand-in for the password
  for (const std::string& command : modem.commands())
    if (!command.empty()) sent.push_back(command);
  EXPECT_EQ(linesReceived(readFile(transcript)), sent);

  // The recording played back, recorded again on its way.
  const std::string replayTranscript = harness.dir().file("replay.transcript");
  BackgroundProcess replay({modemSim(), "-r", file, "-t", replayTranscript});
  const std::string replayPty = replay.readLine();
  ASSERT_NE(replayPty, "");
  const std::string again = harness.dir().file("replay.replies");
  const std::string againTranscript = harness.dir().file("again.transcript");
  SandboxOptions onReplay;
  onReplay.launcher = recording(again, replayPty, againTranscript);
  SetupRun replayed = harness.run(setupArgs(bridgeConf, PASSWORD), onReplay);
  EXPECT_EQ(replay.stop(), 0);

  EXPECT_EQ(replayed.process.exitStatus, original.process.exitStatus) << replayed.process.err;
  EXPECT_EQ(replayed.logLines(), original.logLines());
  EXPECT_EQ(linesReceived(readFile(againTranscript)), linesReceived(readFile(transcript)));
  const Recording second = load(again);
  expectSameAnswers(first.login.recordedLogin.login, second.login.recordedLogin.login, "@login");
  expectSameAnswers(first.login.recordedLogin.user, second.login.recordedLogin.user, "@user");
  expectSameAnswers(first.login.recordedLogin.password, second.login.recordedLogin.password,
                    "@password");
  ASSERT_EQ(second.replies.size(), first.replies.size()) << readFile(again);
  for (const auto& [command, answer] : first.replies) {
    ASSERT_EQ(second.replies.count(command), 1u) << command;
    expectSameAnswer(answer, second.replies.at(command), command);
  }
  EXPECT_FALSE(holdsPieceOfPassword(readFile(again)));
}

TEST_F(ModemSimRecord, ARecordedFailedLoginReplaysAsAFailedLogin) {
  const std::string commands = harness.commandFile("show dsl\n");
  modemsim::ModemSim modem(benchModem());
  modem.start();
  const std::string file = harness.dir().file("refused.replies");
  const std::string transcript = harness.dir().file("refused.transcript");
  SandboxOptions onTheBench;
  onTheBench.launcher = recording(file, modem.slavePath(), transcript);
  const std::string wrong = "wrong-guess";
  SetupRun original = harness.run(setupArgs(commands, wrong, {"-e", "2"}), onTheBench);
  modem.stop();
  EXPECT_EQ(original.process.exitStatus, 1) << original.process.err;
  EXPECT_THAT(original.logLines(), Not(Contains("6 Login complete\n")));
  for (const std::string& path : {file, transcript}) {
    EXPECT_EQ(readFile(path).find(wrong), std::string::npos) << readFile(path);
  }
  const Recording recorded = load(file);
  ASSERT_FALSE(recorded.login.recordedLogin.password.empty()) << readFile(file);
  EXPECT_EQ(recorded.login.recordedLogin.password[0].output.find("Login incorrect"), 2u);

  SandboxOptions onReplay;
  onReplay.launcher = {modemSim(), "-r", file, "-t", harness.dir().file("replay.transcript"), "--"};
  SetupRun replayed = harness.run(setupArgs(commands, wrong, {"-e", "2"}), onReplay);
  EXPECT_EQ(replayed.process.exitStatus, original.process.exitStatus) << replayed.process.err;
  EXPECT_EQ(replayed.logLines(), original.logLines());
}

// A modem that echoes the password, cut by its line, and a program that
// writes it in two pieces: neither piece reaches the file or the
// transcript; the file marks where the echo goes.
TEST_F(ModemSimRecord, ThePasswordIsLeftOutWhereverItShows) {
  modemsim::Options modem;
  modem.script = {"\r\nLogin: ", "\r\nPassword: ", PASSWORD + "\r\n\r\n > ",
                  "\r\nuser " + USER + " password " + PASSWORD + "\r\n > "};
  modem.splitBytes = 4;
  modem.splitPauseMs = 20;
  modemsim::ModemSim sim(modem);
  sim.start();
  const std::string file = harness.dir().file("echo.replies");
  const std::string transcript = harness.dir().file("echo.transcript");
  const std::string program =
      "printf '\\n' > {}; sleep 0.4; printf 'admin\\n' > {}; sleep 0.4;"
      "printf '" +
      PASSWORD.substr(0, 4) + "' > {}; sleep 0.2; printf '" + PASSWORD.substr(4) +
      "\\n' > {}; sleep 0.6; printf 'show config\\n' > {}; sleep 0.6";
  auto run = runSim(
      {"--record", file, "--modem", sim.slavePath(), "-t", transcript, "--", "sh", "-c", program});
  sim.stop();
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(sim.received(), "\nadmin\n" + PASSWORD + "\nshow config\n");
  EXPECT_FALSE(holdsPieceOfPassword(readFile(file))) << readFile(file);
  EXPECT_FALSE(holdsPieceOfPassword(readFile(transcript))) << readFile(transcript);
  EXPECT_NE(readFile(transcript).find("<- \"\\P\"\n<- \"\\P\\n\""), std::string::npos)
      << readFile(transcript);

  const Recording recorded = load(file);
  ASSERT_EQ(recorded.login.recordedLogin.password.size(), 1u) << readFile(file);
  const modemsim::Reply& echo = recorded.login.recordedLogin.password[0];
  EXPECT_EQ(echo.output, "\r\n\r\n > ");
  EXPECT_EQ(echo.passwordAt, std::vector<std::size_t>{0});
  ASSERT_EQ(recorded.replies.count("show config"), 1u) << readFile(file);
  EXPECT_EQ(recorded.replies.at("show config").output, "\r\nuser admin password \r\n > ");
  EXPECT_EQ(recorded.replies.at("show config").passwordAt, std::vector<std::size_t>{22});
}

// Nothing runs and nothing is written when the modem's port or the file
// will not do; a modem that hangs up leaves an older file as it was.
TEST_F(ModemSimRecord, BadDevicesAndFilesAreNamedAndNothingIsHalfWritten) {
  const std::string dir = harness.dir().file("out");
  mkdir(dir.c_str(), 0755);
  const std::string file = dir + "/modem.replies";
  const std::string marker = harness.dir().file("ran");
  const std::vector<std::string> touch = {"--", "touch", marker};
  modemsim::ModemSim modem(benchModem());
  modem.start();

  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {{"--record", file, "--modem", "/nonexistent/tty"},
       "modem-sim: open /nonexistent/tty: No such file or directory"},
      {{"--record", file, "--modem", "/dev/null"}, "modem-sim: /dev/null is not a terminal device"},
      {{"--record", dir + "/missing/modem.replies", "--modem", modem.slavePath()},
       "modem-sim: cannot write recording '" + dir + "/missing/modem.replies': No such file"},
      {{"--record", dir, "--modem", modem.slavePath()},
       "modem-sim: cannot write recording '" + dir + "': Is a directory"},
      {{"--record", file}, "--record FILE and --modem DEVICE go together"},
      {{"--record", file, "--modem", modem.slavePath(), "-d", "30"},
       "-d shapes a played console; --record plays none"}};
  for (const Case& c : cases) {
    std::vector<std::string> args = c.args;
    args.insert(args.end(), touch.begin(), touch.end());
    ProcessResult run = runSim(args);
    EXPECT_EQ(run.exitStatus, 2) << c.message;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_TRUE(filesIn(dir).empty()) << c.message;
    EXPECT_NE(access(marker.c_str(), F_OK), 0) << c.message << ": the command ran";
  }
  modem.stop();

  // The modem hangs up on the first command: so does the program's line,
  // the older recording stays, and no temporary file is left.
  harness.dir().write("out/modem.replies", "show => an older recording\n");
  modemsim::Options hangingUp = benchModem();
  hangingUp.atShell = true;
  hangingUp.hangUpOnCommand = 1;
  modemsim::ModemSim gone(hangingUp);
  gone.start();
  ProcessResult run = runSim({"--record", file, "--modem", gone.slavePath(), "--", "sh", "-c",
                              "printf 'show\\n' > {}; sleep 0.5; printf 'show\\n' > {}"});
  gone.stop();
  EXPECT_EQ(run.exitStatus, 2);
  EXPECT_NE(run.err.find("recording '" + file + "' not written: the modem's line " +
                         gone.slavePath() + " hung up"),
            std::string::npos)
      << run.err;
  EXPECT_EQ(readFile(file), "show => an older recording\n");
  EXPECT_EQ(filesIn(dir), std::vector<std::string>{"modem.replies"});
}

// The modem's port is set up as -l sets up its device, at -b's speed.
TEST_F(ModemSimRecord, TheModemsPortIsRawAtTheGivenSpeed) {
  modemsim::Options atShell;
  atShell.atShell = true;
  modemsim::ModemSim modem(atShell);
  modem.start();
  const std::string file = harness.dir().file("speed.replies");
  ProcessResult run = runSim({"--record", file, "--modem", modem.slavePath(), "-b", "57600", "--",
                              "sh", "-c", "printf 'show\\n' > {}; sleep 0.3"});
  modem.stop();
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  termios line{};
  ASSERT_EQ(tcgetattr(modem.slaveFd(), &line), 0);
  EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B57600));
  EXPECT_EQ(line.c_cflag & (CSIZE | PARENB | CRTSCTS | CLOCAL),
            static_cast<tcflag_t>(CS8 | CLOCAL));
  EXPECT_EQ(line.c_lflag & (ICANON | ECHO), 0u);
  // Before its first prompt the modem may be at its login: a line there is
  // recorded as a user name, answered (the replay goes to its shell too).
  const Recording recorded = load(file);
  ASSERT_EQ(recorded.login.recordedLogin.user.size(), 1u) << readFile(file);
  EXPECT_EQ(recorded.login.recordedLogin.user[0].output, "\r\n > ");
  EXPECT_EQ(runSim({"--record", file, "--modem", modem.slavePath(), "-b", "12345"}).exitStatus, 2);
}

TEST(ModemSimRecordFormat, RecordedLoginLinesAndThePasswordPlaceholder) {
  std::map<std::string, modemsim::Reply> replies;
  modemsim::Options recording;
  std::string error;
  ASSERT_TRUE(modemsim::parseReplyFile(
      "@greeting boot\\r\\n\n@login@35 Hi\\r\\nLogin:\\x20\n@login \\r\\nLogin:\\x20\n"
      "@user@20 \\r\\nPassword:\\x20\n@password@900 \\P\\r\\n >\\x20\n"
      "show => pw \\P\\pdone\n@odd => a reply as before\n",
      replies, error, &recording))
      << error;
  EXPECT_EQ(recording.leftover, "boot\r\n");
  ASSERT_EQ(recording.recordedLogin.login.size(), 2u);
  EXPECT_EQ(recording.recordedLogin.login[0].output, "Hi\r\nLogin: ");
  EXPECT_EQ(recording.recordedLogin.login[0].timeMs, 35);
  EXPECT_TRUE(recording.recordedLogin.login[0].raw);
  EXPECT_EQ(recording.recordedLogin.login[1].timeMs, -1);
  EXPECT_EQ(recording.recordedLogin.password.at(0).passwordAt, std::vector<std::size_t>{0});
  EXPECT_EQ(replies["show"].output, "pw done");
  EXPECT_EQ(replies["show"].passwordAt, std::vector<std::size_t>{3});
  EXPECT_EQ(replies["show"].pauses, std::vector<std::size_t>{3});
  EXPECT_EQ(replies["@odd"].output, "a reply as before");  // a line with an operator is a reply

  const std::pair<const char*, const char*> bad[] = {{"ok => 1\n@banner hello\n", "line 2"},
                                                     {"@login@ x\n", "line 1"},
                                                     {"@user@12x\n", "line 1"},
                                                     {"@password \\q\n", "line 1"}};
  for (auto [text, line] : bad) {
    std::map<std::string, modemsim::Reply> none;
    EXPECT_FALSE(modemsim::parseReplyFile(text, none, error)) << text;
    EXPECT_EQ(error.rfind(line, 0), 0u) << text << ": " << error;
  }
}
