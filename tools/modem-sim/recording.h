// What a recorder makes of a session between a program and a real modem:
// every line the program sent, the modem's answer to it up to its next
// prompt and how long that took, written out as a reply file that modem-sim
// -r plays back. The password the program sent at the login never leaves
// this class. Free of I/O, so it can be tested with made-up sessions.
#pragma once

#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "modem_sim.h"
#include "outbox.h"

namespace modemsim {

class SessionRecording {
 public:
  // One read of what the program sent, at the time it was read. Returns it
  // for the transcript: escaped as escapeBytes does, the password as \P.
  std::string fromProgram(const std::string& bytes, Clock::time_point at);
  // One read of what the modem sent; returns it for the transcript likewise
  // (an echo of the password, or the password anywhere in it, as \P). Bytes
  // at its end that may begin the password wait for the next read.
  std::string fromModem(const std::string& bytes, Clock::time_point at);
  // The reply file: the comment lines of header, the modem's greeting, its
  // login answers, then one line per command, with what is still
  // unanswered as it stands.
  std::string replyFile(const std::string& header);
  // What the transcript still holds back (see fromModem), once the session is over.
  std::string transcriptRest();
  // Lines the program sent are still waiting for their answer's prompt.
  bool waiting() const { return !pending_.empty(); }

 private:
  enum class Stage { Login, Password, Shell };
  enum class Kind { Login, User, Password, Command };

  struct Line {
    std::string text;  // empty for a password
    bool password = false;
    Clock::time_point newlineAt;
  };
  struct Answered {
    Kind kind;
    std::string command;
    bool holdsPassword = false;                      // the command itself holds the password
    Reply reply;                                     // raw bytes, with the time it took
    std::vector<std::pair<int, std::size_t>> reads;  // ms after it was taken up, bytes
  };

  void completeLine(Clock::time_point at);
  bool endsAnswer(bool endOfRead, char next) const;
  void finishAnswer(Clock::time_point lastByte);
  std::string shown(const std::string& plain) const;
  std::string shownFromModem(const std::string& plain, bool holdBack);
  bool holdsPassword(const std::string& text) const;
  std::string commandLine(const Answered& answered) const;

  // The program's side.
  std::string line_;  // the line being sent, a password left out
  bool lineStarted_ = false;
  bool lineIsPassword_ = false;
  std::string passwordLine_;            // the password being sent
  std::vector<std::string> passwords_;  // every password sent, for scrubbing
  std::string echoPending_;             // password bytes the modem may still echo
  bool anyLine_ = false;

  // The modem's side.
  std::string modemTail_;     // its output since its last LF
  std::string heldBack_;      // output that may begin the password, not shown yet
  std::deque<Line> pending_;  // lines sent and not answered yet, oldest first
  Reply current_;             // the answer to pending_.front() so far
  std::vector<std::pair<Clock::time_point, std::size_t>> currentReads_;
  bool echoRun_ = false;  // the last byte of current_ was an echoed password byte
  Clock::time_point lastAnswerEnd_{};
  Stage stage_ = Stage::Login;
  std::string greeting_;     // sent before the program sent anything
  std::size_t unasked_ = 0;  // bytes sent while no line was waiting

  std::vector<Answered> answered_;
};

}  // namespace modemsim
