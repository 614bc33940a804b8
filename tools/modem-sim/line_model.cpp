#include "line_model.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>

namespace modemsim {

using std::chrono::milliseconds;

namespace {

// A UART hands over a partly filled FIFO after this many character times
// without a new byte (the 16550A's and the PL011's receive timeout).
constexpr int RECEIVE_TIMEOUT_CHARS = 4;
// A USB adapter sends a full packet at once, without waiting for its timer
// (an FTDI packet holds 62 bytes of data).
constexpr std::size_t USB_PACKET_BYTES = 62;

std::vector<std::string> fieldsOf(const std::string& text) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (;;) {
    std::size_t colon = text.find(':', start);
    fields.push_back(text.substr(start, colon - start));
    if (colon == std::string::npos) return fields;
    start = colon + 1;
  }
}

bool numberIn(const std::string& text, long low, long high, long& value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  value = std::strtol(text.c_str(), nullptr, 10);
  return errno == 0 && value >= low && value <= high;
}

}  // namespace

bool parseLineSettings(const std::string& text, LineSettings& settings, std::string& error) {
  const std::vector<std::string> f = fieldsOf(text);
  const std::string& kind = f[0];
  LineSettings parsed;
  long a = 0, b = 0;
  bool ok = false;
  if (kind == "whole") {
    ok = f.size() == 1;
  } else if (kind == "uart") {
    parsed.kind = LineSettings::Kind::Uart;
    ok = (f.size() == 2 || f.size() == 3) && numberIn(f[1], 50, 4000000, parsed.rate) &&
         (f.size() == 2 || numberIn(f[2], 1, 64, b));
    if (f.size() == 3) parsed.trigger = static_cast<int>(b);
  } else if (kind == "usb") {
    parsed.kind = LineSettings::Kind::Usb;
    ok = f.size() <= 3 && (f.size() < 2 || numberIn(f[1], 1, 255, a)) &&
         (f.size() < 3 || numberIn(f[2], 0, 255, b));
    if (f.size() >= 2) parsed.tickMs = static_cast<int>(a);
    if (f.size() >= 3) parsed.phaseMs = static_cast<int>(b);
  } else if (kind == "cut") {
    parsed.kind = LineSettings::Kind::Cut;
    ok = (f.size() == 2 || f.size() == 3) && numberIn(f[1], 1, 60000, a) &&
         (f.size() == 2 || numberIn(f[2], 0, LONG_MAX, b));
    parsed.maxGapMs = static_cast<int>(a);
    if (f.size() == 3) parsed.seed = static_cast<unsigned long>(b);
  }
  if (!ok) {
    error =
        "a line model: whole, uart:RATE[:TRIGGER], usb[:TICK_MS[:PHASE_MS]] or "
        "cut:MAX_MS[:SEED]; RATE 50 to 4000000, TRIGGER 1 to 64, TICK_MS 1 to 255, "
        "PHASE_MS 0 to 255, MAX_MS 1 to 60000";
    return false;
  }
  settings = parsed;
  return true;
}

LineModel::LineModel(const LineSettings& settings, Clock::time_point start)
    : settings_(settings),
      start_(start),
      charTime_(std::chrono::duration_cast<Clock::duration>(
          std::chrono::duration<double>(10.0 / static_cast<double>(std::max(1L, settings.rate))))),
      random_(static_cast<std::mt19937::result_type>(settings.seed)) {}

void LineModel::send(const std::string& bytes, Clock::time_point now) {
  if (bytes.empty()) return;
  switch (settings_.kind) {
    case LineSettings::Kind::Whole: hold(bytes, now); break;
    case LineSettings::Kind::Uart: sendUart(bytes, now); break;
    case LineSettings::Kind::Usb: sendUsb(bytes, now); break;
    case LineSettings::Kind::Cut: sendCut(bytes, now); break;
  }
}

Clock::time_point LineModel::arrival(Clock::time_point now) {
  wireFree_ = std::max(now, wireFree_) + charTime_;
  return wireFree_;
}

void LineModel::hold(std::string bytes, Clock::time_point at) {
  // Bursts leave in order: none before the one ahead of it.
  if (!bursts_.empty()) at = std::max(at, bursts_.back().at);
  bursts_.push_back({std::move(bytes), at});
}

