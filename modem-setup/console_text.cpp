// Judging console output: pure text functions, no I/O.
#include <cstring>

#include "modem_setup.h"

namespace {

const char SHELL_PROMPT[] = " > ";
const char LOGIN_PROMPT[] = "Login: ";
const char PASSWORD_PROMPT[] = "Password: ";

}  // namespace

std::string chunkText(const char* buffer, int length) {
  const void* nul = memchr(buffer, '\0', static_cast<size_t>(length));
  size_t size = nul ? static_cast<size_t>(static_cast<const char*>(nul) - buffer)
                    : static_cast<size_t>(length);
  return std::string(buffer, size);
}

std::string chunkTail(const std::string& chunk) {
  return chunk.substr(chunk.find_last_of('\n') + 1);
}

int countPromptLines(const std::string& chunk) {
  int prompts = 0;
  size_t start = 0;
  for (;;) {
    size_t end = chunk.find('\n', start);
    size_t lineEnd = end == std::string::npos ? chunk.size() : end;
    if (chunk.compare(start, lineEnd - start, SHELL_PROMPT) == 0) ++prompts;
    if (end == std::string::npos) return prompts;
    start = end + 1;
  }
}

bool hasPromptLine(const std::string& chunk) { return countPromptLines(chunk) > 0; }

LoginTail classifyLoginTail(const std::string& tail) {
  if (tail == LOGIN_PROMPT) return LoginTail::LoginPrompt;
  if (tail == PASSWORD_PROMPT) return LoginTail::PasswordPrompt;
  if (tail == SHELL_PROMPT) return LoginTail::ShellPrompt;
  return LoginTail::Other;
}

bool hasLoginPromptTail(const std::string& text) {
  return classifyLoginTail(chunkTail(text)) != LoginTail::Other;
}

void followConsoleLine(std::string& line, std::string& lastText, const char* text, int length) {
  for (int i = 0; i < length; ++i) {
    char byte = text[i];
    if (byte == '\n' || byte == '\r') {
      if (!line.empty()) lastText = line;
      line.clear();
    } else if (byte == '\b') {
      if (!line.empty()) line.erase(line.size() - 1, 1);
    } else if (byte != '\0') {
      line.append(&byte, 1);
    }
  }
  if (line.size() > CONSOLE_LINE_MAX) line.erase(0, line.size() - CONSOLE_LINE_MAX);
}

bool isCountdownLine(const std::string& line) {
  // Bootloaders' words for "a key now stops the boot" (U-Boot, Barebox,
  // RedBoot, CFE and vendors' own).
  static const char* const COUNTDOWN_WORDS[] = {
      "any key",    "autoboot", "auto-boot", "auto boot",    "auto run",  "countdown",
      "count down", "to stop",  "to abort",  "to interrupt", "to cancel",
  };
  std::string lower = line;
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  for (const char* words : COUNTDOWN_WORDS)
    if (strstr(lower.c_str(), words)) return true;
  return false;
}

std::string printableLine(const std::string& line) {
  static const char HEX_DIGITS[] = "0123456789abcdef";
  std::string shown;
  for (char c : line) {
    if (shown.size() >= 80) return shown.append("...");
    auto byte = static_cast<unsigned char>(c);
    char escaped[5] = {c};
    if (byte < ' ' || byte > '~') {
      escaped[0] = '\\';
      escaped[1] = 'x';
      escaped[2] = HEX_DIGITS[byte >> 4];
      escaped[3] = HEX_DIGITS[byte & 15];
    }
    shown.append(escaped);
  }
  return shown;
}
