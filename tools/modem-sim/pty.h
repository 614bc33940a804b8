// A pseudo-terminal pair whose slave stays open (raw mode) until it hangs up.
#pragma once

#include <atomic>
#include <string>

namespace modemsim {

class Pty {
 public:
  Pty();  // throws std::system_error
  ~Pty();
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  int master() const { return master_; }  // non-blocking; -1 once hung up
  int slave() const { return slave_; }    // -1 once hung up
  const std::string& slavePath() const { return slavePath_; }

  // Ends the line for every descriptor of the slave, then closes both sides.
  void hangUp();
  bool hungUp() const { return master_ < 0; }

 private:
  // Atomic: other threads may ask while the serving thread hangs up.
  std::atomic<int> master_{-1};
  std::atomic<int> slave_{-1};
  std::string slavePath_;
};

}  // namespace modemsim
