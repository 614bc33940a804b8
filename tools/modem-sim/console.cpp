#include "console.h"

namespace modemsim {

namespace {

const std::string CRLF = "\r\n";
const std::string LOGIN_PROMPT = "Login: ";
const std::string PASSWORD_PROMPT = "Password: ";

}  // namespace

Console::Console(const Options& options)
    : options_(options), stage_(options.atShell ? Stage::Shell : Stage::Login) {}

Reaction Console::receive(char byte) {
  Reaction reaction;
  if (options_.echo && stage_ != Stage::Password) {
    reaction.echo = byte == '\n' ? CRLF : std::string(1, byte);
  }
  if (byte != '\n') {
    line_ += byte;
  } else {
    // A CR before the LF stays part of the line: the console acts on LF only.
    std::string line;
    line.swap(line_);
    if (stage_ == Stage::Shell) reaction.command = line;
    reaction.answer = answerLine(line);
    if (!options_.script.empty()) {
      // The login and shell still follow the lines; only the answers are scripted.
      reaction.answer = Answer{};
      if (scriptNext_ < options_.script.size()) {
        reaction.answer->push_back(options_.script[scriptNext_++]);
      }
    }
  }
  if (options_.silent) {
    reaction.echo.clear();
    if (reaction.answer) reaction.answer->clear();
  }
  return reaction;
}

Answer Console::answerLine(const std::string& line) {
  switch (stage_) {
    case Stage::Login: return answerLogin(line);
    case Stage::Password: return answerPassword(line);
    case Stage::Shell: return answerShell(line);
  }
  return {};
}

Answer Console::answerLogin(const std::string& line) {
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
  if (username_ == options_.username && line == options_.password) {
    stage_ = Stage::Shell;
    return {CRLF + SHELL_PROMPT};
  }
  stage_ = Stage::Login;
  return {CRLF + "Login incorrect" + CRLF + LOGIN_PROMPT};
}

Answer Console::answerShell(const std::string& line) {
  auto reply = options_.replies.find(line);
  if (reply == options_.replies.end()) return {CRLF + SHELL_PROMPT};
  return piecesOf(reply->second);
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
