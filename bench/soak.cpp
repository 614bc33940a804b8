// soak: many full configurations against consoles of random timing, counting
// the runs in which the console did not get exactly what it should have.
//
//   soak [--runs N] [--jobs J] [--seed S] PROGRAM SANDBOX COMMAND-FILE
//
// Each run plays a console (modem-sim's library) that asks for the login,
// answers every line after a random time of 0-300 ms, echoes or not, and
// takes 0.3-1.5 s over one command of the file picked at random; its output
// reaches the program over a line drawn at random too: whole, a UART (2400
// to 115200 bit/s, the program run at that rate, FIFO trigger 1, 8 or 14), a
// USB adapter's 16 ms latency timer at a random phase, or cut at random. PROGRAM
// (serial-modem-setup) runs with its defaults, but -b and -k, under SANDBOX (sandbox-run),
// whose /dev/log leads nowhere, so the machine's logger never sees it. A run
// is good when the console received, empty lines aside, the user name, the
// password and then exactly the file's commands, one a line, in order, and
// the program exited with 0; and, where the console answers well within the
// 25 silent polls after which the program nudges it again, each command but
// the slow one got exactly one newline (a second means a missed prompt).
// Prints one line a bad run and a summary; exits
// with 1 when any run was bad.
//
// A run must also end in step with the console: the program kicks a DHCP
// client (-k) whose pid file is a FIFO, so the moment it opens the file is
// seen; the console must have sent nothing after that moment, nor after the
// program ended (a late answer would mean the run ran ahead of it).
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "modem_sim.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// A run that takes this long has hung: it is killed and counted as bad.
constexpr int RUN_LIMIT_SECONDS = 120;
// Longer than the slowest console takes over a line: an answer still owed
// when the program ended has gone out by then.
constexpr auto LATE_ANSWER_WAIT = std::chrono::milliseconds(500);
const char KICKED_INTERFACE[] = "soak";

struct Setup {
  std::string program, sandbox, commandFile, logDir;
  std::vector<std::string> commands;
};

struct Timing {
  int lineMs;
  bool echo;
  std::size_t slowCommand;
  int slowMs;
  modemsim::LineSettings line;
  int programRate = 115200;  // -b for the program: the uart's rate
};

const int UART_RATES[] = {2400, 9600, 19200, 57600, 115200};
const int UART_TRIGGERS[] = {1, 8, 14};

// A line as the board may have one: whole, a UART at one of the program's
// rates, a USB adapter's latency timer, or answers cut at random.
void drawLine(std::mt19937& random, Timing& timing) {
  auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); };
  modemsim::LineSettings& line = timing.line;
  switch (pick(4)) {
    case 0: line.kind = modemsim::LineSettings::Kind::Whole; break;
    case 1:
      line.kind = modemsim::LineSettings::Kind::Uart;
      line.rate = timing.programRate = UART_RATES[pick(5)];
      line.trigger = UART_TRIGGERS[pick(3)];
      break;
    case 2:
      line.kind = modemsim::LineSettings::Kind::Usb;
      line.phaseMs = pick(16);
      break;
    default:
      line.kind = modemsim::LineSettings::Kind::Cut;
      line.maxGapMs = 15;
      line.seed = static_cast<unsigned long>(pick(1 << 30));
  }
}

std::string describe(const modemsim::LineSettings& line) {
  switch (line.kind) {
    case modemsim::LineSettings::Kind::Whole: return "whole";
    case modemsim::LineSettings::Kind::Uart:
      return "uart:" + std::to_string(line.rate) + ":" + std::to_string(line.trigger);
    case modemsim::LineSettings::Kind::Usb: return "usb:16:" + std::to_string(line.phaseMs);
    case modemsim::LineSettings::Kind::Cut:
      return "cut:" + std::to_string(line.maxGapMs) + ":" + std::to_string(line.seed);
  }
  return "?";
}

