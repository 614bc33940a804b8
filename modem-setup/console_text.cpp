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
