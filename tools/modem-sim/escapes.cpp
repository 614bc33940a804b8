#include "escapes.h"

#include <cstdio>

namespace modemsim {

std::string escapeBytes(const std::string& bytes) {
  std::string shown;
  for (unsigned char c : bytes) {
    switch (c) {
      case '\r': shown += "\\r"; break;
      case '\n': shown += "\\n"; break;
      case '\t': shown += "\\t"; break;
      case '\0': shown += "\\0"; break;
      case '\\': shown += "\\\\"; break;
      case '"': shown += "\\\""; break;
      default:
        if (c >= 0x20 && c < 0x7f) {
          shown += static_cast<char>(c);
        } else {
          char hex[5];
          // NOLINTNEXTLINE(cert-err33-c): \xNN and its terminator always fit
          std::snprintf(hex, sizeof hex, "\\x%02x", c);
          shown += hex;
        }
    }
  }
  return shown;
}

}  // namespace modemsim
