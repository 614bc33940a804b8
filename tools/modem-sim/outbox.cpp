#include "outbox.h"

#include <algorithm>
#include <cerrno>

namespace modemsim {

void Outbox::add(std::string bytes, Clock::time_point notBefore, Clock::duration gap) {
  pieces_.push_back({std::move(bytes), notBefore, gap});
}

void Outbox::addAhead(std::string bytes, Clock::time_point now) {
  // Behind what has begun and what went ahead before, so echoes keep their order.
  auto at = std::find_if(pieces_.begin(), pieces_.end(),
                         [](const Piece& piece) { return !piece.started && !piece.ahead; });
  pieces_.insert(at, {std::move(bytes), now, {}, false, true});
}

Clock::time_point Outbox::due() const {
  const Piece& first = pieces_.front();
  if (first.started) return Clock::time_point{};
  return std::max(first.notBefore, lastFinished_ + first.gap);
}

void Outbox::flush(const Writer& write, Clock::time_point now,
                   const std::function<void(const std::string&)>& sent) {
  blocked_ = false;
  while (!empty() && due() <= now) {
    Piece& piece = pieces_.front();
    piece.started = true;
    if (!piece.bytes.empty()) {
      ssize_t written = write(piece.bytes.data(), piece.bytes.size());
      if (written < 0) {
        if (errno == EINTR) continue;
        // EAGAIN: no room now; EIO and the like: the line is gone for the
        // moment. Either way try again on the next round, never wait here.
        blocked_ = true;
        return;
      }
      sent(piece.bytes.substr(0, written));
      piece.bytes.erase(0, written);
      if (!piece.bytes.empty()) {
        blocked_ = true;
        return;
      }
    }
    lastFinished_ = Clock::now();
    pieces_.pop_front();
  }
}

}  // namespace modemsim
