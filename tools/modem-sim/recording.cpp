#include "recording.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "console.h"
#include "escapes.h"

namespace modemsim {

namespace {

const std::string PLACEHOLDER = "\\P";

std::string lastLine(const std::string& text) {
  std::size_t at = text.rfind('\n');
  return at == std::string::npos ? text : text.substr(at + 1);
}

// A line the modem shows when it wants a password ("Password: ").
bool asksPassword(const std::string& line) { return line.find("assword") != std::string::npos; }

int msBetween(Clock::time_point from, Clock::time_point to) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
  return static_cast<int>(std::max<decltype(ms)>(0, ms));
}

// The right side of a reply file line: its escapes, \P where the password
// goes. Blanks that a text editor could lose or that would read as an
// operator (before "=>", at the end) are written \x20.
std::string replyText(const std::string& bytes, const std::vector<std::size_t>& passwordAt) {
  std::string text;
  std::size_t nextPassword = 0;
  for (std::size_t i = 0; i <= bytes.size(); ++i) {
    while (nextPassword < passwordAt.size() && passwordAt[nextPassword] == i) {
      text += PLACEHOLDER;
      ++nextPassword;
    }
    if (i == bytes.size()) break;
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    switch (c) {
      case '\n': text += "\\n"; break;
      case '\r': text += "\\r"; break;
      case '\t': text += "\\t"; break;
      case '\0': text += "\\0"; break;
      case '\\': text += "\\\\"; break;
      case ' ': text += i + 1 == bytes.size() || bytes[i + 1] == '=' ? "\\x20" : " "; break;
      default:
        if (c >= 0x20 && c < 0x7f) {
          text += static_cast<char>(c);
        } else {
          char hex[5];
          // NOLINTNEXTLINE(cert-err33-c): \xNN and its terminator always fit
          std::snprintf(hex, sizeof hex, "\\x%02x", c);
          text += hex;
        }
    }
  }
  return text;
}

std::string joined(const Answer& pieces) {
  std::string all;
  for (const std::string& piece : pieces) all += piece;
  return all;
}

// The readable form of a raw answer, when there is one: "\r\n", output
// lines ending in CR LF, and the prompt, as "COMMAND => OUTPUT" sends it.
bool asPlainReply(const Reply& raw, Reply& plain) {
  const std::string& bytes = raw.output;
  const std::string start = "\r\n";
  if (!raw.passwordAt.empty() || bytes.size() < start.size() + SHELL_PROMPT.size()) return false;
  if (bytes.compare(0, start.size(), start) != 0 ||
      bytes.compare(bytes.size() - SHELL_PROMPT.size(), std::string::npos, SHELL_PROMPT) != 0)
    return false;
  std::string body = bytes.substr(start.size(), bytes.size() - start.size() - SHELL_PROMPT.size());
  if (!body.empty()) {
    if (body.size() < 2 || body.compare(body.size() - 2, 2, "\r\n") != 0) return false;
    body.erase(body.size() - 2);
  }
  plain = Reply();
  plain.timeMs = raw.timeMs;
  for (std::size_t i = 0; i < body.size(); ++i) {
    if (body.compare(i, 2, "\r\n") == 0) {
      plain.output += '\n';
      ++i;
    } else {
      plain.output += body[i];
    }
  }
  return joined(piecesOf(plain)) == bytes;
}

bool sameAnswer(const Reply& a, const Reply& b) {
  return a.output == b.output && a.passwordAt == b.passwordAt;
}

}  // namespace

std::string SessionRecording::fromProgram(const std::string& bytes, Clock::time_point at) {
  std::string transcript;
  std::string plain;
  bool masking = false;
  for (char byte : bytes) {
    if (!lineStarted_) {
      // The modem's last line decides: a line typed at "Password: " is one.
      lineStarted_ = true;
      lineIsPassword_ = asksPassword(modemTail_);
    }
    if (byte == '\n') {
      plain += byte;
      masking = false;
      completeLine(at);
    } else if (lineIsPassword_) {
      if (!masking) {
        transcript += shown(plain);
        plain.clear();
        transcript += PLACEHOLDER;
        masking = true;
      }
      passwordLine_ += byte;
      echoPending_ += byte;
    } else {
      line_ += byte;
      plain += byte;
    }
  }
  return transcript + shown(plain);
}

void SessionRecording::completeLine(Clock::time_point at) {
  Line line;
  line.password = lineIsPassword_;
  line.text = lineIsPassword_ ? std::string() : line_;
  line.newlineAt = at;
  if (!passwordLine_.empty() &&
      std::find(passwords_.begin(), passwords_.end(), passwordLine_) == passwords_.end()) {
    passwords_.push_back(passwordLine_);
  }
  passwordLine_.clear();
  line_.clear();
  lineStarted_ = false;
  anyLine_ = true;
  pending_.push_back(std::move(line));
}

