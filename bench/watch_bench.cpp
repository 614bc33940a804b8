// watch-bench: what serial-modem-setup's watch (-W -m) costs while nothing
// happens, and whether anything it holds grows as the modem reboots.
//
//   watch-bench quiet-watch SECONDS PROGRAM SANDBOX WORKDIR
//       A console (modem-sim's library) that asks for the login and answers
//       at once; the program watches it (-W 60 -m -x HOOK) and configures
//       the modem once. Once the hook has said "configured" and 5 s have
//       passed, the program's context switches (/proc/PID/status) and CPU
//       time (/proc/PID/stat utime + stime, /proc/PID/schedstat) are taken
//       over SECONDS; then SIGTERM, which must end it with 254.
//   watch-bench quiet-wait SECONDS PROGRAM SANDBOX WORKDIR
//       The same over a console that never answers (the wait mode, -W
//       SECONDS + 60, no -m), from 2 s after the start: the wait sleeps
//       between its nudges (-q 6 and doubling), which are counted.
//   watch-bench reboots N PROGRAM SANDBOX WORKDIR
//       The watch against a console that reboots N times, each reboot right
//       after the hook said the last configuration was done: off for 20 ms,
//       a 300-byte boot log with the kernel's banner, no countdown, then
//       "Login: ". After the first configuration and after reboots 1, 10,
//       100, 1000, ... and N the program's VmRSS, VmHWM, open descriptors
//       and child processes are taken. The console must receive the user name
//       and the command file's commands N + 1 times, in order.
//
// The program runs under SANDBOX (sandbox-run --log), which execs it, so
// the pid spawned is the program's; its system log goes to a socket of this
// tool (WORKDIR/CASE.log), never to the machine's logger. The hook (-x) is a
// two-line shell script that appends "EVENT STATUS REBOOTS" to
// WORKDIR/CASE.events. Prints "key=value" lines (one "sample" line per
// sample, one "result" line per case) and exits with 1 when the program
// misbehaved (a hang, a wrong dialogue, a wrong exit status).
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "modem_sim.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::vector<std::string> COMMANDS = {"set param1 value1", "set param2 value2"};
// The watch's wait for a login after each reboot, and the hook's longest
// wait for an outcome.
constexpr int WATCH_WAIT_SECONDS = 60;
constexpr auto OUTCOME_LIMIT = std::chrono::seconds(30);
// After the first configuration: the watch holds a console line for 1 s
// before it logs it, and the hook ends; then nothing is pending.
constexpr auto SETTLE = std::chrono::seconds(5);
// A sample after a reboot waits this long after the hook's "configured".
constexpr auto SAMPLE_SETTLE = std::chrono::milliseconds(300);
constexpr int REBOOT_OFF_MS = 20;
constexpr std::size_t REBOOT_LOG_BYTES = 300;
constexpr int EXIT_STOPPED = 254;
const char PASSWORD[] = "bench";

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// What /proc shows of a process at one moment.
struct Sample {
  long voluntary = -1, involuntary = -1;  // context switches
  long long cpuTicks = -1;                // utime + stime, in clock ticks
  long long runNs = -1;                   // time on a CPU (schedstat)
  long rssKb = -1, hwmKb = -1;
  int fds = -1;
  int children = -1;
};

long statusField(const std::string& status, const char* name) {
  std::size_t at = status.find(std::string("\n") + name + ":");
  if (at == std::string::npos) return -1;
  return strtol(status.c_str() + at + strlen(name) + 2, nullptr, 10);
}

int countEntries(const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (!d) return -1;
  int n = 0;
  while (dirent* entry = readdir(d))
    if (entry->d_name[0] != '.') ++n;
  closedir(d);
  return n;
}

// The processes whose parent is pid (the hooks it started, reaped or not).
int countChildren(pid_t pid) {
  DIR* d = opendir("/proc");
  if (!d) return -1;
  int n = 0;
  while (dirent* entry = readdir(d)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    std::string stat = readFile(std::string("/proc/") + entry->d_name + "/stat");
    std::size_t end = stat.rfind(')');
    if (end == std::string::npos) continue;
    // After the name: the state, then the parent's pid.
    if (stat.size() > end + 3 && strtol(stat.c_str() + end + 4, nullptr, 10) == pid) ++n;
  }
  closedir(d);
  return n;
}

