// The modem's own boot, before its console offers the login: powered off
// (silent, and deaf to what arrives), then its boot log, with a bootloader
// countdown in it ("Hit any key to stop autoboot") that any byte received
// stops for good: the modem then sits at its bootloader prompt and never
// reaches its login, as a real one does until its power is cycled. The
// kernel's part of the log starts with its banner ("Linux version ..."), the
// one line every boot prints, countdown or not. A reboot is the same boot
// again (rebootSettings).
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace modemsim {

using Clock = std::chrono::steady_clock;

// How the modem boots; the default: it is up when the simulator starts.
struct BootSettings {
  int powerOnMs = 0;         // silent, dropping its input, for this long after the start
  std::size_t logBytes = 0;  // then this much boot log
  // A bootloader countdown of this many seconds after the log's first
  // quarter (0: none).
  int autobootSeconds = 0;
  // The countdown shows its line once and then counts silently, as a
  // bootloader that prints no seconds does.
  bool silentCountdown = false;
  // A reboot: off (and deaf) for this long before its boot log.
  int rebootOffMs = 300;
  bool enabled() const { return powerOnMs > 0 || logBytes > 0 || autobootSeconds > 0; }
};

class BootModel {
 public:
  BootModel(const BootSettings& settings, Clock::time_point start);

  // What the modem prints, and a note for the transcript ("-- ..."), either
  // or both.
  struct Output {
    std::string bytes;
    std::string note;
  };

  // The output due by now. lineIdle: whatever it printed before has left
  // the line, so the countdown starts once its line can be seen.
  std::vector<Output> advance(Clock::time_point now, bool lineIdle);
  // When advance next has something to do; max() while it waits for the
  // line or has nothing more to do.
  Clock::time_point due() const;
  // The boot is over: the console has its input from now on.
  bool booted() const { return stage_ == Stage::Booted; }
  // Input before that: lost while the modem is off or booting; during the
  // countdown it stops the autoboot, and at the bootloader prompt each
  // newline gets a new prompt.
  Output receive(const std::string& bytes);

 private:
  enum class Stage { Off, Bootloader, Countdown, Kernel, Booted, Stopped };

  const BootSettings settings_;
  const Clock::time_point powerOn_;
  Stage stage_ = Stage::Off;
  std::string log_;        // the whole boot log
  std::size_t split_ = 0;  // where the countdown comes in it
  int secondsLeft_ = 0;
  Clock::time_point nextTick_{};
};

// A boot log of exactly bytes bytes: numbered lines, CR LF ended; the line
// after its first quarter is the kernel's banner (where the kernel starts
// after a countdown).
std::string bootLogText(std::size_t bytes);

// How the modem boots again after a reboot: off for rebootOffMs, then the
// power-on's boot log (REBOOT_LOG_BYTES when that has none), with its
// countdown or none; a countdown the power-on lacks lasts
// REBOOT_AUTOBOOT_SECONDS.
constexpr std::size_t REBOOT_LOG_BYTES = 1000;
constexpr int REBOOT_AUTOBOOT_SECONDS = 2;
BootSettings rebootSettings(const BootSettings& powerOn, bool countdown);

}  // namespace modemsim
