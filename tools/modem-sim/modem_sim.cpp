// The simulator's serving thread: reads what the program sends, lets the
// console react, and sends the reactions out on time without ever blocking.
#include "modem_sim.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <random>
#include <system_error>
#include <thread>

#include "console.h"
#include "escapes.h"
#include "line_model.h"
#include "outbox.h"
#include "pty.h"
#include "read_quota.h"

namespace modemsim {

using std::chrono::milliseconds;

namespace {

// Longest sleep of the serving loop when nothing is due; stop() wakes it anyway.
constexpr milliseconds IDLE_WAIT{100};
// How often to retry a write that found no room, and to look at a master
// that reports a hangup.
constexpr milliseconds RETRY_WAIT{10};
constexpr milliseconds CHATTER_INTERVAL{1};
// On stop, input still arriving is read for this long at most, until it has
// been quiet for DRAIN_QUIET.
constexpr milliseconds DRAIN_LIMIT{50};
constexpr milliseconds DRAIN_QUIET{10};

void writeAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // a transcript that cannot be written is not worth stopping for
    done += static_cast<std::size_t>(n);
  }
}

// A wait as precise as the line model needs: a 115200 bit/s UART hands over
// a burst every 0.7 ms.
timespec pollTimeout(Clock::time_point now, Clock::time_point until) {
  if (until <= now) return {0, 0};
  auto wait = std::chrono::ceil<std::chrono::microseconds>(until - now);
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(wait);
  return {static_cast<time_t>(seconds.count()),
          static_cast<long>(std::chrono::nanoseconds(wait - seconds).count())};
}

int pollTimeoutMs(Clock::time_point now, Clock::time_point until) {
  if (until <= now) return 0;
  // Round up, so a wait for something due in 0.3 ms does not spin.
  auto wait = std::chrono::ceil<milliseconds>(until - now);
  return static_cast<int>(wait.count());
}

}  // namespace

struct ModemSim::State {
  explicit State(Options opts)
      : options(std::move(opts)), console(options), quota(options.readBytesPerSecond) {}

  void serve();
  std::size_t readLimit(Clock::time_point now);
  Clock::time_point readableAgain(Clock::time_point now);
  ssize_t readFromProgram(Clock::time_point now, std::size_t limit);
  bool react(Reaction& reaction, std::string& echo, Clock::time_point now);
  void hangUp();
  void drainInput();
  void queueAnswer(const Answer& answer, int timeMs, Clock::time_point now,
                   const std::string& takeUpEcho);
  ssize_t toLine(const char* bytes, std::size_t size, Clock::time_point now);
  void flushLine(Clock::time_point now);
  // The modelled line still holds bursts it has not handed over.
  bool lineBusy() const { return line.holding() || !wire.empty(); }
  void sendChatter(Clock::time_point now);
  void advanceBoot(Clock::time_point now);
  void drainWake();
  void happen(const Event& event, Clock::time_point now);
  void bootAgain(bool countdown, Clock::time_point now);
  void dropOutput();
  void waitWhileGone();
  void log(const char* direction, const std::string& bytes);
  void record(const std::string& event);

  const Options options;
  Pty pty{options.device, options.deviceSpeed, options.link};
  EventQueue events;
  int wakeRead = -1;
  int wakeWrite = -1;
  std::thread thread;
  std::atomic<bool> stopping{false};
  std::atomic<bool> hungUp{false};

  // Used by the serving thread only.
  Console console;
  Outbox outbox;
  // The line model, unless every write goes to the master whole, and the
  // bursts it handed over that the master has not taken yet.
  const bool paced = options.line.kind != LineSettings::Kind::Whole;
  LineModel line{options.line, Clock::now()};
  std::deque<std::string> wire;
  ReadQuota quota;
  Clock::time_point restMasterUntil{};  // after EIO: no slave side for now
  Clock::time_point nextChatter{};
  Clock::time_point busyUntil{};  // when the console is through with its last line
  long chatterCount = 0;
  std::minstd_rand garbage{20240601};
  std::optional<BootModel> booting;  // until the modem has booted, if it boots at all
  bool scheduled = false;            // options.events are in the queue
  bool gone = false;                 // vanished: the terminal is back at backAt
  Clock::time_point backAt{};
  bool backWithCountdown = false;
  std::size_t bytesRead = 0;
  bool stallBegun = false;
  Clock::time_point stallUntil{};

  // The records, read by other threads while serving goes on.
  mutable std::mutex mutex;
  std::string received;
  std::vector<std::string> commands;
  std::string transcript;
  int transcriptFd = -1;
  std::string slavePath{pty.slavePath()};
};

