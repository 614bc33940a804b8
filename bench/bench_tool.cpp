// bench-tool: the small pieces bench/run needs that a shell cannot do well.
// Built statically, so the process that forks the measured program is tiny:
// a child's peak RSS starts from the pages its parent's fork hands it, so the
// figures below are the measured program's own, not those of a big parent.
//
//   bench-tool measure --out FILE [--stdio PATH] -- program [args...]
//       Forks, execs the program (with PATH opened read-write as its standard
//       input and output when --stdio is given), reaps it with wait4, and
//       writes one line to FILE:
//         wall_ns=N user_us=N sys_us=N maxrss_kb=N status=N parent_kb=N
//       wall is from just before the fork to the reap; maxrss is the child's
//       peak resident set (ru_maxrss); parent_kb is this process's own peak
//       (VmHWM), an upper bound on what the fork carried over.
//   bench-tool timers N TIMEOUT_US SLEEP_US
//       N selects with a TIMEOUT_US timeout on an idle pty, then one
//       usleep(SLEEP_US); prints: selects_ns=N sleep_ns=N selects_cpu_us=N
//       (the wall time of the selects, of the usleep, and the CPU time of
//       the selects)
//   bench-tool protocol DEVICE FILE LOGIN
//       The console protocol done by the smallest loop: with LOGIN 1, one
//       silent 10 ms select, a 500 ms usleep, a newline, then the user name
//       and password (qorvi) answered to "Login: " and "Password: " until the
//       shell prompt; then for each command of FILE (empty and "#" lines
//       skipped): the command, one 10 ms select, the newline, and a wait for
//       output ending in " > ". Run in place of serial-modem-setup, it shows
//       what a run costs with nothing but the protocol's own system calls.
//   bench-tool sink SOCKET FILE
//       Binds a datagram socket at SOCKET (a stand-in for /dev/log) and
//       appends every message received to FILE, one a line, until SIGTERM.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

namespace {

long long nowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

long long toUs(const timeval& t) { return t.tv_sec * 1000000LL + t.tv_usec; }

// This process's own peak resident set (VmHWM). Not getrusage: its maxrss
// also holds the peak of whatever this process was before an exec (the
// sandbox launcher), which the fork below does not hand on.
long ownPeakKb() {
  FILE* status = fopen("/proc/self/status", "r");
  if (!status) return -1;
  char line[256];
  long kb = -1;
  while (fgets(line, sizeof line, status))
    if (sscanf(line, "VmHWM: %ld kB", &kb) == 1) break;
  fclose(status);
  return kb;
}

[[noreturn]] void die(const char* what) {
  fprintf(stderr, "bench-tool: %s: %s\n", what, strerror(errno));
  exit(125);
}

int usage() {
  fputs(
      "usage: bench-tool measure --out FILE [--stdio PATH] -- program [args...]\n"
      "       bench-tool timers N TIMEOUT_US SLEEP_US\n"
      "       bench-tool protocol DEVICE FILE LOGIN\n"
      "       bench-tool sink SOCKET FILE\n",
      stderr);
  return 125;
}

int measure(int argc, char** argv) {
  const char* out = nullptr;
  const char* stdioPath = nullptr;
  int i = 0;
  for (; i < argc && strcmp(argv[i], "--") != 0; ++i) {
    if (strcmp(argv[i], "--out") == 0 && i + 1 < argc) out = argv[++i];
    else if (strcmp(argv[i], "--stdio") == 0 && i + 1 < argc) stdioPath = argv[++i];
    else return usage();
  }
  if (!out || i + 1 >= argc) return usage();
  char** program = argv + i + 1;

  long long start = nowNs();
  pid_t child = fork();
  if (child < 0) die("fork");
  if (child == 0) {
    if (stdioPath) {
      int fd = open(stdioPath, O_RDWR | O_NOCTTY);
      if (fd < 0) die(stdioPath);
      dup2(fd, 0);
      dup2(fd, 1);
      if (fd > 1) close(fd);
    }
    execvp(program[0], program);
    die(program[0]);
  }
  int status = 0;
  rusage usage{};
  while (wait4(child, &status, 0, &usage) < 0) {
    if (errno != EINTR) die("wait4");
  }
  long long wall = nowNs() - start;
  long parentKb = ownPeakKb();
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);

  FILE* file = fopen(out, "w");
  if (!file) die(out);
  fprintf(file, "wall_ns=%lld user_us=%lld sys_us=%lld maxrss_kb=%ld status=%d parent_kb=%ld\n",
          wall, toUs(usage.ru_utime), toUs(usage.ru_stime), usage.ru_maxrss, code, parentKb);
  fclose(file);
  return code;
}

