// parseInteger against a strtol-based reading of the same rule: optional
// blanks, an optional sign, decimal digits, anything after them ignored; no
// digits, or a value outside int, gives 0.
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "check.h"
#include "modem_setup.h"

namespace {

int referenceParse(const std::string& text) {
  // A NUL ends the number as any other non-digit does.
  const char* s = text.c_str();
  size_t i = 0;
  while (std::isspace(static_cast<unsigned char>(s[i]))) ++i;
  size_t firstDigit = i + (s[i] == '+' || s[i] == '-' ? 1 : 0);
  if (!std::isdigit(static_cast<unsigned char>(s[firstDigit]))) return 0;
  errno = 0;
  long value = std::strtol(s + i, nullptr, 10);
  if (errno == ERANGE || value < INT_MIN || value > INT_MAX) return 0;
  return static_cast<int>(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 16) return 0;
  std::string text(reinterpret_cast<const char*>(data), size);
  FUZZ_CHECK(parseInteger(text) == referenceParse(text));

  // Every int reads back as itself, whatever follows a non-digit.
  if (size >= sizeof(int)) {
    int value;
    std::memcpy(&value, data, sizeof value);
    std::string written = std::to_string(value);
    FUZZ_CHECK(parseInteger(written) == value);
    FUZZ_CHECK(parseInteger(" \t" + written + "x" + text.substr(sizeof value)) == value);
  }
  return 0;
}