void ModemSim::State::serve() {
  const bool chatter = options.chatter && !options.silent;
  // A console that falls mute (muteAfterCommands) starts talking only then,
  // once its last answer is out: a modem that answers a few lines, then
  // dumps a log for good.
  auto talking = [&](Clock::time_point now) {
    return chatter && (options.muteAfterCommands == 0 ||
                       (console.muted() && outbox.empty() && now >= busyUntil));
  };
  nextChatter = Clock::now();
  // The simulator holds the slave open, so this waits in the line for
  // whoever opens it next.
  if (!options.leftover.empty()) outbox.add(options.leftover, Clock::now());
  if (!scheduled) {
    if (options.boot.enabled()) booting.emplace(options.boot, Clock::now());
    for (const TimedEvent& timed : options.events)
      events.add(timed.event, Clock::now() + milliseconds(timed.atMs));
    scheduled = true;
  }
  while (!stopping) {
    if (pty.hungUp()) {
      waitWhileGone();
      continue;
    }
    Clock::time_point now = Clock::now();
    Clock::time_point wakeAt = now + IDLE_WAIT;

    const bool resting = now < restMasterUntil;
    bool wantRead = !resting && readLimit(now) > 0;
    if (resting) wakeAt = std::min(wakeAt, restMasterUntil);
    else if (!wantRead) wakeAt = std::min(wakeAt, readableAgain(now));

    bool wantWrite = false;
    if (!outbox.empty()) {
      wantWrite = !resting && outbox.blocked();
      wakeAt = std::min(wakeAt, outbox.blocked() ? now + RETRY_WAIT : outbox.due());
    }
    if (!wire.empty()) {
      wantWrite = !resting;
      wakeAt = std::min(wakeAt, now + RETRY_WAIT);
    }
    if (line.holding()) wakeAt = std::min(wakeAt, line.due());
    if (talking(now)) wakeAt = std::min(wakeAt, nextChatter);
    if (booting) wakeAt = std::min(wakeAt, booting->due());
    wakeAt = std::min(wakeAt, events.due());

    // A master with nothing wanted stays out of the poll: a hangup would
    // otherwise wake it at once, over and over.
    auto masterEvents = static_cast<short>((wantRead ? POLLIN : 0) | (wantWrite ? POLLOUT : 0));
    pollfd fds[2] = {{wakeRead, POLLIN, 0}, {masterEvents ? pty.master() : -1, masterEvents, 0}};
    timespec timeout = pollTimeout(now, wakeAt);
    ppoll(fds, 2, &timeout, nullptr);  // EINTR: just another round
    if (stopping) break;
    if (fds[0].revents & POLLIN) drainWake();

    now = Clock::now();
    while (std::optional<Event> event = events.takeDue(now)) happen(*event, now);
    if (pty.hungUp()) continue;
    if (fds[1].revents & POLLIN) {
      if (std::size_t limit = readLimit(now)) readFromProgram(now, limit);
    } else if (fds[1].revents & (POLLHUP | POLLERR)) {
      restMasterUntil = now + RETRY_WAIT;
    }
    if (pty.hungUp()) continue;
    outbox.flush(
        [this, now](const char* bytes, std::size_t size) { return toLine(bytes, size, now); }, now,
        [this](const std::string& sent) {
          if (!paced) log("->", sent);
        });
    if (paced) flushLine(now);
    if (booting) advanceBoot(now);
    if (talking(now) && now >= nextChatter) sendChatter(now);
  }
  drainInput();
}

// How many bytes may be read now: the rate limit and the stall both apply.
std::size_t ModemSim::State::readLimit(Clock::time_point now) {
  std::size_t limit = quota.allowance(now);
  if (options.stallMs == 0) return limit;
  const std::size_t stallAt = static_cast<std::size_t>(std::max(0L, options.stallAfterBytes));
  if (!stallBegun && bytesRead >= stallAt) {
    stallBegun = true;
    stallUntil =
        options.stallMs < 0 ? Clock::time_point::max() : now + milliseconds(options.stallMs);
  }
  if (stallBegun) return now < stallUntil ? 0 : limit;
  return std::min(limit, stallAt - bytesRead);
}

Clock::time_point ModemSim::State::readableAgain(Clock::time_point now) {
  if (stallBegun && now < stallUntil) return stallUntil;
  return now + quota.untilNext(now);
}

