// Bytes shown as a C string literal's contents, for the transcript.
#pragma once

#include <string>

namespace modemsim {

// "\r\nLogin: " stays readable; \r \n \t \0 \\ \" and \xHH for the rest.
std::string escapeBytes(const std::string& bytes);

}  // namespace modemsim
