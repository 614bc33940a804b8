// The terminal the console is served on: a new pseudo-terminal pair whose
// slave stays open (raw mode) until it hangs up, or an existing terminal
// device (a serial port, the slave of another program's pty) set raw.
// Optionally a symbolic link of its own names it: a path that stays the same
// when the terminal vanishes and a new one takes its place, as a USB
// console's /dev name does.
#pragma once

#include <atomic>
#include <string>

namespace modemsim {

// True when bitsPerSecond is a line speed a terminal device can be set to.
bool isLineSpeed(int bitsPerSecond);

class Pty {
 public:
  // Without a device: a new pty pair. With one: that terminal device,
  // opened non-blocking, its stale input dropped, set to raw 8N1 at
  // bitsPerSecond (see isLineSpeed), receiver on, modem control lines
  // ignored (clocal), no flow control. With a link: a symbolic link at that
  // path to the terminal, replacing a link already there (never another
  // file). Throws std::system_error.
  explicit Pty(const std::string& device = {}, int bitsPerSecond = 115200,
               const std::string& link = {});
  ~Pty();
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  // The simulator's end: the pty master, or the device. Non-blocking; -1
  // once hung up.
  int master() const { return master_; }
  int slave() const { return slave_; }  // -1 once hung up, and for a device
  // What the program under test opens: the pty slave, or the device.
  const std::string& slavePath() const { return slavePath_; }

  // Ends the line for every descriptor of the slave, then closes both sides
  // (a device is just closed).
  void hangUp();
  bool hungUp() const { return master_ < 0; }

  // As a USB console that goes away: hangs up and removes the link...
  void vanish();
  // ...then a new terminal (a new pty pair, or the device opened again) and
  // the link pointed at it. Throws std::system_error.
  void reappear();

 private:
  void openPair();
  void openDevice(const std::string& device, int bitsPerSecond);
  void pointLink();

  const std::string device_;
  const int bitsPerSecond_;
  const std::string link_;

  // Atomic: other threads may ask while the serving thread hangs up.
  std::atomic<int> master_{-1};
  std::atomic<int> slave_{-1};
  std::string slavePath_;
};

}  // namespace modemsim
