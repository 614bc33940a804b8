#include "relay.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "escapes.h"
#include "fd_writes.h"
#include "pty.h"

namespace modemsim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int IDLE_WAIT_MS = 100;

[[noreturn]] void fail(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

int listenOn(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) {
    errno = ENAMETOOLONG;
    fail("socket path '" + path + "'");
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) fail("socket");
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 || listen(fd, 1) < 0) {
    const int error = errno;
    close(fd);
    errno = error;
    fail("listen on '" + path + "'");
  }
  return fd;
}

}  // namespace

struct Relay::State {
  explicit State(const std::string& socketPath)
      : socketPath(socketPath), listenFd(listenOn(socketPath)) {}

  void serve();
  void acceptBoard();
  void fromBoard();
  void fromProgram();
  void disconnect();
  void record(const std::string& event);

  const std::string socketPath;
  Pty program;  // a new pty pair: the program under test opens its slave
  const int listenFd;
  int board = -1;
  bool boardSpoke = false;  // the board has printed since it connected
  std::string toBoard;
  std::string toProgram;
  int wakeRead = -1;
  int wakeWrite = -1;
  std::thread thread;
  std::atomic<bool> stopping{false};
  Clock::time_point started = Clock::now();

  std::mutex mutex;
  int transcriptFd = -1;
};

void Relay::State::serve() {
  while (!stopping) {
    pollfd fds[4] = {
        {wakeRead, POLLIN, 0},
        {listenFd, POLLIN, 0},
        {board, static_cast<short>(POLLIN | (toBoard.empty() ? 0 : POLLOUT)), 0},
        {program.master(), static_cast<short>(POLLIN | (toProgram.empty() ? 0 : POLLOUT)), 0}};
    poll(fds, 4, IDLE_WAIT_MS);  // EINTR: just another round
    if (stopping) break;
    if (fds[1].revents & POLLIN) acceptBoard();
    if (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) fromBoard();
    if (fds[3].revents & POLLIN) fromProgram();
    writeSome(program.master(), toProgram, false);
    if (board >= 0 && !writeSome(board, toBoard, true)) disconnect();
  }
}

void Relay::State::acceptBoard() {
  int fd = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return;
  if (board >= 0) {
    close(fd);
    record("-- refused: a board is connected already");
    return;
  }
  board = fd;
  boardSpoke = false;
  record("-- connected");
}

// One read from the board, on its way to the program.
void Relay::State::fromBoard() {
  char buffer[4096];
  ssize_t n = read(board, buffer, sizeof buffer);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (n <= 0) {
    disconnect();
    return;
  }
  const std::string bytes(buffer, static_cast<std::size_t>(n));
  // What the program sent before the board's first byte could reach it
  // crossed that byte on the line, whichever of the two the relay took
  // first: it is lost too. From here on the program sees each byte at once.
  if (!boardSpoke) fromProgram();
  boardSpoke = true;
  toProgram += bytes;
  writeSome(program.master(), toProgram, false);
  record("-> \"" + escapeBytes(bytes) + "\"");
}

// One read from the program: lost until the board has printed.
void Relay::State::fromProgram() {
  char buffer[4096];
  ssize_t n = read(program.master(), buffer, sizeof buffer);
  if (n <= 0) return;  // EAGAIN; the relay holds the slave, so no hangup
  const std::string bytes(buffer, static_cast<std::size_t>(n));
  if (!boardSpoke) {
    record("-- dropped \"" + escapeBytes(bytes) + "\": the board has printed nothing yet");
    return;
  }
  record("<- \"" + escapeBytes(bytes) + "\"");
  toBoard += bytes;
  if (!writeSome(board, toBoard, true)) disconnect();
}

// The board is off again (the emulator ended): the next one starts afresh.
void Relay::State::disconnect() {
  close(board);
  board = -1;
  boardSpoke = false;
  toBoard.clear();
  record("-- disconnected");
}

void Relay::State::record(const std::string& event) {
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
  std::lock_guard<std::mutex> lock(mutex);
  if (transcriptFd >= 0) writeAll(transcriptFd, std::to_string(ms) + " ms " + event + "\n");
}

Relay::Relay(const std::string& socketPath) : state_(std::make_unique<State>(socketPath)) {
  int wake[2];
  if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) < 0) {
    const int error = errno;
    close(state_->listenFd);
    unlink(socketPath.c_str());
    errno = error;
    fail("pipe");
  }
  state_->wakeRead = wake[0];
  state_->wakeWrite = wake[1];
}

Relay::~Relay() {
  stop();
  if (state_->board >= 0) close(state_->board);
  close(state_->listenFd);
  unlink(state_->socketPath.c_str());
  close(state_->wakeRead);
  close(state_->wakeWrite);
}

const std::string& Relay::slavePath() const { return state_->program.slavePath(); }

void Relay::setTranscriptFd(int fd) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->transcriptFd = fd;
}

void Relay::start() {
  if (state_->thread.joinable()) return;
  state_->stopping = false;
  state_->started = Clock::now();
  state_->thread = std::thread([this] { state_->serve(); });
}

void Relay::stop() {
  if (!state_->thread.joinable()) return;
  state_->stopping = true;
  char wake = 0;
  (void)!write(state_->wakeWrite, &wake, 1);
  state_->thread.join();
}

}  // namespace modemsim
