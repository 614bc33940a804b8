// The reply file: one "COMMAND => OUTPUT" or "COMMAND =>! RAW" per line,
// and a recording's "@login TEXT" lines (see parseReplyFile).
#include <algorithm>
#include <cctype>
#include <sstream>

#include "modem_sim.h"

namespace modemsim {

namespace {

// Where the operator starts and how long it is, in one line.
struct Operator {
  std::size_t at = std::string::npos;
  std::size_t length = 0;  // including the space after it, when present
  bool raw = false;
  std::string time;  // the digits after "@", if any
};

// The first " =>", " =>!", " =>@MS" or " =>!@MS" followed by a blank or
// the end of the line.
Operator findOperator(const std::string& line) {
  for (std::size_t at = line.find(" =>"); at != std::string::npos; at = line.find(" =>", at + 1)) {
    std::size_t next = at + 3;
    bool raw = next < line.size() && line[next] == '!';
    if (raw) ++next;
    std::string time;
    if (next < line.size() && line[next] == '@') {
      std::size_t digits = line.find_first_not_of("0123456789", next + 1);
      if (digits == std::string::npos) digits = line.size();
      time = line.substr(next + 1, digits - next - 1);
      if (time.empty()) continue;
      next = digits;
    }
    if (next == line.size()) return {at, next - at, raw, time};
    if (line[next] == ' ') return {at, next + 1 - at, raw, time};
  }
  return {};
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Decodes the right side into reply.output and reply.pauses.
bool unescape(const std::string& text, Reply& reply, std::string& error) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      reply.output += text[i];
      continue;
    }
    if (++i == text.size()) {
      error = "a lone \\ at the end";
      return false;
    }
    switch (text[i]) {
      case 'n': reply.output += '\n'; break;
      case 'r': reply.output += '\r'; break;
      case 't': reply.output += '\t'; break;
      case '\\': reply.output += '\\'; break;
      case '0': reply.output += '\0'; break;
      case 'p': reply.pauses.push_back(reply.output.size()); break;
      case 'P': reply.passwordAt.push_back(reply.output.size()); break;
      case 'x': {
        int high = i + 1 < text.size() ? hexValue(text[i + 1]) : -1;
        int low = i + 2 < text.size() ? hexValue(text[i + 2]) : -1;
        if (high < 0 || low < 0) {
          error = "\\x needs two hex digits";
          return false;
        }
        reply.output += static_cast<char>(high * 16 + low);
        i += 2;
        break;
      }
      default: error = std::string("unknown escape \\") + text[i]; return false;
    }
  }
  return true;
}

bool isBlank(const std::string& line) { return line.find_first_not_of(" \t") == std::string::npos; }

// "@NAME[@MS] TEXT": one of a recording's login answers, or its greeting.
bool parseRecordedLine(const std::string& line, Options* recording, std::string& problem) {
  std::size_t nameEnd = line.find_first_of("@ ", 1);
  if (nameEnd == std::string::npos) nameEnd = line.size();
  const std::string name = line.substr(1, nameEnd - 1);
  Reply reply;
  reply.raw = true;
  std::size_t at = nameEnd;
  if (at < line.size() && line[at] == '@') {
    std::size_t digits = line.find_first_not_of("0123456789", at + 1);
    if (digits == std::string::npos) digits = line.size();
    if (digits == at + 1 || digits - at - 1 > 9) {
      problem = "\"@" + name + "@\" needs a time of 0 to 999999999 ms";
      return false;
    }
    reply.timeMs = std::stoi(line.substr(at + 1, digits - at - 1));
    at = digits;
  }
  if (at < line.size() && line[at] != ' ') {
    problem = "no blank after \"@" + name + "\"";
    return false;
  }
  if (!unescape(line.substr(std::min(line.size(), at + 1)), reply, problem)) return false;

  Options ignored;
  Options& into = recording ? *recording : ignored;
  if (name == "login") into.recordedLogin.login.push_back(std::move(reply));
  else if (name == "user") into.recordedLogin.user.push_back(std::move(reply));
  else if (name == "password") into.recordedLogin.password.push_back(std::move(reply));
  else if (name == "greeting") into.leftover = reply.output;
  else {
    problem = "no \" => \" or \" =>! \" in it, and \"@" + name + "\" is no recorded answer";
    return false;
  }
  return true;
}

}  // namespace

bool parseReplyFile(const std::string& text, std::map<std::string, Reply>& replies,
                    std::string& error, Options* recording) {
  std::istringstream lines(text);
  std::string line;
  for (int number = 1; std::getline(lines, line); ++number) {
    // A file saved with CR LF line ends: the CR is not part of the reply.
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (isBlank(line) || line[0] == '#') continue;

    Operator op = findOperator(line);
    if (op.at == std::string::npos && line[0] == '@') {
      std::string problem;
      if (!parseRecordedLine(line, recording, problem)) {
        error = "line " + std::to_string(number) + ": " + problem;
        return false;
      }
      continue;
    }
    if (op.at == std::string::npos) {
      error = "line " + std::to_string(number) + ": no \" => \" or \" =>! \" in it";
      return false;
    }
    Reply reply;
    reply.raw = op.raw;
    if (!op.time.empty()) {
      if (op.time.size() > 9) {
        error = "line " + std::to_string(number) + ": a time of over 999999999 ms";
        return false;
      }
      reply.timeMs = std::stoi(op.time);
    }
    std::string problem;
    if (!unescape(line.substr(op.at + op.length), reply, problem)) {
      error = "line " + std::to_string(number) + ": " + problem;
      return false;
    }
    replies[line.substr(0, op.at)] = std::move(reply);
  }
  return true;
}

}  // namespace modemsim