std::string SessionRecording::fromModem(const std::string& bytes, Clock::time_point at) {
  std::string transcript;
  std::string plain;
  bool masking = false;
  bool readCounted = false;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const char byte = bytes[i];
    if (byte == '\n') modemTail_.clear();
    else if (modemTail_.size() < 256) modemTail_ += byte;

    // An echo of the password, byte for byte as it was sent.
    const bool echoed = !echoPending_.empty() && byte == echoPending_[0];
    if (echoed) echoPending_.erase(0, 1);
    else echoPending_.clear();
    if (echoed && !masking) {
      transcript += shownFromModem(plain, false);
      plain.clear();
      transcript += PLACEHOLDER;
    } else if (!echoed) {
      plain += byte;
    }
    masking = echoed;

    if (pending_.empty()) {
      if (anyLine_) ++unasked_;
      else greeting_ += byte;
      continue;
    }
    if (!readCounted) {
      currentReads_.emplace_back(at, 0);
      readCounted = true;
    }
    ++currentReads_.back().second;
    if (echoed) {
      if (!echoRun_) current_.passwordAt.push_back(current_.output.size());
    } else {
      current_.output += byte;
    }
    echoRun_ = echoed;
    const bool endOfRead = i + 1 == bytes.size();
    if (!echoed && endsAnswer(endOfRead, endOfRead ? '\0' : bytes[i + 1])) {
      finishAnswer(at);
      readCounted = false;
    }
  }
  return transcript + shownFromModem(plain, true);
}

// The modem's bytes for the transcript. With holdBack, a tail that may be
// the start of a password cut by the line waits for the next read, so no
// piece of it is ever shown.
std::string SessionRecording::shownFromModem(const std::string& plain, bool holdBack) {
  std::string bytes = heldBack_ + plain;
  heldBack_.clear();
  if (holdBack) {
    std::size_t keep = 0;
    for (const std::string& password : passwords_) {
      for (std::size_t k = std::min(password.size() - 1, bytes.size()); k > keep; --k) {
        if (bytes.compare(bytes.size() - k, k, password, 0, k) == 0) {
          keep = k;
          break;
        }
      }
    }
    heldBack_ = bytes.substr(bytes.size() - keep);
    bytes.erase(bytes.size() - keep);
  }
  return shown(bytes);
}

std::string SessionRecording::transcriptRest() { return shownFromModem("", false); }

// Whether the answer so far ends in a prompt: the shell prompt as a line of
// its own, or at the login a question that ends the read. A busy modem's
// answers to lines that queued up may come in one read, each starting
// with its CR LF.
bool SessionRecording::endsAnswer(bool endOfRead, char next) const {
  const std::string tail = lastLine(current_.output);
  if (tail == SHELL_PROMPT) {
    return endOfRead || next == '\n' || (next == '\r' && pending_.size() > 1);
  }
  if (stage_ == Stage::Shell || !endOfRead) return false;
  return tail.size() >= 2 && tail.compare(tail.size() - 2, 2, ": ") == 0;
}

void SessionRecording::finishAnswer(Clock::time_point lastByte) {
  Line line = std::move(pending_.front());
  pending_.pop_front();
  // The modem takes a line up once it is through with the one before.
  const Clock::time_point takenUp = std::max(line.newlineAt, lastAnswerEnd_);

  Answered answered;
  if (stage_ == Stage::Shell) answered.kind = Kind::Command;
  else if (stage_ == Stage::Password || line.password) answered.kind = Kind::Password;
  else answered.kind = line.text.empty() ? Kind::Login : Kind::User;
  answered.command = line.text;
  answered.holdsPassword = holdsPassword(line.text);

  // The password anywhere in the answer (a configuration listing, say)
  // is left out as well.
  Reply& reply = answered.reply;
  reply.raw = true;
  reply.timeMs = currentReads_.empty() ? 0 : msBetween(takenUp, lastByte);
  std::size_t nextMark = 0;
  const std::string& output = current_.output;
  for (std::size_t i = 0; i <= output.size();) {
    while (nextMark < current_.passwordAt.size() && current_.passwordAt[nextMark] == i) {
      reply.passwordAt.push_back(reply.output.size());
      ++nextMark;
    }
    if (i == output.size()) break;
    auto found = std::find_if(passwords_.begin(), passwords_.end(), [&](const std::string& p) {
      return output.compare(i, p.size(), p) == 0;
    });
    if (found != passwords_.end()) {
      reply.passwordAt.push_back(reply.output.size());
      i += found->size();
      while (nextMark < current_.passwordAt.size() && current_.passwordAt[nextMark] < i) ++nextMark;
    } else {
      reply.output += output[i++];
    }
  }
  for (const auto& [time, bytes] : currentReads_) {
    answered.reads.emplace_back(msBetween(takenUp, time), bytes);
  }

  const std::string tail = lastLine(output);
  if (tail == SHELL_PROMPT) stage_ = Stage::Shell;
  else if (stage_ != Stage::Shell) stage_ = asksPassword(tail) ? Stage::Password : Stage::Login;
  answered_.push_back(std::move(answered));
  lastAnswerEnd_ = lastByte;
  current_ = Reply();
  currentReads_.clear();
  echoRun_ = false;
}

