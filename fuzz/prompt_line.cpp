// The prompt wait's judgement of a chunk (hasPromptLine, countPromptLines)
// against a naive split into LF-separated lines.
#include <cstddef>
#include <cstdint>
#include <string>

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 20) return 0;
  const char* bytes = reinterpret_cast<const char*>(data);
  // As the prompt wait sees a read, and as any string.
  checkChunk(chunkText(bytes, static_cast<int>(size)));
  checkChunk(std::string(bytes, size));
  return 0;
}
