// Reading the console: what makes a chunk of its output, and collecting the
// prompts it still owes. The login and the prompt wait both read through here.
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "modem_setup.h"

namespace {

// The time of 20 characters is the gap two pieces of one answer may have
// between them; a chunk spans at most the time of CONSOLE_READ_MAX
// characters at that pace, so a console that trickles without pause still
// yields chunks.
constexpr int CHARACTERS_PER_GAP = 20;
constexpr int GAPS_PER_CHUNK = CONSOLE_READ_MAX / CHARACTERS_PER_GAP;
// The longest the prompts owed are collected for, however the console
// talks: the time of a prompt wait's budget.
constexpr unsigned OWED_COLLECT_MAX_MS = 2000;

}  // namespace

int chunkGapMs(int baudRate) {
  // 20 characters of 10 bits, rounded, and never under 20 ms: a UART hands
  // output over in FIFO bursts, a USB adapter at its latency timer's ticks.
  switch (baudRate) {
    case 2400: return 83;
    case 4800: return 42;
    case 9600: return 21;
    default: return 20;
  }
}

int readChunk(int fd, char* buffer, int gapMs, ChunkAwaited awaited) {
  int n = readWithTimeout(fd, buffer, CONSOLE_READ_MAX);
  unsigned start = monotonicMs();
  // A line hands over an answer in pieces: read on while the next follows
  // within the gap, unless what the caller waits for is already here.
  // A full buffer ends the chunk too: the read below then returns 0.
  while (n > 0 && !(awaited && awaited(chunkText(buffer, n)))) {
    int left = gapMs * GAPS_PER_CHUNK - static_cast<int>(monotonicMs() - start);
    if (left <= 0) break;
    pollfd port = {fd, POLLIN, 0};
    if (poll(&port, 1, left < gapMs ? left : gapMs) <= 0) break;
    ssize_t more = read(fd, buffer + n, static_cast<size_t>(CONSOLE_READ_MAX - n));
    if (more <= 0) break;  // a hangup or a failure shows at the next poll
    n += static_cast<int>(more);
  }
  return n;
}

void collectOwedPrompts(int fd, int owedPrompts, int gapMs, int quietPolls, bool debug) {
  char buffer[CONSOLE_READ_MAX + 1];
  int silentPolls = 0;
  unsigned start = monotonicMs();
  while (owedPrompts > 0 && silentPolls < quietPolls &&
         monotonicMs() - start < OWED_COLLECT_MAX_MS && !stopPending()) {
    int n = readChunk(fd, buffer, gapMs, nullptr);
    if (n < 0) return;
    if (n == 0) {
      ++silentPolls;
      continue;
    }
    silentPolls = 0;
    std::string chunk = chunkText(buffer, n);
    owedPrompts -= countPromptLines(chunk);
    if (debug) printf("+++ <%s>\n", chunk.c_str());
  }
}

int openSignals() {
  sigset_t signals = {};
  for (int signal : {SIGHUP, SIGTERM, SIGINT}) sigaddset(&signals, signal);
  // Taken only where the wait or the watch looks for them: a stop between
  // two polls is never lost, and nothing runs inside a handler.
  if (sigprocmask(SIG_BLOCK, &signals, nullptr) != 0) return -1;
  return signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
}

bool stopPending() {
  sigset_t pending;
  return sigpending(&pending) == 0 &&
         (sigismember(&pending, SIGTERM) == 1 || sigismember(&pending, SIGINT) == 1);
}

ConsoleEvent awaitConsole(const ConsoleSession& session, int timeoutMs) {
  // Outcome commands that have ended since the last wake are collected now.
  collectOutcomeCommands();
  pollfd waits[2] = {{session.port, POLLIN, 0}, {session.signals, POLLIN, 0}};
  // A failed poll (EINTR after a stop and continue) reads as quiet: the
  // callers check the time before they act on it.
  if (poll(waits, 2, timeoutMs) <= 0) return ConsoleEvent::Quiet;
  signalfd_siginfo signal;
  if ((waits[1].revents & POLLIN) && read(session.signals, &signal, sizeof signal) > 0)
    return signal.ssi_signo == SIGHUP ? ConsoleEvent::Reload : ConsoleEvent::Stop;
  // Else a hung-up line, a vanished USB adapter, a closed descriptor.
  return (waits[0].revents & POLLIN) ? ConsoleEvent::Output : ConsoleEvent::Gone;
}
