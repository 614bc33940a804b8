// The console's login and shell logic, free of any I/O: bytes in, bytes out.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "modem_sim.h"

namespace modemsim {

// What to send for one line: pieces with a pause of splitPauseMs between
// consecutive ones. Empty: send nothing at all.
using Answer = std::vector<std::string>;

// What the console does with one received byte.
struct Reaction {
  std::string echo;                    // goes out at once
  std::optional<std::string> command;  // a line completed at the shell
  std::optional<Answer> answer;        // a line completed: goes out after the reply delay
};

class Console {
 public:
  enum class Stage { Login, Password, Shell };

  explicit Console(const Options& options);

  Reaction receive(char byte);
  Stage stage() const { return stage_; }

 private:
  Answer answerLine(const std::string& line);
  Answer answerLogin(const std::string& line);
  Answer answerPassword(const std::string& line);
  Answer answerShell(const std::string& line);

  const Options& options_;
  Stage stage_;
  std::string line_;      // bytes since the last LF
  std::string username_;  // as given in the Login stage
  bool bannerShown_ = false;
  std::size_t scriptNext_ = 0;  // the script entry for the next line
};

// The pieces a canned reply goes out as.
Answer piecesOf(const Reply& reply);

}  // namespace modemsim
