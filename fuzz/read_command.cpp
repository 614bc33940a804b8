// readCommand over a whole command file: exactly the lines that are not empty
// and do not start with '#', in order and byte for byte, against a naive
// split at LF.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "check.h"
#include "modem_setup.h"

namespace {

std::vector<std::string> naiveCommands(const std::string& text) {
  std::vector<std::string> commands;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line[0] != '#') commands.push_back(line);
    start = end + 1;
  }
  return commands;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 20) return 0;
  std::string text(reinterpret_cast<const char*>(data), size);
  std::istringstream file(text);
  std::vector<std::string> commands;
  std::string command;
  while (readCommand(file, command)) {
    FUZZ_CHECK(commands.size() <= size);
    commands.push_back(command);
  }
  FUZZ_CHECK(!file.bad());
  FUZZ_CHECK(!readCommand(file, command));  // the end stays the end
  FUZZ_CHECK(commands == naiveCommands(text));
  return 0;
}
