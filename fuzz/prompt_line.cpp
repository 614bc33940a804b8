// The prompt wait's judgement of a chunk (hasPromptLine) against a naive
// split into LF-separated lines.
#include <cstddef>
#include <cstdint>
#include <string>

#include "check.h"
#include "modem_setup.h"

namespace {

bool naiveHasPromptLine(const std::string& chunk) {
  std::string line;
  for (char c : chunk) {
    if (c == '\n') {
      if (line == " > ") return true;
      line.clear();
    } else {
      line += c;
    }
  }
  return line == " > ";
}

void checkChunk(const std::string& chunk) {
  bool found = hasPromptLine(chunk);
  FUZZ_CHECK(found == naiveHasPromptLine(chunk));
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