// What the program wrote just before the stop (its last command, say, right
// before it exited) still belongs in the records; unless the console no
// longer reads at all.
void ModemSim::State::drainInput() {
  const Clock::time_point giveUp = Clock::now() + DRAIN_LIMIT;
  for (Clock::time_point now = Clock::now(); now < giveUp && !pty.hungUp(); now = Clock::now()) {
    if (stallBegun && stallUntil == Clock::time_point::max()) return;
    pollfd master = {pty.master(), POLLIN, 0};
    int wait = std::min(pollTimeoutMs(now, giveUp), static_cast<int>(DRAIN_QUIET.count()));
    if (poll(&master, 1, wait) <= 0 || !(master.revents & POLLIN)) return;
    if (readFromProgram(now, SIZE_MAX) <= 0) return;
  }
}

// Reads at most limit bytes and lets the console react; returns what read() did.
ssize_t ModemSim::State::readFromProgram(Clock::time_point now, std::size_t limit) {
  char buffer[4096];
  ssize_t n = read(pty.master(), buffer, std::min(sizeof buffer, limit));
  if (n == 0 || (n < 0 && errno == EIO)) {
    // Nobody on the slave side: keep polling, gently.
    restMasterUntil = now + RETRY_WAIT;
    return n;
  }
  if (n < 0) return n;  // EAGAIN, EINTR: nothing this time
  quota.used(static_cast<std::size_t>(n));
  bytesRead += static_cast<std::size_t>(n);

  std::string bytes(buffer, static_cast<std::size_t>(n));
  {
    std::lock_guard<std::mutex> lock(mutex);
    received += bytes;
  }
  log("<-", bytes);
  if (booting) {
    BootModel::Output output = booting->receive(bytes);
    if (!output.note.empty()) record(output.note + "\n");
    if (!output.bytes.empty()) outbox.add(std::move(output.bytes), now);
    return n;
  }

  // Echo collects over the whole read, so it goes out as one piece ahead of
  // any answer it precedes. Text between newlines is taken in one go.
  std::string echo;
  for (std::size_t at = 0; at < bytes.size();) {
    std::size_t newline = bytes.find('\n', at);
    std::size_t end = newline == std::string::npos ? bytes.size() : newline;
    echo += console.receiveText(bytes.data() + at, end - at);
    if (newline == std::string::npos) break;
    Reaction reaction = console.receive('\n');
    if (react(reaction, echo, now)) return n;
    at = newline + 1;
  }
  if (std::optional<Reaction> eager = console.endOfRead()) {
    if (react(*eager, echo, now)) return n;
  }
  if (!echo.empty()) outbox.addAhead(std::move(echo), now);
  return n;
}

// Records a completed line and queues its answer; true when the console hung up.
bool ModemSim::State::react(Reaction& reaction, std::string& echo, Clock::time_point now) {
  echo += reaction.echo;
  if (reaction.command) {
    std::lock_guard<std::mutex> lock(mutex);
    commands.push_back(std::move(*reaction.command));
  }
  if (reaction.hangUp) {
    hangUp();
    return true;
  }
  if (reaction.answer) {
    if (!echo.empty()) outbox.addAhead(std::move(echo), now);
    echo.clear();
    queueAnswer(*reaction.answer, reaction.timeMs, now, reaction.takeUpEcho);
  }
  return false;
}

void ModemSim::State::hangUp() {
  dropOutput();
  pty.hangUp();
  hungUp = true;
  record("-- hangup\n");
}

// The console takes up a line once it is through with the one before.
void ModemSim::State::queueAnswer(const Answer& answer, int timeMs, Clock::time_point now,
                                  const std::string& takeUpEcho) {
  const Clock::time_point takeUp = std::max(now, busyUntil);
  if (!takeUpEcho.empty()) outbox.add(takeUpEcho, takeUp);
  const Clock::time_point notBefore = takeUp + milliseconds(timeMs);
  busyUntil = notBefore;
  const Clock::duration pause = milliseconds(std::max(0, options.splitPauseMs));
  const std::size_t split = options.splitBytes > 0 ? options.splitBytes : std::string::npos;

  // Split answers keep the pause from whatever went out before, too, so no
  // piece shares a read with the end of an earlier answer.
  Clock::duration gap = options.splitBytes > 0 ? pause : Clock::duration{};
  for (const std::string& piece : answer) {
    std::size_t at = 0;
    do {
      outbox.add(piece.substr(at, split), notBefore, gap);
      gap = pause;
      if (split == std::string::npos) break;
      at += split;
    } while (at < piece.size());
  }
}

