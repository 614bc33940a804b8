// A recorded login played back: each line answered as the modem answered
// the line of its kind at that point of the recording.
#include <algorithm>

#include "console.h"

namespace modemsim {

namespace {

// The stage a modem is in after showing this answer: what its last line
// asks for, the same way the program under test judges it.
Console::Stage stageAfter(const std::string& answer) {
  const std::size_t lastLine = answer.rfind('\n');
  const std::string tail = lastLine == std::string::npos ? answer : answer.substr(lastLine + 1);
  if (tail == SHELL_PROMPT) return Console::Stage::Shell;
  if (tail.find("assword") != std::string::npos) return Console::Stage::Password;
  return Console::Stage::Login;
}

}  // namespace

Answer Console::answerRecordedLogin(const std::string& line, int& timeMs) {
  const RecordedLogin& recorded = options_.recordedLogin;
  const std::vector<Reply>* answers;
  std::size_t* next;
  if (stage_ == Stage::Password) {
    password_ = line;
    answers = &recorded.password;
    next = &recordedNext_[2];
  } else if (line.empty()) {
    answers = &recorded.login;
    next = &recordedNext_[0];
  } else {
    username_ = line;
    answers = &recorded.user;
    next = &recordedNext_[1];
  }
  // A kind of line the recording never saw gets no answer, as none came.
  if (answers->empty()) return {};
  const Reply reply = withPassword((*answers)[std::min(*next, answers->size() - 1)], password_);
  ++*next;
  if (reply.timeMs >= 0) timeMs = reply.timeMs;
  stage_ = stageAfter(reply.output);
  return piecesOf(reply);
}

Reply withPassword(const Reply& reply, const std::string& password) {
  if (reply.passwordAt.empty()) return reply;
  Reply filled = reply;
  filled.passwordAt.clear();
  // From the last place back, so the earlier offsets stay right.
  for (auto at = reply.passwordAt.rbegin(); at != reply.passwordAt.rend(); ++at) {
    filled.output.insert(*at, password);
    for (std::size_t& pause : filled.pauses) {
      if (pause > *at) pause += password.size();
    }
  }
  return filled;
}

}  // namespace modemsim
