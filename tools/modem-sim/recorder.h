// Recording a real modem: the program under test gets a pty of its own, and
// every byte goes through between it and the modem's serial device,
// unchanged and at once, while the session becomes a reply file.
#pragma once

#include <memory>
#include <string>

namespace modemsim {

class Recorder {
 public:
  // Opens the device as -l does (raw 8N1, clocal, no flow control, at
  // bitsPerSecond), a new pty for the program, and a temporary file beside
  // file, so a file that cannot be written is known before anything runs.
  // Throws std::system_error naming what failed.
  Recorder(const std::string& file, const std::string& device, int bitsPerSecond);
  ~Recorder();  // stops; a recording not saved leaves no file behind
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  const std::string& slavePath() const;  // the program's end of its pty
  // Each event is also written here (-1: none): <- what the modem
  // received, -> what it sent, the password as \P.
  void setTranscriptFd(int fd);

  void start();  // forwards on a thread of its own
  void stop();   // takes in what is still on its way, then stops forwarding

  // Writes the recording to the file, all at once (the temporary file
  // renamed over it). Throws std::runtime_error, and writes nothing, when
  // the modem's line hung up or the file cannot be written.
  void save();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace modemsim