bool SessionRecording::holdsPassword(const std::string& text) const {
  return std::any_of(passwords_.begin(), passwords_.end(), [&](const std::string& password) {
    return text.find(password) != std::string::npos;
  });
}

// Bytes for the transcript, any password sent before shown as \P.
std::string SessionRecording::shown(const std::string& plain) const {
  std::string text;
  std::size_t from = 0;
  for (std::size_t i = 0; i < plain.size();) {
    auto found = std::find_if(passwords_.begin(), passwords_.end(), [&](const std::string& p) {
      return plain.compare(i, p.size(), p) == 0;
    });
    if (found == passwords_.end()) {
      ++i;
      continue;
    }
    text += escapeBytes(plain.substr(from, i - from)) + PLACEHOLDER;
    i += found->size();
    from = i;
  }
  return text + escapeBytes(plain.substr(from));
}

// "COMMAND =>@MS OUTPUT" when the answer reads that way, else the raw form;
// empty when the reply file cannot hold this command.
std::string SessionRecording::commandLine(const Answered& answered) const {
  const Reply& reply = answered.reply;
  const std::string time = "@" + std::to_string(reply.timeMs);
  Reply plain;
  std::string line =
      asPlainReply(reply, plain)
          ? answered.command + " =>" + time + " " + replyText(plain.output, {})
          : answered.command + " =>!" + time + " " + replyText(reply.output, reply.passwordAt);
  // It must read back as this command with this answer.
  std::map<std::string, Reply> back;
  std::string error;
  if (!parseReplyFile(line, back, error) || back.size() != 1 ||
      back.begin()->first != answered.command)
    return {};
  return line;
}

std::string SessionRecording::replyFile(const std::string& header) {
  // What is still unanswered stands as the modem left it: output without a
  // prompt, or none at all.
  while (!pending_.empty()) {
    Clock::time_point last =
        currentReads_.empty() ? pending_.front().newlineAt : currentReads_.back().first;
    finishAnswer(last);
  }

  std::string file = header;
  if (!greeting_.empty()) file += "@greeting " + replyText(greeting_, {}) + "\n";

  // Login answers in order; a run of the same answer at the end of a list
  // is written once, since the last one is used again anyway.
  const std::pair<Kind, const char*> loginKinds[] = {
      {Kind::Login, "login"}, {Kind::User, "user"}, {Kind::Password, "password"}};
  std::vector<bool> written(answered_.size(), true);
  for (const auto& [kind, name] : loginKinds) {
    std::vector<std::size_t> ofKind;
    for (std::size_t i = 0; i < answered_.size(); ++i) {
      if (answered_[i].kind == kind) ofKind.push_back(i);
    }
    if (ofKind.empty()) continue;
    const Reply& last = answered_[ofKind.back()].reply;
    std::size_t runStart = ofKind.size() - 1;
    while (runStart > 0 && sameAnswer(answered_[ofKind[runStart - 1]].reply, last)) --runStart;
    for (std::size_t j = runStart + 1; j < ofKind.size(); ++j) written[ofKind[j]] = false;
  }
  for (std::size_t i = 0; i < answered_.size(); ++i) {
    const Answered& a = answered_[i];
    if (a.kind == Kind::Command || !written[i]) continue;
    const char* name = "password";
    for (const auto& [kind, kindName] : loginKinds) {
      if (kind == a.kind) name = kindName;
    }
    file += std::string("@") + name + "@" + std::to_string(a.reply.timeMs) + " " +
            replyText(a.reply.output, a.reply.passwordAt) + "\n";
  }

  std::map<std::string, const Answered*> first;
  for (const Answered& a : answered_) {
    if (a.kind != Kind::Command) continue;
    if (a.holdsPassword) {
      file += "# left out: a command that holds the login password\n";
      continue;
    }
    auto [seen, added] = first.emplace(a.command, &a);
    if (!added) {
      if (!sameAnswer(seen->second->reply, a.reply)) {
        file += "# \"" + escapeBytes(a.command) + "\" again, answered otherwise (" +
                std::to_string(a.reply.timeMs) + " ms): \"" +
                replyText(a.reply.output, a.reply.passwordAt) + "\"\n";
      }
      continue;
    }
    if (a.reads.size() > 1) {
      file += "# in " + std::to_string(a.reads.size()) + " reads:";
      for (std::size_t r = 0; r < a.reads.size(); ++r) {
        file += (r ? ", " : " ") + std::to_string(a.reads[r].second) + " bytes at " +
                std::to_string(a.reads[r].first) + " ms";
      }
      file += "\n";
    }
    std::string line = commandLine(a);
    if (line.empty()) {
      file += "# left out: \"" + escapeBytes(a.command) + "\", which a reply file cannot hold\n";
    } else {
      file += line + "\n";
    }
  }
  if (unasked_ > 0) {
    file += "# " + std::to_string(unasked_) +
            " bytes came while no line was waiting (an echo of "
            "a command before its newline, say): not replayed\n";
  }
  return file;
}

}  // namespace modemsim
