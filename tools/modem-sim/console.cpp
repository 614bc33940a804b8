#include "console.h"

#include <algorithm>

namespace modemsim {

namespace {

const std::string CRLF = "\r\n";
const std::string LOGIN_PROMPT = "Login: ";
const std::string PASSWORD_PROMPT = "Password: ";
const std::string LOGOUT_LINE = "Session timed out";

}  // namespace

Console::Console(const Options& options)
    : options_(options), stage_(options.atShell ? Stage::Shell : Stage::Login) {}

bool Console::echoing() const {
  return options_.echo && stage_ != Stage::Password && !options_.silent && !muted_;
}

Reaction Console::receive(char byte) {
  if (byte != '\n') {
    Reaction reaction;
    reaction.echo = receiveText(&byte, 1);
    return reaction;
  }
  // The echo goes by the stage the line was typed in.
  std::string echo = echoing() ? CRLF : std::string();
  Reaction reaction = completeLine();
  reaction.echo = std::move(echo);
  return reaction;
}

std::string Console::receiveText(const char* bytes, std::size_t size) {
  line_.append(bytes, size);
  return echoing() ? std::string(bytes, size) : std::string();
}

std::optional<Reaction> Console::endOfRead() {
  if (!options_.eager || stage_ != Stage::Shell || line_.empty()) return std::nullopt;
  return completeLine();
}

std::string Console::greeting() {
  if (options_.silent) return std::string();
  std::string text;
  if (!options_.banner.empty() && !bannerShown_ && stage_ == Stage::Login) {
    text = options_.banner + CRLF;
    bannerShown_ = true;
  }
  return text + CRLF + (stage_ == Stage::Shell ? SHELL_PROMPT : LOGIN_PROMPT);
}

void Console::restart() {
  stage_ = options_.atShell ? Stage::Shell : Stage::Login;
  line_.clear();
  bannerShown_ = false;
}

std::string Console::endSession() {
  stage_ = Stage::Login;
  line_.clear();
  if (options_.silent || muted_) return std::string();
  return CRLF + LOGOUT_LINE + CRLF + LOGIN_PROMPT;
}

Reaction Console::completeLine() {
  Reaction reaction;
  // A CR before the LF stays part of the line: the console acts on LF only.
  std::string line;
  line.swap(line_);
  // An eager shell has answered its commands already: the newline that
  // follows one is nothing new.
  if (options_.eager && stage_ == Stage::Shell && line.empty()) return reaction;
  if (options_.ignoreEmptyLines && stage_ == Stage::Shell && line.empty()) return reaction;

  const bool atShell = stage_ == Stage::Shell;
  if (options_.lineEditorEcho && stage_ != Stage::Password && !options_.silent && !muted_)
    reaction.takeUpEcho = line + CRLF;
  const bool muted = muted_;
  reaction.timeMs = options_.lineTimeMs;
  if (atShell) {
    auto reply = options_.replies.find(line);
    if (reply != options_.replies.end() && reply->second.timeMs >= 0)
      reaction.timeMs = reply->second.timeMs;
  }
  if (!atShell && !options_.recordedLogin.empty()) {
    reaction.answer = answerRecordedLogin(line, reaction.timeMs);
  } else {
    reaction.answer = answerLine(line, reaction.hangUp);
  }
  if (atShell) reaction.command = std::move(line);
  if (!options_.script.empty()) {
    // The login and shell still follow the lines; only the answers are scripted.
    reaction.answer = Answer{};
    if (scriptNext_ < options_.script.size()) {
      reaction.answer->push_back(options_.script[scriptNext_++]);
    }
  }
  if (reaction.hangUp || options_.silent || muted) reaction.answer->clear();
  if (options_.splitPrompts) reaction.answer = withSplitPrompts(*reaction.answer);
  return reaction;
}

Answer Console::answerLine(const std::string& line, bool& hangUp) {
  switch (stage_) {
    case Stage::Login: return answerLogin(line, hangUp);
    case Stage::Password: return answerPassword(line);
    case Stage::Shell: return answerShell(line, hangUp);
  }
  return {};
}

Answer Console::answerLogin(const std::string& line, bool& hangUp) {
  if (!line.empty() && options_.hangUpOnUsername) {
    username_ = line;
    hangUp = true;
    return {};
  }
  std::string text;
  if (!options_.banner.empty() && !bannerShown_) {
    text = options_.banner + CRLF;
    bannerShown_ = true;
  }
  if (line.empty()) {
    text += CRLF + LOGIN_PROMPT;
  } else {
    username_ = line;
    stage_ = Stage::Password;
    text += CRLF + PASSWORD_PROMPT;
  }
  return {text};
}

Answer Console::answerPassword(const std::string& line) {
  password_ = line;
  if (options_.passwordForever) return {CRLF + PASSWORD_PROMPT};
  if (username_ == options_.username && line == options_.password) {
    stage_ = Stage::Shell;
    return {CRLF + SHELL_PROMPT};
  }
  stage_ = Stage::Login;
  return {CRLF + "Login incorrect" + CRLF + LOGIN_PROMPT};
}

Answer Console::answerShell(const std::string& line, bool& hangUp) {
  ++shellLines_;
  if (shellLines_ == options_.hangUpOnCommand) {
    hangUp = true;
    return {};
  }
  // The last line answered: nothing at all after it, not even an echo.
  if (options_.muteAfterCommands > 0 && shellLines_ >= options_.muteAfterCommands) muted_ = true;
  auto reply = options_.replies.find(line);
  if (reply == options_.replies.end()) return {CRLF + SHELL_PROMPT};
  return piecesOf(withPassword(reply->second, password_));
}

Answer withSplitPrompts(const Answer& answer) {
  Answer pieces;
  for (const std::string& piece : answer) {
    std::size_t cut = std::string::npos;
    for (const std::string* prompt : {&LOGIN_PROMPT, &PASSWORD_PROMPT, &SHELL_PROMPT}) {
      std::size_t at = piece.size() - std::min(piece.size(), prompt->size());
      if (piece.compare(at, std::string::npos, *prompt) == 0) {
        cut = at + prompt->size() / 2;
        break;
      }
    }
    if (cut == std::string::npos) {
      pieces.push_back(piece);
    } else {
      pieces.push_back(piece.substr(0, cut));
      pieces.push_back(piece.substr(cut));
    }
  }
  return pieces;
}

Answer piecesOf(const Reply& reply) {
  if (reply.raw && reply.output.empty() && reply.pauses.empty()) return {};

  Answer pieces(1);
  if (!reply.raw) pieces.back() = CRLF;
  std::size_t nextPause = 0;
  for (std::size_t i = 0; i <= reply.output.size(); ++i) {
    while (nextPause < reply.pauses.size() && reply.pauses[nextPause] <= i) {
      pieces.emplace_back();
      ++nextPause;
    }
    if (i == reply.output.size()) break;
    char c = reply.output[i];
    if (!reply.raw && c == '\n') {
      pieces.back() += CRLF;
    } else {
      pieces.back() += c;
    }
  }
  if (!reply.raw) {
    if (!reply.output.empty()) pieces.back() += CRLF;
    pieces.back() += SHELL_PROMPT;
  }
  return pieces;
}

}  // namespace modemsim