// Each byte arrives one character time after the one before; the FIFO is
// handed over when it reaches the trigger level, or once no byte has come
// for the receive timeout.
void LineModel::sendUart(const std::string& bytes, Clock::time_point now) {
  const Clock::duration timeout = RECEIVE_TIMEOUT_CHARS * charTime_;
  for (char byte : bytes) {
    Clock::time_point at = arrival(now);
    if (!open_.empty() && at > lastArrival_ + timeout) {
      hold(std::move(open_), lastArrival_ + timeout);
      open_.clear();
    }
    open_ += byte;
    lastArrival_ = at;
    if (open_.size() >= static_cast<std::size_t>(settings_.trigger)) {
      hold(std::move(open_), at);
      open_.clear();
    }
  }
}

Clock::time_point LineModel::nextTick(Clock::time_point t) const {
  const Clock::duration tick = milliseconds(settings_.tickMs);
  const Clock::time_point first = start_ + milliseconds(settings_.phaseMs % settings_.tickMs);
  if (t <= first) return first;
  return first + ((t - first + tick - Clock::duration(1)) / tick) * tick;
}

// Bytes reach the adapter at the line's pace; what it holds goes out at the
// next tick of its timer, or at once when a packet is full.
void LineModel::sendUsb(const std::string& bytes, Clock::time_point now) {
  std::string packet;
  Clock::time_point packetAt{};
  for (char byte : bytes) {
    Clock::time_point at = arrival(now);
    Clock::time_point tick = nextTick(at);
    if (!packet.empty() && tick != packetAt) {
      hold(std::move(packet), packetAt);
      packet.clear();
    }
    if (packet.empty() && !bursts_.empty() && bursts_.back().at == tick &&
        bursts_.back().bytes.size() < USB_PACKET_BYTES) {
      // Still the packet an earlier write began: it waits for the same tick.
      packet = std::move(bursts_.back().bytes);
      bursts_.pop_back();
    }
    packet += byte;
    packetAt = tick;
    if (packet.size() >= USB_PACKET_BYTES) {
      hold(std::move(packet), at);
      packet.clear();
    }
  }
  if (!packet.empty()) hold(std::move(packet), packetAt);
}

// One to three cuts at random places, each piece 1 to maxGapMs after the one
// before.
void LineModel::sendCut(const std::string& bytes, Clock::time_point now) {
  std::vector<std::size_t> cuts;
  if (bytes.size() >= 2) {
    const std::size_t places = bytes.size() - 1;
    const std::size_t count = 1 + random_() % std::min<std::size_t>(3, places);
    while (cuts.size() < count) {
      std::size_t cut = 1 + random_() % places;
      if (std::find(cuts.begin(), cuts.end(), cut) == cuts.end()) cuts.push_back(cut);
    }
    std::sort(cuts.begin(), cuts.end());
  }
  cuts.push_back(bytes.size());
  Clock::time_point at = now;
  std::size_t from = 0;
  for (std::size_t cut : cuts) {
    hold(bytes.substr(from, cut - from), at);
    from = cut;
    at = bursts_.back().at + milliseconds(1 + random_() % settings_.maxGapMs);
  }
}

Clock::time_point LineModel::due() const {
  if (!bursts_.empty()) return bursts_.front().at;
  if (!open_.empty()) return lastArrival_ + RECEIVE_TIMEOUT_CHARS * charTime_;
  return Clock::time_point::max();
}

std::vector<std::string> LineModel::take(Clock::time_point now) {
  std::vector<std::string> out;
  while (!bursts_.empty() && bursts_.front().at <= now) {
    out.push_back(std::move(bursts_.front().bytes));
    bursts_.pop_front();
  }
  // A FIFO whose timeout has passed is handed over: nothing sent from now on
  // could reach it in time.
  if (bursts_.empty() && !open_.empty() && due() <= now) {
    out.push_back(std::move(open_));
    open_.clear();
  }
  return out;
}

void LineModel::clear() {
  bursts_.clear();
  open_.clear();
}

}  // namespace modemsim
