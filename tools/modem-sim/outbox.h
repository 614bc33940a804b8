// Bytes waiting to go out to the line (the pty master, or the line model), in
// order and on time, written without ever blocking: whatever the other side
// does not take yet waits here.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <deque>
#include <functional>
#include <string>

namespace modemsim {

using Clock = std::chrono::steady_clock;

class Outbox {
 public:
  // Queues a piece to go out no earlier than notBefore, and at least gap
  // after the piece before it has gone out completely.
  void add(std::string bytes, Clock::time_point notBefore, Clock::duration gap = {});
  // Queues bytes to go out at once, ahead of every piece not begun yet (a
  // terminal's echo does not wait for the answers still being worked on).
  void addAhead(std::string bytes, Clock::time_point now);

  bool empty() const { return pieces_.empty(); }
  bool midPiece() const { return !empty() && pieces_.front().started; }
  bool blocked() const { return blocked_; }  // the last write found no room
  Clock::time_point due() const;             // when the first piece may go

  // Takes bytes like write(2): how many it took, or -1 with errno set.
  using Writer = std::function<ssize_t(const char* bytes, std::size_t size)>;
  // Writes every piece that is due and fits; reports each write to sent.
  void flush(const Writer& write, Clock::time_point now,
             const std::function<void(const std::string&)>& sent);

 private:
  struct Piece {
    std::string bytes;
    Clock::time_point notBefore;
    Clock::duration gap;
    bool started = false;
    bool ahead = false;  // queued by addAhead
  };
  std::deque<Piece> pieces_;
  Clock::time_point lastFinished_{};
  bool blocked_ = false;
};

}  // namespace modemsim