// Where the console's output goes: straight to the master, or onto the
// modelled line, which takes everything.
ssize_t ModemSim::State::toLine(const char* bytes, std::size_t size, Clock::time_point now) {
  if (!paced) return write(pty.master(), bytes, size);
  line.send(std::string(bytes, size), now);
  return static_cast<ssize_t>(size);
}

// Writes the bursts the line has handed over by now, each on its own, so the
// transcript shows them as the program could get them.
void ModemSim::State::flushLine(Clock::time_point now) {
  for (std::string& burst : line.take(now)) wire.push_back(std::move(burst));
  while (!wire.empty()) {
    std::string& burst = wire.front();
    ssize_t n = write(pty.master(), burst.data(), burst.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // no room, or nobody there: the next round tries again
    log("->", burst.substr(0, static_cast<std::size_t>(n)));
    burst.erase(0, static_cast<std::size_t>(n));
    if (!burst.empty()) return;
    wire.pop_front();
  }
}

// The modem's boot, until the console takes over with its first prompt.
void ModemSim::State::advanceBoot(Clock::time_point now) {
  const bool lineIdle = outbox.empty() && !lineBusy();
  for (BootModel::Output& output : booting->advance(now, lineIdle)) {
    if (!output.note.empty()) record(output.note + "\n");
    if (!output.bytes.empty()) outbox.add(std::move(output.bytes), now);
  }
  if (!booting->booted()) return;
  booting.reset();
  std::string greeting = console.greeting();
  if (!greeting.empty()) outbox.add(std::move(greeting), now);
}

void ModemSim::State::drainWake() {
  char drained[64];
  while (read(wakeRead, drained, sizeof drained) > 0) {
  }
}

// What the modem does on its own; nothing of it while its console is gone.
void ModemSim::State::happen(const Event& event, Clock::time_point now) {
  static const char* const NAMES[] = {"reboot", "end of the session", "notice", "vanish"};
  if (pty.hungUp()) {
    record(std::string("-- lost: the ") + NAMES[static_cast<int>(event.kind)] +
           (gone ? ", the console is gone\n" : ", the line has hung up\n"));
    return;
  }
  switch (event.kind) {
    case Event::Kind::Reboot:
      record("-- rebooting: the session is gone, the modem is off for " +
             std::to_string(options.boot.rebootOffMs) + " ms\n");
      bootAgain(event.countdown, now);
      break;
    case Event::Kind::EndSession:
      if (booting) {
        record("-- no session to end: the modem is booting\n");
        break;
      }
      record("-- session ended by the modem: back at its login\n");
      if (std::string text = console.endSession(); !text.empty())
        outbox.add(std::move(text), std::max(now, busyUntil));
      break;
    case Event::Kind::Notice:
      record("-- notice: " + escapeBytes(event.text) + "\n");
      outbox.add(event.text + "\r\n", std::max(now, busyUntil));
      break;
    case Event::Kind::Vanish:
      record("-- vanished: the console is gone for " + std::to_string(event.goneMs) + " ms\n");
      dropOutput();
      booting.reset();
      pty.vanish();
      gone = true;
      backAt = now + milliseconds(event.goneMs);
      backWithCountdown = event.countdown;
      break;
  }
}

// A boot after a reboot or a vanish: whatever the console was doing is over.
void ModemSim::State::bootAgain(bool countdown, Clock::time_point now) {
  dropOutput();
  busyUntil = now;
  console.restart();
  booting.emplace(rebootSettings(options.boot, countdown), now);
}

// What was still to go out never will.
void ModemSim::State::dropOutput() {
  outbox = Outbox();
  line.clear();
  wire.clear();
}

// The terminal is gone: for good after a hangup (until the stop), or until
// a vanished console is back.
void ModemSim::State::waitWhileGone() {
  Clock::time_point now = Clock::now();
  const Clock::time_point wakeAt =
      std::min({now + IDLE_WAIT, gone ? backAt : Clock::time_point::max(), events.due()});
  pollfd wake = {wakeRead, POLLIN, 0};
  poll(&wake, 1, pollTimeoutMs(now, wakeAt));
  if (wake.revents & POLLIN) drainWake();
  now = Clock::now();
  while (std::optional<Event> event = events.takeDue(now)) happen(*event, now);
  if (!gone || now < backAt) return;
  try {
    pty.reappear();
  } catch (const std::system_error& error) {
    record(std::string("-- not back: ") + error.what() + "\n");
    gone = false;  // hung up for good
    hungUp = true;
    return;
  }
  gone = false;
  restMasterUntil = {};
  {
    std::lock_guard<std::mutex> lock(mutex);
    slavePath = pty.slavePath();
  }
  record("-- back: a new console at " + pty.slavePath() + "\n");
  bootAgain(backWithCountdown, now);
}

void ModemSim::State::sendChatter(Clock::time_point now) {
  nextChatter = now + CHATTER_INTERVAL;
  // Never cut into an answer that is half written.
  if (outbox.midPiece()) return;
  // A modelled line talks at its own pace: the next line goes onto it once
  // it has handed over the last, so the reader gets bursts without pause.
  if (paced && lineBusy()) return;
  ++chatterCount;
  std::string noise;
  if (options.garbage) {
    static const char SPECIAL[] = {'\0', '\r', '\n', '\xff'};
    noise.resize(1 + garbage() % 64);
    for (char& byte : noise) {
      auto value = static_cast<unsigned>(garbage());
      byte = value % 4 == 0 ? SPECIAL[(value >> 2) % 4] : static_cast<char>(value >> 8);
      if (byte == '>') byte = '\0';  // so no line can ever be the prompt
    }
  } else {
    noise = "noise " + std::to_string(chatterCount) + "\r\n";
  }
  if (paced) {
    line.send(noise, now);  // the transcript shows its bursts as they go out
    return;
  }
  ssize_t n = write(pty.master(), noise.data(), noise.size());
  // No room (EAGAIN): this line is simply dropped.
  if (n > 0) log("->", noise.substr(0, static_cast<std::size_t>(n)));
}

void ModemSim::State::log(const char* direction, const std::string& bytes) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (!options.keepTranscript && transcriptFd < 0) return;  // nobody would see it
  }
  std::string event = std::string(direction) + " \"";
  const std::size_t most = options.transcriptEventMax;
  if (most > 0 && bytes.size() > most) {
    const std::size_t head = (most + 1) / 2;
    const std::size_t tail = most - head;
    event += escapeBytes(bytes.substr(0, head)) + "\" ... " +
             std::to_string(bytes.size() - head - tail) + " bytes ... \"" +
             escapeBytes(bytes.substr(bytes.size() - tail));
  } else {
    event += escapeBytes(bytes);
  }
  record(event + "\"\n");
}

