// A pseudo-terminal pair whose slave stays open (raw mode) for its whole life.
#pragma once

#include <string>

namespace modemsim {

class Pty {
 public:
  Pty();  // throws std::system_error
  ~Pty();
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  int master() const { return master_; }  // non-blocking
  int slave() const { return slave_; }
  const std::string& slavePath() const { return slavePath_; }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
};

}  // namespace modemsim
