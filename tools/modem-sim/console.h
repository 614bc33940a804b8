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
  std::string takeUpEcho;              // goes out when the console takes the line up
  std::optional<std::string> command;  // a line completed at the shell
  std::optional<Answer> answer;        // a line completed: goes out once worked through
  int timeMs = 0;                      // how long the console works on the line
  bool hangUp = false;                 // end the line now, answer nothing
};

class Console {
 public:
  enum class Stage { Login, Password, Shell };

  explicit Console(const Options& options);

  Reaction receive(char byte);
  // Bytes without a LF in them, all at once: what receive would do with each
  // of them; returns their echo.
  std::string receiveText(const char* bytes, std::size_t size);
  // The end of one read: an eager shell takes what it holds as a command.
  std::optional<Reaction> endOfRead();
  // What the console prints when it comes up after a boot: its banner and
  // its first prompt, as if it had been sent an empty line.
  std::string greeting();
  // A reboot: the session and any half-typed line are gone; the console
  // comes up as at power-on (greeting, banner included).
  void restart();
  // The modem ends the session by itself (an idle timeout): back at the
  // login; returns what it prints, its logout line and "Login: ".
  std::string endSession();
  Stage stage() const { return stage_; }
  // Has answered its muteAfterCommands lines: answers nothing more.
  bool muted() const { return muted_; }

 private:
  Reaction completeLine();
  Answer answerLine(const std::string& line, bool& hangUp);
  Answer answerLogin(const std::string& line, bool& hangUp);
  Answer answerPassword(const std::string& line);
  Answer answerShell(const std::string& line, bool& hangUp);
  // The login as a recording has it (login_replay.cpp); sets timeMs.
  Answer answerRecordedLogin(const std::string& line, int& timeMs);
  bool echoing() const;

  const Options& options_;
  Stage stage_;
  std::string line_;                  // bytes since the last LF
  std::string username_;              // as given in the Login stage
  std::string password_;              // as given in the Password stage
  std::size_t recordedNext_[3] = {};  // the next recorded login, user, password answer
  bool bannerShown_ = false;
  std::size_t scriptNext_ = 0;  // the script entry for the next line
  int shellLines_ = 0;          // lines received at the shell so far
  bool muted_ = false;          // has answered its muteAfterCommands lines
};

// An answer whose pieces that end in a prompt are cut in the middle of it.
Answer withSplitPrompts(const Answer& answer);

// The pieces a canned reply goes out as.
Answer piecesOf(const Reply& reply);

// The reply with password put in at its passwordAt places (login_replay.cpp).
Reply withPassword(const Reply& reply, const std::string& password);

}  // namespace modemsim