int timers(int argc, char** argv) {
  if (argc != 3) return usage();
  int count = atoi(argv[0]);
  long timeoutUs = atol(argv[1]);
  long sleepUs = atol(argv[2]);
  // An idle pty, like the program's console (a pipe where there is none).
  int idle = -1;
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0 && ptsname(master))
    idle = open(ptsname(master), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (idle < 0) {
    int ends[2];
    if (pipe(ends) < 0) die("pipe");
    idle = ends[0];
  }

  rusage before{}, after{};
  getrusage(RUSAGE_SELF, &before);
  long long start = nowNs();
  for (int n = 0; n < count; ++n) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(idle, &readable);
    timeval timeout = {timeoutUs / 1000000, timeoutUs % 1000000};
    if (select(idle + 1, &readable, nullptr, nullptr, &timeout) < 0 && errno != EINTR)
      die("select");
  }
  long long selects = nowNs() - start;
  getrusage(RUSAGE_SELF, &after);
  long long cpu =
      toUs(after.ru_utime) + toUs(after.ru_stime) - toUs(before.ru_utime) - toUs(before.ru_stime);
  start = nowNs();
  usleep(static_cast<useconds_t>(sleepUs));
  long long slept = nowNs() - start;
  printf("selects_ns=%lld sleep_ns=%lld selects_cpu_us=%lld\n", selects, slept, cpu);
  return 0;
}

// Writes all of data to the non-blocking fd, waiting in poll when it is full.
void writeAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    ssize_t n = write(fd, data, length);
    if (n > 0) {
      data += n;
      length -= static_cast<size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd port = {fd, POLLOUT, 0};
      poll(&port, 1, 2000);
    } else {
      die("write");
    }
  }
}

// One select of at most timeoutUs, then one read: bytes read, 0 on silence.
ssize_t pollOnce(int fd, char* buffer, size_t size, long timeoutUs) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(fd, &readable);
  timeval timeout = {timeoutUs / 1000000, timeoutUs % 1000000};
  int ready = select(fd + 1, &readable, nullptr, nullptr, &timeout);
  if (ready < 0 && errno != EINTR) die("select");
  if (ready <= 0) return 0;
  ssize_t n = read(fd, buffer, size);
  return n > 0 ? n : 0;
}

// Reads until the output ends in text; false after 2 s of silence.
bool waitFor(int fd, const char* text) {
  char buffer[1000];
  size_t want = strlen(text);
  char tail[16] = {};
  for (;;) {
    ssize_t n = pollOnce(fd, buffer, sizeof buffer, 2000000);
    if (n == 0) return false;
    for (ssize_t i = 0; i < n; ++i) {
      memmove(tail, tail + 1, want - 1);
      tail[want - 1] = buffer[i];
    }
    if (memcmp(tail, text, want) == 0) return true;
  }
}

int protocol(int argc, char** argv) {
  if (argc != 3) return usage();
  int fd = open(argv[0], O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0 || fd >= FD_SETSIZE) die(argv[0]);
  FILE* file = fopen(argv[1], "r");
  if (!file) die(argv[1]);
  char buffer[1000];
  if (atoi(argv[2])) {
    if (pollOnce(fd, buffer, sizeof buffer, 10000) != 0) return 2;
    usleep(500000);
    writeAll(fd, "\n", 1);
    if (!waitFor(fd, "Login: ")) return 2;
    writeAll(fd, "qorvi\n", 6);
    if (!waitFor(fd, "Password: ")) return 2;
    writeAll(fd, "qorvi\n", 6);
    if (!waitFor(fd, " > ")) return 2;
  }
  char* line = nullptr;
  size_t capacity = 0;
  ssize_t length;
  int failed = 0;
  while ((length = getline(&line, &capacity, file)) >= 0) {
    if (length > 0 && line[length - 1] == '\n') --length;
    if (length == 0 || line[0] == '#') continue;
    writeAll(fd, line, static_cast<size_t>(length));
    if (pollOnce(fd, buffer, sizeof buffer, 10000) != 0) return 2;
    writeAll(fd, "\n", 1);
    if (!waitFor(fd, " > ")) ++failed;
  }
  free(line);
  fclose(file);
  return failed > 255 ? 255 : failed;
}

volatile sig_atomic_t stopping = 0;
void onStop(int) { stopping = 1; }

int sink(int argc, char** argv) {
  if (argc != 2) return usage();
  int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
  if (fd < 0) die("socket");
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (strlen(argv[0]) >= sizeof address.sun_path) {
    errno = ENAMETOOLONG;
    die(argv[0]);
  }
  strcpy(address.sun_path, argv[0]);
  unlink(argv[0]);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) die("bind");
  chmod(argv[0], 0666);
  FILE* log = fopen(argv[1], "a");
  if (!log) die(argv[1]);
  setvbuf(log, nullptr, _IOLBF, 0);

  struct sigaction action = {};
  action.sa_handler = onStop;  // no SA_RESTART: recv returns EINTR
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  // Tells the caller the socket is bound.
  printf("ready\n");
  fflush(stdout);
  char message[8192];
  while (!stopping) {
    ssize_t n = recv(fd, message, sizeof message - 1, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      die("recv");
    }
    while (n > 0 && (message[n - 1] == '\n' || message[n - 1] == '\0')) --n;
    fwrite(message, 1, static_cast<size_t>(n), log);
    fputc('\n', log);
  }
  fclose(log);
  unlink(argv[0]);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  if (strcmp(argv[1], "measure") == 0) return measure(argc - 2, argv + 2);
  if (strcmp(argv[1], "timers") == 0) return timers(argc - 2, argv + 2);
  if (strcmp(argv[1], "protocol") == 0) return protocol(argc - 2, argv + 2);
  if (strcmp(argv[1], "sink") == 0) return sink(argc - 2, argv + 2);
  return usage();
}
