// The serial line between the console and the program: how what the console
// sends is handed over to the reader. A real line rarely hands an answer over
// in one piece: a UART's receive FIFO raises its interrupt every few bytes, a
// USB adapter sends what it holds at each tick of its latency timer.
#pragma once

#include <chrono>
#include <deque>
#include <random>
#include <string>
#include <vector>

namespace modemsim {

using Clock = std::chrono::steady_clock;

// Which line, and its settings; the default hands every write over whole.
struct LineSettings {
  enum class Kind { Whole, Uart, Usb, Cut };
  Kind kind = Kind::Whole;
  long rate = 115200;      // uart: bit/s, 10 bits a byte
  int trigger = 8;         // uart: receive FIFO trigger level, bytes
  int tickMs = 16;         // usb: latency timer
  int phaseMs = 0;         // usb: where the first tick falls after the line starts
  int maxGapMs = 0;        // cut: most time between two pieces
  unsigned long seed = 1;  // cut: where the cuts fall and the gaps
};

// Reads "whole", "uart:RATE[:TRIGGER]", "usb[:TICK_MS[:PHASE_MS]]" or
// "cut:MAX_MS[:SEED]"; false, with error saying what is allowed, when text is
// none of them.
bool parseLineSettings(const std::string& text, LineSettings& settings, std::string& error);

// The line itself: bytes go in as the console sends them and come out as the
// bursts the reader would get, each when it would get it.
class LineModel {
 public:
  LineModel(const LineSettings& settings, Clock::time_point start);

  // Bytes the console sends at now.
  void send(const std::string& bytes, Clock::time_point now);
  bool holding() const { return !bursts_.empty() || !open_.empty(); }
  Clock::time_point due() const;  // when the next burst is handed over
  // The bursts handed over by now, in order.
  std::vector<std::string> take(Clock::time_point now);
  // The line dropped: whatever it held is lost.
  void clear();

 private:
  struct Burst {
    std::string bytes;
    Clock::time_point at;
  };
  void sendUart(const std::string& bytes, Clock::time_point now);
  void sendUsb(const std::string& bytes, Clock::time_point now);
  void sendCut(const std::string& bytes, Clock::time_point now);
  Clock::time_point arrival(Clock::time_point now);  // of the next byte on the wire
  Clock::time_point nextTick(Clock::time_point t) const;
  void hold(std::string bytes, Clock::time_point at);

  const LineSettings settings_;
  const Clock::time_point start_;
  const Clock::duration charTime_;  // one byte on the wire
  std::deque<Burst> bursts_;        // ready, each due at its time
  // uart: the receive FIFO, waiting for its trigger level or its timeout.
  std::string open_;
  Clock::time_point lastArrival_{};
  Clock::time_point wireFree_{};  // when the last byte sent has arrived
  std::mt19937 random_;
};

}  // namespace modemsim
