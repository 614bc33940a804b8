// sandbox-run: runs a program in a private mount namespace, so that what it
// does to /dev/log and /var/run never reaches the machine's own.
//
//   sandbox-run [--log SOCKET] [--run-dir DIR] [--fd-floor N] -- program [args...]
//
// Inside, /dev is a fresh tmpfs holding only null, zero, random, urandom, the
// pts directory (so pseudo-terminals work) and, with --log, a link "log" to
// SOCKET. /var/run is an empty tmpfs, or DIR bound over it with --run-dir.
// /proc is mounted afresh, so it shows the pid namespace the program runs in.
// --fd-floor N opens descriptors until the program's next one is at least N.
#include <fcntl.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace {

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
  if (runDir)
    check(mount(runDir, "/var/run", nullptr, MS_BIND, nullptr), "bind onto /var/run");
  else
    check(mount("tmpfs", "/var/run", "tmpfs", 0, "mode=755"), "mount tmpfs on /var/run");
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

}  // namespace

int main(int argc, char** argv) {
  const char* logSocket = nullptr;
  const char* runDir = nullptr;
  int fdFloor = 0;
  int i = 1;
  for (; i + 1 < argc && strcmp(argv[i], "--") != 0; i += 2) {
    std::string option = argv[i];
    if (option == "--log") logSocket = argv[i + 1];
    else if (option == "--run-dir") runDir = argv[i + 1];
    else if (option == "--fd-floor") fdFloor = atoi(argv[i + 1]);
    else break;
  }
  if (i >= argc || strcmp(argv[i], "--") != 0 || i + 1 >= argc) {
    fprintf(stderr, "usage: sandbox-run [--log SOCKET] [--run-dir DIR] [--fd-floor N] -- program [args...]\n");
    return 125;
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
