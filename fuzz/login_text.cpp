// The login's view of a chunk of console output: the text up to the first
// NUL (chunkText), the text after its last LF (chunkTail), and what that
// tail asks for (classifyLoginTail), against direct definitions; the wait
// mode's current line (followConsoleLine), fed in two pieces; and the lines
// the watch takes from it (takeConsoleLine), however the output is cut.
#include <cstddef>
#include <cstdint>
#include <string>

#include "check.h"
#include "modem_setup.h"

namespace {

LoginTail expectedKind(const std::string& tail) {
  if (tail == "Login: ") return LoginTail::LoginPrompt;
  if (tail == "Password: ") return LoginTail::PasswordPrompt;
  if (tail == " > ") return LoginTail::ShellPrompt;
  return LoginTail::Other;
}

void checkTail(const std::string& chunk) {
  std::string tail = chunkTail(chunk);
  FUZZ_CHECK(tail.find('\n') == std::string::npos);
  FUZZ_CHECK(tail.size() <= chunk.size());
  FUZZ_CHECK(chunk.compare(chunk.size() - tail.size(), tail.size(), tail) == 0);
  // Nothing but the LF itself stands between the rest of the chunk and the tail.
  if (tail.size() < chunk.size()) FUZZ_CHECK(chunk[chunk.size() - tail.size() - 1] == '\n');
  else FUZZ_CHECK(chunk.find('\n') == std::string::npos);

  FUZZ_CHECK(classifyLoginTail(tail) == expectedKind(tail));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 20) return 0;
  // libFuzzer's buffer has exactly size bytes, so a read past them is caught.
  const char* bytes = reinterpret_cast<const char*>(data);
  int length = static_cast<int>(size);

  std::string chunk = chunkText(bytes, length);
  size_t expectedSize = 0;
  while (expectedSize < size && bytes[expectedSize] != '\0') ++expectedSize;
  FUZZ_CHECK(chunk == std::string(bytes, expectedSize));

  checkTail(chunk);
  // The judgements hold for any string, NULs included.
  std::string raw(bytes, size);
  checkTail(raw);
  FUZZ_CHECK(classifyLoginTail(raw) == expectedKind(raw));

  // However the output is cut, the current line is the same, bounded, and
  // holds no line break, NUL or backspace.
  std::string whole, wholeLast, cut, cutLast;
  followConsoleLine(whole, wholeLast, bytes, length);
  followConsoleLine(cut, cutLast, bytes, length / 2);
  followConsoleLine(cut, cutLast, bytes + length / 2, length - length / 2);
  FUZZ_CHECK(whole.size() <= CONSOLE_LINE_MAX);
  FUZZ_CHECK(whole.find_first_of(std::string("\n\r\b\0", 4)) == std::string::npos);
  if (size <= CONSOLE_LINE_MAX) FUZZ_CHECK(whole == cut);
  isCountdownLine(whole);

  // The finished lines are the same however the output is cut (as long as
  // no line outgrows what is kept of it), and none holds a line break.
  std::string wholeLines, cutLines;
  for (int piece : {length, length / 3}) {
    std::string unfinished, line, lines;
    for (int at = 0; at < length;) {
      int end = at < piece ? piece : length;
      at += takeConsoleLine(unfinished, bytes + at, end - at, line);
      FUZZ_CHECK(line.find_first_of("\n\r") == std::string::npos);
      FUZZ_CHECK(unfinished.size() <= 2 * CONSOLE_LINE_MAX);
      if (!line.empty()) lines += line + '\n';
      isBootLine(line, "ROM");
    }
    (piece == length ? wholeLines : cutLines) = lines;
  }
  if (size <= CONSOLE_LINE_MAX) FUZZ_CHECK(wholeLines == cutLines);
  return 0;
}