Sample take(pid_t pid) {
  Sample s;
  std::string proc = "/proc/" + std::to_string(pid);
  std::string status = "\n" + readFile(proc + "/status");
  s.voluntary = statusField(status, "voluntary_ctxt_switches");
  s.involuntary = statusField(status, "nonvoluntary_ctxt_switches");
  s.rssKb = statusField(status, "VmRSS");
  s.hwmKb = statusField(status, "VmHWM");
  // utime and stime are the 14th and 15th fields; the 3rd follows the name.
  std::string stat = readFile(proc + "/stat");
  std::size_t end = stat.rfind(')');
  if (end != std::string::npos) {
    std::istringstream fields(stat.substr(end + 1));
    std::string field;
    long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
      if (i == 14) utime = strtoll(field.c_str(), nullptr, 10);
      if (i == 15) stime = strtoll(field.c_str(), nullptr, 10);
    }
    s.cpuTicks = utime + stime;
  }
  std::string schedstat = readFile(proc + "/schedstat");
  if (!schedstat.empty()) s.runNs = strtoll(schedstat.c_str(), nullptr, 10);
  s.fds = countEntries(proc + "/fd");
  s.children = countChildren(pid);
  return s;
}

// A datagram socket standing in for /dev/log: every message, one a line.
class LogSink {
 public:
  explicit LogSink(const std::string& path) : path_(path) {
    unlink(path.c_str());
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (fd_ < 0 || path.size() >= sizeof address.sun_path) return;
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return;
    thread_ = std::thread([this] { collect(); });
  }
  ~LogSink() {
    done_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) close(fd_);
    unlink(path_.c_str());
  }
  bool ready() const { return thread_.joinable(); }
  // Waits for the messages still in the socket, then returns them all.
  std::string messages() {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    done_ = true;
    if (thread_.joinable()) thread_.join();
    return text_;
  }

 private:
  void collect() {
    static char message[65536];
    while (!done_) {
      pollfd wait = {fd_, POLLIN, 0};
      if (poll(&wait, 1, 100) <= 0) continue;
      ssize_t n = recv(fd_, message, sizeof message, 0);
      while (n > 0 && message[n - 1] == '\n') --n;
      if (n >= 0) text_.append(message, static_cast<std::size_t>(n)) += '\n';
    }
  }
  std::string path_;
  int fd_ = -1;
  std::atomic<bool> done_{false};
  std::string text_;
  std::thread thread_;
};

