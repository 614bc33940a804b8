#include "modem_events.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace modemsim {

namespace {

// A count of milliseconds, the whole of text.
bool parseMs(const std::string& text, int& ms) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  long value = std::strtol(text.c_str(), nullptr, 10);
  if (errno != 0 || value > INT_MAX) return false;
  ms = static_cast<int>(value);
  return true;
}

}  // namespace

bool parseTimedEvent(const std::string& text, TimedEvent& timed, std::string& error) {
  error =
      "MS:EVENT, EVENT one of reboot, reboot-countdown, logout, notice:TEXT, vanish:MS, "
      "vanish-countdown:MS";
  const std::size_t colon = text.find(':');
  if (colon == std::string::npos || !parseMs(text.substr(0, colon), timed.atMs)) return false;
  const std::string what = text.substr(colon + 1);
  const std::size_t argumentAt = what.find(':');
  const std::string name = what.substr(0, argumentAt);
  const std::string argument = argumentAt == std::string::npos ? "" : what.substr(argumentAt + 1);
  Event& event = timed.event;
  event = Event();
  if (name == "notice" && argumentAt != std::string::npos) {
    event.kind = Event::Kind::Notice;
    event.text = argument;
  } else if (argumentAt != std::string::npos) {
    event.kind = Event::Kind::Vanish;
    event.countdown = name == "vanish-countdown";
    if (name != "vanish" && !event.countdown) return false;
    if (!parseMs(argument, event.goneMs)) return false;
  } else if (name == "reboot" || name == "reboot-countdown") {
    event.countdown = name == "reboot-countdown";
  } else if (name == "logout") {
    event.kind = Event::Kind::EndSession;
  } else {
    return false;
  }
  error.clear();
  return true;
}

void EventQueue::add(Event event, Clock::time_point at) {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.emplace(at, std::move(event));  // behind those of the same time
}

std::optional<Event> EventQueue::takeDue(Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (events_.empty() || events_.begin()->first > now) return std::nullopt;
  Event event = std::move(events_.begin()->second);
  events_.erase(events_.begin());
  return event;
}

Clock::time_point EventQueue::due() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_.empty() ? Clock::time_point::max() : events_.begin()->first;
}

}  // namespace modemsim
