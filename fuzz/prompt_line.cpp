// The prompt wait's judgement of a chunk (hasPromptLine, countPromptLines)
// against a naive split into LF-separated lines; and of a line of an answer
// (rejectsCommand, shownConsoleLine).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "check.h"
#include "modem_setup.h"

namespace {

int naivePromptLines(const std::string& chunk) {
  int prompts = 0;
  std::string line;
  for (char c : chunk) {
    if (c == '\n') {
      if (line == " > ") ++prompts;
      line.clear();
    } else {
      line += c;
    }
  }
  return prompts + (line == " > " ? 1 : 0);
}

void checkChunk(const std::string& chunk) {
  bool found = hasPromptLine(chunk);
  int prompts = naivePromptLines(chunk);
  FUZZ_CHECK(found == (prompts > 0));
  FUZZ_CHECK(countPromptLines(chunk) == prompts);
  if (found) FUZZ_CHECK(chunk.find(" > ") != std::string::npos);
}

// Taken as one line of a command's answer (a line has no LF, nor a NUL, as
// the wait splits a chunk's text): its echo of itself never rejects it, and
// the log shows it bounded and without a control byte.
void checkAnswerLine(const std::string& line) {
  if (line.empty() || line.find_first_of(std::string("\n\0", 2)) != std::string::npos) return;
  const std::vector<std::string> texts = {line.substr(0, line.size() / 2 + 1)};
  FUZZ_CHECK(!rejectsCommand(line, line, texts));
  FUZZ_CHECK(!rejectsCommand(" > " + line + "\r", line, texts));
  std::string shown = shownConsoleLine(line);
  FUZZ_CHECK(shown.size() <= 123);
  for (char c : shown) FUZZ_CHECK(c >= 0x20 && c < 0x7f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 20) return 0;
  const char* bytes = reinterpret_cast<const char*>(data);
  // As the prompt wait sees a read, and as any string.
  checkChunk(chunkText(bytes, static_cast<int>(size)));
  checkChunk(std::string(bytes, size));
  checkAnswerLine(std::string(bytes, size));
  return 0;
}
