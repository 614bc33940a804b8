// sandbox-run: runs a program in a private mount namespace, so that what it
// does to /dev/log and /var/run never reaches the machine's own.
//
//   sandbox-run [--log SOCKET | --show-log] [--run-dir DIR] [--fd-floor N] -- program [args...]
//
// Inside, /dev is a fresh tmpfs holding only null, zero, random, urandom, the
// pts directory (so pseudo-terminals work) and, with --log, a link "log" to
// SOCKET. --show-log makes that socket itself and, once the program has
// ended, prints every message it logged on standard error, one a line as
// "log: " and the message as it arrived; the exit status is the program's.
// /var/run is an empty tmpfs, or DIR bound over it with --run-dir.
// /proc is mounted afresh, so it shows the pid namespace the program runs in.
// --fd-floor N opens descriptors until the program's next one is at least N.
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace {

const char USAGE[] =
    "usage: sandbox-run [--log SOCKET | --show-log] [--run-dir DIR] [--fd-floor N] -- program "
    "[args...]\n";

const char HELP[] =
    "Runs program in a private mount namespace (as root), so that what it does to\n"
    "/dev/log and /var/run never reaches the machine's own:\n"
    "\n"
    "  --log SOCKET  /dev/log is a link to SOCKET, a datagram socket of yours\n"
    "  --show-log    /dev/log is a socket of sandbox-run's own; once the program\n"
    "                has ended, every message it logged is printed on standard\n"
    "                error as \"log: MESSAGE\"\n"
    "  --run-dir DIR DIR is bound over /var/run (default: an empty tmpfs)\n"
    "  --fd-floor N  open descriptors first, so the program's next one is at\n"
    "                least N (to try descriptors beyond select's FD_SETSIZE)\n"
    "  -h, --help    show this help\n"
    "\n"
    "/dev is a fresh tmpfs with null, zero, random, urandom and pts only; /proc\n"
    "is mounted afresh. The exit status is the program's; 125 when sandbox-run\n"
    "itself fails or is used wrongly.\n";

[[noreturn]] void fail(const std::string& what) {
  fprintf(stderr, "sandbox-run: %s: %s\n", what.c_str(), strerror(errno));
  exit(125);
}

void check(int result, const std::string& what) {
  if (result != 0) fail(what);
}

void bindNode(const std::string& from, const std::string& to, bool directory) {
  if (directory) {
    check(mkdir(to.c_str(), 0755), "mkdir " + to);
  } else {
    int fd = open(to.c_str(), O_CREAT | O_WRONLY, 0666);
    if (fd < 0) fail("create " + to);
    close(fd);
  }
  check(mount(from.c_str(), to.c_str(), nullptr, MS_BIND, nullptr), "bind " + from);
}

void buildDev(const char* logSocket) {
  char staging[] = "/tmp/sandbox-dev.XXXXXX";
  if (!mkdtemp(staging)) fail("mkdtemp");
  std::string dir = staging;
  check(mount("tmpfs", staging, "tmpfs", 0, "mode=755"), "mount tmpfs on " + dir);
  for (const char* node : {"null", "zero", "random", "urandom"})
    bindNode(std::string("/dev/") + node, dir + "/" + node, false);
  bindNode("/dev/pts", dir + "/pts", true);
  if (logSocket) check(symlink(logSocket, (dir + "/log").c_str()), "symlink log");
  check(mount(staging, "/dev", nullptr, MS_MOVE, nullptr), "move onto /dev");
  rmdir(staging);
}

void buildVarRun(const char* runDir) {
  if (runDir) check(mount(runDir, "/var/run", nullptr, MS_BIND, nullptr), "bind onto /var/run");
  else check(mount("tmpfs", "/var/run", "tmpfs", 0, "mode=755"), "mount tmpfs on /var/run");
}

void raiseFdFloor(int floor) {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur < static_cast<rlim_t>(floor) + 64) {
    limit.rlim_cur = static_cast<rlim_t>(floor) + 64;
    if (limit.rlim_max < limit.rlim_cur) limit.rlim_max = limit.rlim_cur;
    check(setrlimit(RLIMIT_NOFILE, &limit), "setrlimit");
  }
  for (;;) {
    int fd = open("/dev/null", O_RDONLY);
    if (fd < 0) fail("open /dev/null");
    if (fd >= floor - 1) break;
  }
}

// The N of --fd-floor: a whole number of descriptors, at most the kernel's
// default ceiling (fs.nr_open); -1 for anything else.
int parseFdFloor(const char* text) {
  char* end = nullptr;
  errno = 0;
  long value = strtol(text, &end, 10);
  if (end == text || *end != '\0' || errno != 0 || value < 0 || value > (1 << 20)) return -1;
  return static_cast<int>(value);
}

// A datagram socket at path, for the program's system log.
int bindLogSocket(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) fail("log socket path too long");
  memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) fail("socket");
  check(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), "bind " + path);
  return fd;
}

// Waits for the program, then prints what it logged; returns its status.
// The messages wait in the socket meanwhile, far more than a run logs.
int showLogAfter(pid_t program, int logFd) {
  int status = 0;
  while (waitpid(program, &status, 0) < 0)
    if (errno != EINTR) fail("waitpid");
  static char message[65536];
  for (ssize_t n; (n = recv(logFd, message, sizeof message, MSG_DONTWAIT)) >= 0;) {
    while (n > 0 && message[n - 1] == '\n') --n;
    fprintf(stderr, "log: %.*s\n", static_cast<int>(n), message);
  }
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

}  // namespace

int main(int argc, char** argv) {
  const char* logSocket = nullptr;
  bool showLog = false;
  const char* runDir = nullptr;
  int fdFloor = 0;
  int i = 1;
  for (; i < argc && strcmp(argv[i], "--") != 0; ++i) {
    std::string option = argv[i];
    if (option == "-h" || option == "--help") {
      printf("%s%s", USAGE, HELP);
      return 0;
    }
    bool valueFollows = i + 1 < argc;
    if (option == "--show-log") showLog = true;
    else if (valueFollows && option == "--log") logSocket = argv[++i];
    else if (valueFollows && option == "--run-dir") runDir = argv[++i];
    else if (valueFollows && option == "--fd-floor") fdFloor = parseFdFloor(argv[++i]);
    else break;  // an unknown option, or one without its value
  }
  if (i >= argc || strcmp(argv[i], "--") != 0 || i + 1 >= argc || (showLog && logSocket) ||
      fdFloor < 0) {
    fputs(USAGE, stderr);
    fputs("(sandbox-run --help explains the options)\n", stderr);
    return 125;
  }
  std::string shownLog;
  if (showLog) {
    char staging[] = "/tmp/sandbox-log.XXXXXX";
    if (!mkdtemp(staging)) fail("mkdtemp");
    shownLog = std::string(staging) + "/log";
    int logFd = bindLogSocket(shownLog);
    pid_t program = fork();
    if (program < 0) fail("fork");
    if (program > 0) {
      int status = showLogAfter(program, logFd);
      unlink(shownLog.c_str());
      rmdir(staging);
      return status;
    }
    logSocket = shownLog.c_str();
  }
  check(unshare(CLONE_NEWNS), "unshare");
  check(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), "make / private");
  buildDev(logSocket);
  buildVarRun(runDir);
  check(mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr), "mount /proc");
  if (fdFloor > 0) raiseFdFloor(fdFloor);
  execvp(argv[i + 1], argv + i + 1);
  fail(std::string("exec ") + argv[i + 1]);
}