// The hook's lines, "EVENT STATUS REBOOTS", as they come.
class Outcomes {
 public:
  explicit Outcomes(const std::string& path) : path_(path) {
    close(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  }
  ~Outcomes() {
    if (fd_ >= 0) close(fd_);
  }
  // Waits for the line "EVENT STATUS REBOOTS" until the limit or the
  // program's end; true when it came.
  bool await(const std::string& line, pid_t program) {
    auto until = Clock::now() + OUTCOME_LIMIT;
    while (Clock::now() < until) {
      char buffer[4096];
      ssize_t n;
      while ((n = read(fd_, buffer, sizeof buffer)) > 0) text_.append(buffer, n);
      for (std::size_t end; (end = text_.find('\n', at_)) != std::string::npos; at_ = end + 1)
        if (text_.compare(at_, end - at_, line) == 0) {
          at_ = end + 1;
          return true;
        }
      if (waitpid(program, &exitStatus, WNOHANG) == program) {
        ended = true;
        return false;
      }
      usleep(2000);
    }
    return false;
  }
  // The lines of an event in the whole file. Each hook runs on its own, so
  // their lines can come out of order, and after the program has ended.
  int count(const std::string& event) const {
    std::string text = readFile(path_);
    int n = 0;
    for (std::size_t at = 0; (at = text.find(event + " ", at)) != std::string::npos; ++at)
      if (at == 0 || text[at - 1] == '\n') ++n;
    return n;
  }
  bool ended = false;
  int exitStatus = 0;

 private:
  std::string path_;
  int fd_ = -1;
  std::string text_;
  std::size_t at_ = 0;
};

struct Run {
  std::string name, work, program, sandbox;
  std::string path(const char* suffix) const { return work + "/" + name + suffix; }
};

// The hook the program runs with each outcome.
std::string writeHook(const Run& run) {
  std::string hook = run.path(".hook");
  std::ofstream out(hook);
  out << "#!/bin/sh\nprintf '%s %s %s\\n' \"$1\" \"$2\" \"$3\" >>'" << run.path(".events") << "'\n";
  out.close();
  chmod(hook.c_str(), 0755);
  return hook;
}

std::string writeCommandFile(const Run& run) {
  std::string file = run.path(".conf");
  std::ofstream out(file);
  for (const auto& command : COMMANDS) out << command << "\n";
  return file;
}

// Starts the program under the sandbox; its pid (the sandbox execs it), or -1.
pid_t start(const Run& run, const std::vector<std::string>& options) {
  std::vector<std::string> args = {run.sandbox, "--log", run.path(".log.sock"), "--", run.program};
  args.insert(args.end(), options.begin(), options.end());
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, run.path(".out").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, run.path(".err").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  // Only its own descriptors are counted: none handed down from the shell.
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  pid_t pid;
  int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) {
    fprintf(stderr, "watch-bench: cannot run %s: %s\n", argv[0], strerror(error));
    return -1;
  }
  return pid;
}

