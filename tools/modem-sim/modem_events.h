// What the modem does on its own, outside any dialogue, at a time a
// schedule or a test gives: it reboots, ends its session (an idle timeout),
// prints a notice, or its console vanishes for a while as a USB console does
// while the modem reboots. The serving loop carries them out in turn.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace modemsim {

using Clock = std::chrono::steady_clock;

struct Event {
  enum class Kind { Reboot, EndSession, Notice, Vanish };
  Kind kind = Kind::Reboot;
  bool countdown = false;  // Reboot, Vanish: the boot has a bootloader countdown
  std::string text;        // Notice: the line, sent with CR LF after it
  int goneMs = 0;          // Vanish: how long the console is gone
};

// An event at a time counted from the console's start.
struct TimedEvent {
  int atMs = 0;
  Event event;
};

// Parses "MS:EVENT", EVENT one of reboot, reboot-countdown, logout,
// notice:TEXT, vanish:MS, vanish-countdown:MS; false and error on anything
// else.
bool parseTimedEvent(const std::string& text, TimedEvent& timed, std::string& error);

// Events waiting for their time, in time order (the same time: in the order
// given); any thread may add, the serving thread takes them.
class EventQueue {
 public:
  void add(Event event, Clock::time_point at);
  // The first event due by now, if any.
  std::optional<Event> takeDue(Clock::time_point now);
  // When the next one is due; max() while none waits.
  Clock::time_point due() const;

 private:
  mutable std::mutex mutex_;
  std::multimap<Clock::time_point, Event> events_;
};

}  // namespace modemsim
