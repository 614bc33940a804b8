#include "recorder.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "fd_writes.h"
#include "pty.h"
#include "recording.h"

namespace modemsim {

namespace {

using std::chrono::milliseconds;

constexpr int IDLE_WAIT_MS = 100;
// On stop, bytes still arriving are taken in until both sides have been
// quiet for DRAIN_QUIET; while lines the program sent are still unanswered,
// until the modem has been quiet for ANSWER_WAIT (as long as the program
// waits for a prompt), so the recording holds what the modem made of them.
// Never longer than DRAIN_LIMIT.
constexpr milliseconds DRAIN_QUIET{10};
constexpr milliseconds ANSWER_WAIT{2000};
constexpr milliseconds DRAIN_LIMIT{10000};

[[noreturn]] void fail(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

// "dir/name" becomes "dir/.name.XXXXXX", a name mkstemp makes unique.
std::string temporaryName(const std::string& file) {
  std::size_t slash = file.rfind('/');
  std::string dir = slash == std::string::npos ? "" : file.substr(0, slash + 1);
  std::string name = slash == std::string::npos ? file : file.substr(slash + 1);
  return dir + "." + name + ".XXXXXX";
}

}  // namespace

struct Recorder::State {
  State(const std::string& file, const std::string& device, int bitsPerSecond)
      : file(file), device(device), bitsPerSecond(bitsPerSecond), modem(device, bitsPerSecond) {}

  void serve();
  bool fromProgram();
  bool fromModem();
  void modemHungUp(const std::string& why);
  void drain();
  void record(const char* direction, const std::string& shown);

  const std::string file;
  const std::string device;
  const int bitsPerSecond;
  Pty modem;    // the real modem's serial device
  Pty program;  // a new pty pair: the program under test opens its slave
  std::string temporary;
  int temporaryFd = -1;
  int wakeRead = -1;
  int wakeWrite = -1;
  std::thread thread;
  std::atomic<bool> stopping{false};

  // Used by the forwarding thread, then by save once it has stopped.
  SessionRecording session;
  std::string toModem;
  std::string toProgram;
  std::string modemGone;  // why the modem's line went away; empty while it is there

  std::mutex mutex;
  int transcriptFd = -1;
};

void Recorder::State::serve() {
  while (!stopping) {
    const bool modemThere = modemGone.empty();
    pollfd fds[3] = {
        {wakeRead, POLLIN, 0},
        {program.master(), static_cast<short>(POLLIN | (toProgram.empty() ? 0 : POLLOUT)), 0},
        {modemThere ? modem.master() : -1,
         static_cast<short>(POLLIN | (toModem.empty() ? 0 : POLLOUT)), 0}};
    poll(fds, 3, IDLE_WAIT_MS);  // EINTR: just another round
    if (stopping) break;
    if (fds[1].revents & POLLIN) fromProgram();
    if (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) fromModem();
    if (!program.hungUp()) writeSome(program.master(), toProgram);
    if (modemGone.empty() && !writeSome(modem.master(), toModem)) {
      modemHungUp(std::strerror(errno));
    }
  }
  drain();
}

// One read from the program, on its way to the modem; false when nothing came.
bool Recorder::State::fromProgram() {
  if (program.hungUp()) return false;
  char buffer[4096];
  ssize_t n = read(program.master(), buffer, sizeof buffer);
  if (n <= 0) return false;  // EAGAIN; the simulator holds the slave, so no hangup
  const std::string bytes(buffer, static_cast<std::size_t>(n));
  record("<-", session.fromProgram(bytes, Clock::now()));
  if (!modemGone.empty()) return true;  // nobody to take them
  toModem += bytes;
  if (!writeSome(modem.master(), toModem)) modemHungUp(std::strerror(errno));
  return true;
}

// One read from the modem, on its way to the program; false when nothing came.
bool Recorder::State::fromModem() {
  if (!modemGone.empty()) return false;
  char buffer[4096];
  ssize_t n = read(modem.master(), buffer, sizeof buffer);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return false;
  if (n <= 0) {
    modemHungUp(n == 0 ? "end of file" : std::strerror(errno));
    return false;
  }
  const std::string bytes(buffer, static_cast<std::size_t>(n));
  record("->", session.fromModem(bytes, Clock::now()));
  toProgram += bytes;
  if (!program.hungUp()) writeSome(program.master(), toProgram);
  return true;
}

// The program's line goes the way the modem's went: it sees the hangup.
void Recorder::State::modemHungUp(const std::string& why) {
  modemGone = why;
  toModem.clear();
  std::lock_guard<std::mutex> lock(mutex);
  if (transcriptFd >= 0) writeAll(transcriptFd, "-- hangup\n");
  program.hangUp();
}

void Recorder::State::drain() {
  const Clock::time_point giveUp = Clock::now() + DRAIN_LIMIT;
  Clock::time_point quietUntil = Clock::now();
  for (Clock::time_point now = Clock::now(); now < giveUp; now = Clock::now()) {
    if (session.waiting()) quietUntil = std::max(quietUntil, now + ANSWER_WAIT);
    else quietUntil = std::min(quietUntil, now + DRAIN_QUIET);
    if (now >= quietUntil || !modemGone.empty()) break;
    pollfd fds[2] = {{program.hungUp() ? -1 : program.master(), POLLIN, 0},
                     {modem.master(), POLLIN, 0}};
    auto wait = std::chrono::ceil<milliseconds>(std::min(quietUntil, giveUp) - now);
    if (poll(fds, 2, static_cast<int>(wait.count())) <= 0) break;
    bool any = false;
    if (fds[0].revents & POLLIN) any |= fromProgram();
    if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) any |= fromModem();
    if (!any) break;
    // Something came: the quiet starts again.
    quietUntil = Clock::now() + (session.waiting() ? ANSWER_WAIT : DRAIN_QUIET);
  }
  std::string rest = session.transcriptRest();
  if (!rest.empty()) record("->", rest);
}

void Recorder::State::record(const char* direction, const std::string& shown) {
  std::lock_guard<std::mutex> lock(mutex);
  if (transcriptFd >= 0) writeAll(transcriptFd, std::string(direction) + " \"" + shown + "\"\n");
}

Recorder::Recorder(const std::string& file, const std::string& device, int bitsPerSecond)
    : state_(std::make_unique<State>(file, device, bitsPerSecond)) {
  struct stat existing {};
  if (stat(file.c_str(), &existing) == 0 && S_ISDIR(existing.st_mode)) {
    errno = EISDIR;
    fail("cannot write recording '" + file + "'");
  }
  std::string temporary = temporaryName(file);
  int fd = mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) fail("cannot write recording '" + file + "'");
  state_->temporary = temporary;
  state_->temporaryFd = fd;