void ModemSim::State::record(const std::string& event) {
  std::lock_guard<std::mutex> lock(mutex);
  if (options.keepTranscript) transcript += event;
  if (transcriptFd >= 0) writeAll(transcriptFd, event);
}

ModemSim::ModemSim(Options options) : state_(std::make_unique<State>(std::move(options))) {
  int wake[2];
  if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) < 0) {
    throw std::system_error(errno, std::generic_category(), "pipe");
  }
  state_->wakeRead = wake[0];
  state_->wakeWrite = wake[1];
}

ModemSim::~ModemSim() {
  stop();
  close(state_->wakeRead);
  close(state_->wakeWrite);
}

std::string ModemSim::slavePath() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->slavePath;
}

std::string ModemSim::path() const {
  return state_->options.link.empty() ? slavePath() : state_->options.link;
}

int ModemSim::slaveFd() const { return state_->pty.slave(); }

bool ModemSim::hungUp() const { return state_->hungUp; }

void ModemSim::start() {
  if (state_->thread.joinable()) return;
  char drained;
  while (read(state_->wakeRead, &drained, 1) > 0) {
  }
  state_->stopping = false;
  state_->thread = std::thread([this] { state_->serve(); });
}

void ModemSim::stop() {
  if (!state_->thread.joinable()) return;
  state_->stopping = true;
  char wake = 0;
  (void)!write(state_->wakeWrite, &wake, 1);
  state_->thread.join();
}

std::string ModemSim::received() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->received;
}

std::vector<std::string> ModemSim::commands() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->commands;
}

std::string ModemSim::transcript() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->transcript;
}

void ModemSim::setTranscriptFd(int fd) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->transcriptFd = fd;
}

void ModemSim::reboot(bool countdown) {
  Event event;
  event.countdown = countdown;
  happenNow(event);
}

void ModemSim::endSession() {
  Event event;
  event.kind = Event::Kind::EndSession;
  happenNow(event);
}

void ModemSim::notice(const std::string& text) {
  Event event;
  event.kind = Event::Kind::Notice;
  event.text = text;
  happenNow(event);
}

void ModemSim::vanish(int goneMs, bool countdown) {
  Event event;
  event.kind = Event::Kind::Vanish;
  event.goneMs = goneMs;
  event.countdown = countdown;
  happenNow(event);
}

void ModemSim::happenNow(const Event& event) {
  state_->events.add(event, Clock::now());
  char wake = 0;
  (void)!write(state_->wakeWrite, &wake, 1);
}

}  // namespace modemsim
