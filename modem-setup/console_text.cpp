// Judging console output: pure text functions, no I/O.
#include <algorithm>
#include <cstring>

#include "modem_setup.h"

namespace {

const char LOGIN_PROMPT[] = "Login: ";
const char PASSWORD_PROMPT[] = "Password: ";
// The most of a console line a log line quotes.
constexpr size_t SHOWN_LINE_MAX = 120;

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
  for (const char* words : COUNTDOWN_WORDS)
    if (strcasestr(line.c_str(), words)) return true;
  return false;
}

int takeConsoleLine(std::string& unfinished, const char* text, int length, std::string& line) {
  line.clear();
  const void* lf = memchr(text, '\n', static_cast<size_t>(length));
  int taken = lf ? static_cast<int>(static_cast<const char*>(lf) - text) : length;
  unfinished.append(text, static_cast<size_t>(taken));
  // A console that never ends its line is not kept for it: such a line is
  // no notice.
  if (unfinished.size() > 2 * CONSOLE_LINE_MAX) unfinished.clear();
  if (!lf) return taken;
  std::string lastText;
  followConsoleLine(line, lastText, unfinished.data(), static_cast<int>(unfinished.size()));
  if (line.empty()) line.swap(lastText);
  unfinished.clear();
  return taken + 1;
}

bool isBootLine(const std::string& line, const std::string& bootText) {
  return !line.empty() && (strstr(line.c_str(), "Linux version ") ||
                           (!bootText.empty() && strstr(line.c_str(), bootText.c_str())));
}

namespace {

// The length of text without the CRs that end it.
size_t withoutFinalCrs(const std::string& text) {
  size_t length = text.size();
  while (length > 0 && text[length - 1] == '\r') --length;
  return length;
}

}  // namespace

bool rejectsCommand(const std::string& line, const std::string& command,
                    const std::vector<std::string>& errorTexts) {
  // Lines hold no NUL (a chunk is its text up to the first), nor do texts
  // from the command line.
  bool holdsText = false;
  for (const std::string& text : errorTexts)
    if (strstr(line.c_str(), text.c_str())) holdsText = true;
  if (!holdsText) return false;
  // The echo may come after a CR or the prompt (a console that takes the
  // line up later), and only CRs may follow it.
  size_t end = withoutFinalCrs(line);
  for (size_t start = 0;;) {
    size_t echoEnd = start + command.size();
    if (echoEnd <= line.size() && end <= echoEnd &&
        std::equal(command.begin(), command.end(), line.data() + start))
      return false;
    if (line.compare(start, 1, "\r") == 0) ++start;
    else if (line.compare(start, 3, SHELL_PROMPT) == 0) start += 3;
    else return true;
  }
}

std::string shownConsoleLine(const std::string& line) {
  static const char HEX[] = "0123456789abcdef";
  // Room for the longest text shown, an escape that goes past it, and "...".
  char shown[SHOWN_LINE_MAX + 4];
  size_t length = 0;
  size_t end = withoutFinalCrs(line);
  for (size_t i = 0; i < end; ++i) {
    size_t before = length;
    auto byte = static_cast<unsigned char>(line[i]);
    if (byte >= 0x20 && byte < 0x7f && byte != '\\') {
      shown[length++] = static_cast<char>(byte);
    } else {
      shown[length++] = '\\';
      if (byte == '\r') shown[length++] = 'r';
      else if (byte == '\t') shown[length++] = 't';
      else if (byte == '\\') shown[length++] = '\\';
      else {
        shown[length++] = 'x';
        shown[length++] = HEX[byte >> 4];
        shown[length++] = HEX[byte & 15];
      }
    }
    if (length > SHOWN_LINE_MAX) {
      memcpy(shown + before, "...", sizeof "...");
      length = before + 3;
      break;
    }
  }
  return std::string(shown, length);
}