// Ends the program with SIGTERM (unless it has ended); its exit status
// (-1: killed, or gone without a status), and how long it took.
int stop(pid_t pid, Outcomes* outcomes, double& stopMs) {
  int status = 0;
  auto began = Clock::now();
  if (outcomes && outcomes->ended) {
    status = outcomes->exitStatus;
  } else {
    kill(pid, SIGTERM);
    auto until = Clock::now() + std::chrono::seconds(10);
    while (waitpid(pid, &status, WNOHANG) == 0) {
      if (Clock::now() > until) kill(pid, SIGKILL);
      usleep(1000);
    }
  }
  stopMs = secondsSince(began) * 1000;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void printSample(const char* what, long value, const Sample& s) {
  printf("sample %s=%ld rss_kb=%ld hwm_kb=%ld fds=%d children=%d\n", what, value, s.rssKb, s.hwmKb,
         s.fds, s.children);
  fflush(stdout);
}

// The context switches and CPU time over a quiet span.
void printQuiet(const Run& run, double seconds, const Sample& a, const Sample& b) {
  long switches = (b.voluntary - a.voluntary) + (b.involuntary - a.involuntary);
  printf(
      "result case=%s seconds=%.2f voluntary=%ld involuntary=%ld per_second=%.3f cpu_ms=%lld "
      "run_us=%.1f rss_kb=%ld fds=%d",
      run.name.c_str(), seconds, b.voluntary - a.voluntary, b.involuntary - a.involuntary,
      static_cast<double>(switches) / seconds,
      (b.cpuTicks - a.cpuTicks) * 1000 / sysconf(_SC_CLK_TCK),
      a.runNs < 0 ? -1.0 : static_cast<double>(b.runNs - a.runNs) / 1e3, b.rssKb, b.fds);
}

int quietWatch(const Run& run, int seconds) {
  modemsim::ModemSim modem(modemsim::Options{});
  modem.start();
  LogSink log(run.path(".log.sock"));
  Outcomes outcomes(run.path(".events"));
  std::string hook = writeHook(run);
  pid_t pid = start(run, {"-d", modem.path(), "-c", writeCommandFile(run), "-W",
                          std::to_string(WATCH_WAIT_SECONDS), "-m", "-x", hook});
  if (pid < 0 || !log.ready()) return 1;
  bool configured = outcomes.await("configured 0 0", pid);
  std::string problems = configured ? "" : " never configured;";
  Sample a, b;
  double span = 0;
  std::size_t receivedBefore = 0, receivedAfter = 0;
  if (configured) {
    std::this_thread::sleep_for(SETTLE);
    receivedBefore = modem.received().size();
    auto began = Clock::now();
    a = take(pid);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    b = take(pid);
    span = secondsSince(began);
    receivedAfter = modem.received().size();
  }
  double stopMs = 0;
  int status = stop(pid, &outcomes, stopMs);
  modem.stop();
  std::ofstream(run.path(".log")) << log.messages();
  std::ofstream(run.path(".transcript")) << modem.transcript();
  if (status != EXIT_STOPPED) problems += " exit status " + std::to_string(status) + ";";
  if (receivedAfter != receivedBefore) problems += " the console received bytes meanwhile;";
  printQuiet(run, span, a, b);
  printf(" console_bytes=%zu exit=%d stop_ms=%.1f\n", receivedAfter - receivedBefore, status,
         stopMs);
  if (!problems.empty()) printf("problem case=%s:%s\n", run.name.c_str(), problems.c_str());
  return problems.empty() ? 0 : 1;
}

int quietWait(const Run& run, int seconds) {
  modemsim::Options console;
  console.silent = true;
  modemsim::ModemSim modem(console);
  modem.start();
  LogSink log(run.path(".log.sock"));
  pid_t pid = start(
      run, {"-d", modem.path(), "-c", writeCommandFile(run), "-W", std::to_string(seconds + 60)});
  if (pid < 0 || !log.ready()) return 1;
  std::this_thread::sleep_for(std::chrono::seconds(2));
  auto newlines = [&modem] {
    std::string received = modem.received();
    return std::count(received.begin(), received.end(), '\n');
  };
  long nudgesBefore = newlines();
  auto began = Clock::now();
  Sample a = take(pid);
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  Sample b = take(pid);
  double span = secondsSince(began);
  long nudges = newlines() - nudgesBefore;
  double stopMs = 0;
  int status = stop(pid, nullptr, stopMs);
  modem.stop();
  std::ofstream(run.path(".log")) << log.messages();
  std::ofstream(run.path(".transcript")) << modem.transcript();
  printQuiet(run, span, a, b);
  printf(" nudges=%ld exit=%d stop_ms=%.1f\n", nudges, status, stopMs);
  if (status == EXIT_STOPPED) return 0;
  printf("problem case=%s: exit status %d;\n", run.name.c_str(), status);
  return 1;
}

bool sampledAt(int reboots) {
  if (reboots <= 1) return true;
  while (reboots % 10 == 0) reboots /= 10;
  return reboots == 1;
}

int reboots(const Run& run, int count) {
  modemsim::Options console;
  console.boot.logBytes = REBOOT_LOG_BYTES;
  // Not the user name: each line holding the user name is a login.
  console.password = PASSWORD;
  console.boot.rebootOffMs = REBOOT_OFF_MS;
  modemsim::ModemSim modem(console);
  modem.start();
  LogSink log(run.path(".log.sock"));
  Outcomes outcomes(run.path(".events"));
  std::string hook = writeHook(run);
  auto began = Clock::now();
  pid_t pid = start(run, {"-d", modem.path(), "-c", writeCommandFile(run), "-p", PASSWORD, "-W",
                          std::to_string(WATCH_WAIT_SECONDS), "-m", "-x", hook});
  if (pid < 0 || !log.ready()) return 1;
  std::string problems;
  std::vector<double> cycleMs;
  Sample first;
  int done = -1;
  if (outcomes.await("configured 0 0", pid)) {
    done = 0;
    std::this_thread::sleep_for(SAMPLE_SETTLE);
    printSample("reboots", 0, first = take(pid));
  }
  for (int reboot = 1; done == reboot - 1 && reboot <= count; ++reboot) {
    auto rebootAt = Clock::now();
    modem.reboot(false);
    std::string n = std::to_string(reboot);
    if (!outcomes.await("configured 0 " + n, pid)) break;
    cycleMs.push_back(secondsSince(rebootAt) * 1000);
    done = reboot;
    if (sampledAt(reboot) || reboot == count) {
      std::this_thread::sleep_for(SAMPLE_SETTLE);
      printSample("reboots", reboot, take(pid));
    }
  }
  if (done < count) problems += " no \"configured\" after reboot " + std::to_string(done + 1) + ";";
  Sample last = take(pid);
  double seconds = secondsSince(began);
  double stopMs = 0;
  int status = stop(pid, &outcomes, stopMs);
  modem.stop();
  std::string messages = log.messages();
  std::ofstream(run.path(".log")) << messages;
  std::ofstream(run.path(".transcript")) << modem.transcript();

  // The console's lines at its shell: the commands, once after each boot.
  std::vector<std::string> expected, got;
  for (int i = 0; i <= done; ++i) expected.insert(expected.end(), COMMANDS.begin(), COMMANDS.end());
  int emptyLines = 0;
  for (const auto& line : modem.commands()) {
    if (line.empty()) ++emptyLines;
    else got.push_back(line);
  }
  std::istringstream received(modem.received());
  int logins = 0;
  for (std::string line; std::getline(received, line);)
    if (line == console.username) ++logins;
  auto logged = [&messages](const char* text) {
    int n = 0;
    for (std::size_t at = 0; (at = messages.find(text, at)) != std::string::npos; ++at) ++n;
    return n;
  };
  if (got != expected)
    problems += " the console got " + std::to_string(got.size()) + " command lines, not " +
                std::to_string(expected.size()) + " in order;";
  if (logins != done + 1) problems += " " + std::to_string(logins) + " logins;";
  // The last hooks may still be running.
  for (int tries = 0; tries < 50 && outcomes.count("rebooted") < done; ++tries) usleep(100000);
  if (outcomes.count("rebooted") != done)
    problems +=
        " the hook said \"rebooted\" " + std::to_string(outcomes.count("rebooted")) + " times;";
  if (status != EXIT_STOPPED) problems += " exit status " + std::to_string(status) + ";";
  std::sort(cycleMs.begin(), cycleMs.end());
  double median = cycleMs.empty() ? 0 : cycleMs[cycleMs.size() / 2];
  double slowest = cycleMs.empty() ? 0 : cycleMs.back();
  long long cpuMs = (last.cpuTicks - first.cpuTicks) * 1000 / sysconf(_SC_CLK_TCK);
  printf(
      "result case=%s reboots=%d configurations=%d command_lines=%zu expected_lines=%zu "
      "empty_lines=%d logins=%d logged_configured=%d logged_rebooting=%d log_lines=%ld "
      "cycle_median_ms=%.1f cycle_max_ms=%.1f cpu_ms_per_reboot=%.2f seconds=%.1f exit=%d "
      "stop_ms=%.1f\n",
      run.name.c_str(), done, outcomes.count("configured"), got.size(), expected.size(), emptyLines,
      logins, logged("Modem configured after a reboot"), logged("Modem rebooting"),
      static_cast<long>(std::count(messages.begin(), messages.end(), '\n')), median, slowest,
      done > 0 ? static_cast<double>(cpuMs) / done : 0.0, seconds, status, stopMs);
  if (!problems.empty()) printf("problem case=%s:%s\n", run.name.c_str(), problems.c_str());
  return problems.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  long given = argc == 6 ? strtol(argv[2], nullptr, 10) : 0;
  if (given < 1 || given > 1000000) {
    fprintf(stderr,
            "usage: watch-bench quiet-watch|quiet-wait SECONDS PROGRAM SANDBOX WORKDIR\n"
            "       watch-bench reboots N PROGRAM SANDBOX WORKDIR\n");
    return 2;
  }
  std::string what = argv[1];
  Run run{what, argv[5], argv[3], argv[4]};
  mkdir(run.work.c_str(), 0755);
  int n = static_cast<int>(given);
  try {
    if (what == "quiet-watch") return quietWatch(run, n);
    if (what == "quiet-wait") return quietWait(run, n);
    if (what == "reboots") return reboots(run, n);
  } catch (const std::exception& e) {
    fprintf(stderr, "watch-bench: %s\n", e.what());
    return 1;
  }
  fprintf(stderr, "watch-bench: no case '%s'\n", what.c_str());
  return 2;
}