  int wake[2];
  if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) < 0) fail("pipe");
  state_->wakeRead = wake[0];
  state_->wakeWrite = wake[1];
}

Recorder::~Recorder() {
  stop();
  if (state_->temporaryFd >= 0) {
    close(state_->temporaryFd);
    unlink(state_->temporary.c_str());
  }
  if (state_->wakeRead >= 0) close(state_->wakeRead);
  if (state_->wakeWrite >= 0) close(state_->wakeWrite);
}

const std::string& Recorder::slavePath() const { return state_->program.slavePath(); }

void Recorder::setTranscriptFd(int fd) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->transcriptFd = fd;
}

void Recorder::start() {
  if (state_->thread.joinable()) return;
  state_->stopping = false;
  state_->thread = std::thread([this] { state_->serve(); });
}

void Recorder::stop() {
  if (!state_->thread.joinable()) return;
  state_->stopping = true;
  char wake = 0;
  (void)!write(state_->wakeWrite, &wake, 1);
  state_->thread.join();
}

void Recorder::save() {
  stop();
  State& s = *state_;
  const std::string notWritten = "recording '" + s.file + "' not written: ";
  if (!s.modemGone.empty()) {
    throw std::runtime_error(notWritten + "the modem's line " + s.device + " hung up (" +
                             s.modemGone + ")");
  }
  if (s.temporaryFd < 0) throw std::runtime_error(notWritten + "saved already");
  const std::string header =
      "# The console of the modem on " + s.device + " at " + std::to_string(s.bitsPerSecond) +
      " bit/s, recorded by modem-sim --record.\n"
      "# Replay: modem-sim -r FILE. Each answer goes out whole once its time\n"
      "# (=>@MS) has passed; to cut answers as a serial line does, add a\n"
      "# serial-line model (-M uart:RATE, -M cut:MAX_MS). \"# in N reads\" shows\n"
      "# how this line cut one. @login, @user, @password: the modem's answers\n"
      "# at its login, in turn; \\P: the password the program sent (never recorded).\n";
  const std::string text = s.session.replyFile(header);

  // Nothing half written: the file appears whole, or not at all.
  mode_t mask = umask(0);
  umask(mask);
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(s.temporaryFd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  const bool ok =
      done == text.size() && fchmod(s.temporaryFd, 0666 & ~mask) == 0 && fsync(s.temporaryFd) == 0;
  const int error = errno;
  close(s.temporaryFd);
  s.temporaryFd = -1;
  if (!ok || rename(s.temporary.c_str(), s.file.c_str()) < 0) {
    const int why = ok ? errno : error;
    unlink(s.temporary.c_str());
    throw std::runtime_error(notWritten + std::strerror(why));
  }
}

}  // namespace modemsim
