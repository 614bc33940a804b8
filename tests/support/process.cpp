#include "process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

namespace testsupport {
namespace {

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

[[noreturn]] void execChild(const std::vector<std::string>& argv, int outFd, int errFd) {
  int devNull = open("/dev/null", O_RDONLY);
  dup2(devNull, 0);
  dup2(outFd, 1);
  dup2(errFd, 2);
  std::vector<char*> args;
  for (const auto& word : argv) args.push_back(const_cast<char*>(word.c_str()));
  args.push_back(nullptr);
  execvp(args[0], args.data());
  dprintf(2, "exec %s: %s\n", args[0], strerror(errno));
  _exit(127);
}

}  // namespace

ProcessResult runProcess(const std::vector<std::string>& argv, double timeoutSeconds) {
  ProcessResult result;
  int outPipe[2], errPipe[2];
  if (argv.empty() || pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
    result.err = "runProcess: cannot start";
    return result;
  }
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) execChild(argv, outPipe[1], errPipe[1]);
  close(outPipe[1]);
  close(errPipe[1]);

  // Drain both pipes until the child closes them or runs out of time.
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int openPipes = 2;
  while (openPipes > 0) {
    double left = timeoutSeconds - secondsSince(start);
    if (left <= 0) {
      result.timedOut = true;
      kill(pid, SIGKILL);
      break;
    }
    if (poll(fds, 2, static_cast<int>(left * 1000) + 1) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[65536];
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --openPipes;
      }
    }
  }
  for (auto& fd : fds)
    if (fd.fd >= 0) close(fd.fd);

  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.seconds = secondsSince(start);
  if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.termSignal = WTERMSIG(status);
  return result;
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv) {
  int outPipe[2];
  if (argv.empty() || pipe2(outPipe, O_CLOEXEC) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    int devNull = open("/dev/null", O_WRONLY);
    execChild(argv, outPipe[1], devNull);
  }
  close(outPipe[1]);
  out_ = outPipe[0];
}

BackgroundProcess::~BackgroundProcess() {
  stop();
  if (out_ >= 0) close(out_);
}

std::string BackgroundProcess::readLine(double timeoutSeconds) {
  auto start = std::chrono::steady_clock::now();
  for (;;) {
    std::size_t newline = buffered_.find('\n');
    if (newline != std::string::npos) {
      std::string line = buffered_.substr(0, newline);
      buffered_.erase(0, newline + 1);
      return line;
    }
    double left = timeoutSeconds - secondsSince(start);
    pollfd ready = {out_, POLLIN, 0};
    if (out_ < 0 || left <= 0 || poll(&ready, 1, static_cast<int>(left * 1000) + 1) <= 0) return "";
    char buffer[4096];
    ssize_t n = read(out_, buffer, sizeof buffer);
    if (n <= 0) return "";
    buffered_.append(buffer, static_cast<std::size_t>(n));
  }
}

int BackgroundProcess::stop() {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void BackgroundProcess::signal(int number) {
  if (pid_ > 0) kill(pid_, number);
}

std::string programPath(const std::string& name) {
  if (const char* path = getenv(name.c_str())) return path;
  if (name == "MODEM_SETUP_PROGRAM") return MODEM_SETUP_PROGRAM;
  if (name == "NETIF_RENAME_PROGRAM") return NETIF_RENAME_PROGRAM;
  if (name == "MODEM_SIM_PROGRAM") return MODEM_SIM_PROGRAM;
  if (name == "SANDBOX_RUN") return SANDBOX_RUN;
  return name;
}

std::vector<std::string> programCommand(const char* envName) {
  std::vector<std::string> words;
  if (const char* emulator = getenv("PROGRAM_EMULATOR")) {
    std::istringstream in(emulator);
    for (std::string word; in >> word;) words.push_back(word);
  }
  words.push_back(programPath(envName));
  return words;
}

bool underEmulator() {
  const char* emulator = getenv("PROGRAM_EMULATOR");
  return emulator && *emulator;
}

std::vector<std::vector<std::string>> runningCommandLines(const std::string& program,
                                                          const std::string& word) {
  std::vector<std::vector<std::string>> found;
  DIR* proc = opendir("/proc");
  if (!proc) return found;
  while (dirent* entry = readdir(proc)) {
    if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
    // A process that ended since the directory was read shows an empty list.
    std::ifstream in(std::string("/proc/") + entry->d_name + "/cmdline", std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> words;
    for (size_t at = 0; at < text.size();) {
      size_t end = text.find('\0', at);
      if (end == std::string::npos) end = text.size();
      words.push_back(text.substr(at, end - at));
      at = end + 1;
    }
    if (!words.empty() && words[0] == program &&
        std::find(words.begin(), words.end(), word) != words.end())
      found.push_back(words);
  }
  closedir(proc);
  return found;
}

}  // namespace testsupport
