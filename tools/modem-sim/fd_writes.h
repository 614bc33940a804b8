// Writes to the descriptors the simulator serves, shared by its relays:
// a queue for a non-blocking peer, and a transcript written whole.
#pragma once

#include <string>

namespace modemsim {

// Writes what fits now of queue and keeps the rest; false when the
// descriptor failed. A socket is written with send, so a peer that has gone
// raises no SIGPIPE.
bool writeSome(int fd, std::string& queue, bool socket = false);
// Writes all of text; a descriptor that fails is given up on quietly (a
// transcript that cannot be written is not worth stopping for).
void writeAll(int fd, const std::string& text);

}  // namespace modemsim
