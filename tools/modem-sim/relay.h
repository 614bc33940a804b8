// Relaying the serial port of an emulated board that powers on later (an
// emulator's UART on a unix socket) to a pty of the program's own. What the
// program sends before the board's first output byte reaches it is lost, as
// on a board whose UART its bootloader sets up; from then on every byte goes
// through both ways, unchanged and at once. Each event goes to the
// transcript with its time, so a test can tell what reached the board and
// when.
#pragma once

#include <memory>
#include <string>

namespace modemsim {

class Relay {
 public:
  // Listens on a new unix socket at socketPath (a path that exists already
  // is an error, so nobody else's socket is taken over) and opens a new pty
  // for the program. Throws std::system_error naming what failed.
  explicit Relay(const std::string& socketPath);
  ~Relay();  // stops, and removes the socket
  Relay(const Relay&) = delete;
  Relay& operator=(const Relay&) = delete;

  const std::string& slavePath() const;  // the program's end of its pty
  // Each event is written here (-1: none), one line each, starting with the
  // milliseconds since start(): "<-" what reached the board, "->" what it
  // printed, "-- dropped" what the program sent before that, "-- connected"
  // and "-- disconnected" for the board's power.
  void setTranscriptFd(int fd);

  void start();  // relays on a thread of its own
  void stop();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace modemsim