// A console this quick answers a command long before the 25th silent poll,
// so each command but the slow one must get exactly one newline: a second
// one means the program missed a prompt.
bool answersWellWithinANudge(const Timing& timing) {
  return timing.lineMs <= 100 &&
         (timing.line.kind != modemsim::LineSettings::Kind::Uart || timing.line.rate >= 9600);
}

// Newlines beyond the first after each command, the slow one aside.
int extraNewlines(const std::vector<std::string>& linesAfterLogin, const Setup& setup,
                  std::size_t slowCommand) {
  int extra = 0;
  std::size_t command = 0;
  bool counting = false;
  for (const auto& line : linesAfterLogin) {
    if (!line.empty()) {
      counting = command < setup.commands.size() && line == setup.commands[command] &&
                 command != slowCommand;
      ++command;
    } else if (counting) {
      ++extra;
    }
  }
  return extra;
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> commandsOf(const std::string& file) {
  std::vector<std::string> commands;
  for (const auto& line : linesOf(file))
    if (!line.empty() && line[0] != '#') commands.push_back(line);
  return commands;
}

// The pid file of the kicked client, a FIFO: opening it for writing
// succeeds at the moment the program opens it to read. Then the console's
// transcript is taken, and the program gets "0", a pid nobody has.
class KickWatch {
 public:
  KickWatch(const std::string& runDir, modemsim::ModemSim& modem)
      : path_(runDir + "/dhcpcd-" + KICKED_INTERFACE + ".pid"), modem_(modem) {
    mkfifo(path_.c_str(), 0600);
    thread_ = std::thread([this] { watch(); });
  }
  ~KickWatch() {
    done_ = true;
    thread_.join();
    unlink(path_.c_str());
  }
  bool kicked() const { return kicked_; }
  const std::string& transcriptAtKick() const { return atKick_; }

 private:
  void watch() {
    while (!done_) {
      int fd = open(path_.c_str(), O_WRONLY | O_NONBLOCK);  // ENXIO: no reader yet
      if (fd < 0) {
        usleep(1000);
        continue;
      }
      atKick_ = modem_.transcript();
      kicked_ = true;
      if (write(fd, "0\n", 2) < 0) {
      }  // a reader that left needs nothing
      close(fd);
      return;
    }
  }
  std::string path_;
  modemsim::ModemSim& modem_;
  std::atomic<bool> done_{false}, kicked_{false};
  std::string atKick_;
  std::thread thread_;
};

// Runs argv, killing it past the limit; its exit status, or -1.
int runProgram(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t child;
  int error = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) {
    fprintf(stderr, "soak: cannot run %s: %s\n", argv[0], strerror(error));
    return -1;
  }
  auto until = Clock::now() + std::chrono::seconds(RUN_LIMIT_SECONDS);
  int status = 0;
  while (waitpid(child, &status, WNOHANG) == 0) {
    if (Clock::now() > until) kill(child, SIGKILL);
    usleep(20000);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// What went wrong in one run; empty when nothing did.
std::string checkRun(const Setup& setup, const Timing& timing) {
  modemsim::Options console;
  console.lineTimeMs = timing.lineMs;
  console.echo = timing.echo;
  console.line = timing.line;
  modemsim::Reply slow;
  slow.timeMs = timing.slowMs;
  console.replies[setup.commands[timing.slowCommand]] = slow;
  modemsim::ModemSim modem(console);
  char runDir[] = "/tmp/soak-run.XXXXXX";
  if (!mkdtemp(runDir)) return " no run directory;";
  modem.start();
  int status;
  std::string atExit, later;
  bool kicked;
  std::string atKick;
  {
    KickWatch kick(runDir, modem);
    status = runProgram({setup.sandbox, "--log", setup.logDir + "/nobody-listens", "--run-dir",
                         runDir, "--", setup.program, "-d", modem.slavePath(), "-b",
                         std::to_string(timing.programRate), "-c", setup.commandFile, "-k",
                         KICKED_INTERFACE});
    atExit = modem.transcript();
    std::this_thread::sleep_for(LATE_ANSWER_WAIT);
    later = modem.transcript();
    modem.stop();
    kicked = kick.kicked();
    atKick = kick.transcriptAtKick();
  }
  rmdir(runDir);

  std::vector<std::string> got, afterLogin;
  for (const auto& line : linesOf(modem.received())) {
    if (got.size() >= 2) afterLogin.push_back(line);
    if (!line.empty()) got.push_back(line);
  }
  std::vector<std::string> expected = {console.username, console.password};
  expected.insert(expected.end(), setup.commands.begin(), setup.commands.end());
  std::string problems;
  if (status != 0) problems += " exit status " + std::to_string(status) + ";";
  if (!kicked) problems += " no kick;";
  else if (atKick != later) problems += " the console answered after the kick;";
  if (atExit != later) problems += " the console answered after the run ended;";
  if (answersWellWithinANudge(timing)) {
    if (int extra = extraNewlines(afterLogin, setup, timing.slowCommand))
      problems += " " + std::to_string(extra) + " extra newlines (missed prompts);";
  }
  if (got != expected) {
    problems += " the console got " + std::to_string(got.size()) + " lines, not " +
                std::to_string(expected.size()) + ":";
    for (const auto& line : got) problems += " [" + line + "]";
  }
  return problems;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 300, jobs = 4;
  unsigned seed = static_cast<unsigned>(time(nullptr));
  int i = 1;
  for (; i + 1 < argc && argv[i][0] == '-'; i += 2) {
    std::string option = argv[i];
    if (option == "--runs") runs = atoi(argv[i + 1]);
    else if (option == "--jobs") jobs = atoi(argv[i + 1]);
    else if (option == "--seed") seed = static_cast<unsigned>(strtoul(argv[i + 1], nullptr, 10));
    else break;
  }
  if (argc - i != 3 || runs < 1 || jobs < 1) {
    fprintf(stderr, "usage: soak [--runs N] [--jobs J] [--seed S] PROGRAM SANDBOX COMMAND-FILE\n");
    return 2;
  }
  Setup setup{argv[i], argv[i + 1], argv[i + 2], "", {}};
  std::ifstream file(setup.commandFile);
  std::stringstream text;
  text << file.rdbuf();
  setup.commands = commandsOf(text.str());
  if (!file || setup.commands.empty()) {
    fprintf(stderr, "soak: no commands in %s\n", setup.commandFile.c_str());
    return 2;
  }
  char logDir[] = "/tmp/soak.XXXXXX";
  if (!mkdtemp(logDir)) return 2;
  setup.logDir = logDir;

  printf("soak: %d runs, %d at a time, seed %u\n", runs, jobs, seed);
  fflush(stdout);
  std::atomic<int> next{0}, bad{0};
  std::mutex output;
  auto started = Clock::now();
  std::vector<std::thread> workers;
  for (int job = 0; job < jobs; ++job) {
    workers.emplace_back([&] {
      for (int run; (run = next++) < runs;) {
        std::mt19937 random(seed + static_cast<unsigned>(run));
        Timing timing;
        timing.lineMs = std::uniform_int_distribution<int>(0, 300)(random);
        timing.echo = std::uniform_int_distribution<int>(0, 1)(random) == 1;
        timing.slowCommand =
            std::uniform_int_distribution<std::size_t>(0, setup.commands.size() - 1)(random);
        timing.slowMs = std::uniform_int_distribution<int>(300, 1500)(random);
        drawLine(random, timing);
        std::string problems = checkRun(setup, timing);
        if (problems.empty()) continue;
        ++bad;
        std::lock_guard<std::mutex> lock(output);
        printf("bad run %d: answers in %d ms, echo %s, command %zu takes %d ms, line %s:%s\n", run,
               timing.lineMs, timing.echo ? "on" : "off", timing.slowCommand + 1, timing.slowMs,
               describe(timing.line).c_str(), problems.c_str());
        fflush(stdout);
      }
    });
  }
  for (auto& worker : workers) worker.join();
  rmdir(logDir);
  double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  printf("soak: %d of %d runs bad (%.0f s)\n", bad.load(), runs, seconds);
  return bad > 0 ? 1 : 0;
}
