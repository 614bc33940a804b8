#include "boot_model.h"

#include <cstdio>

namespace modemsim {

namespace {

// U-Boot's words and its way of counting down: the number rewritten in
// place, three backspaces and the next one, every second.
const char AUTOBOOT_TEXT[] = "Hit any key to stop autoboot: ";
const char BOOTLOADER_PROMPT[] = "\r\n=> ";
// No '#' or '>' in it: a boot log line is never a shell prompt.
const char KERNEL_BANNER[] =
    "[    0.000000] Linux version 4.1.52 (builder@modem) (gcc version 5.5.0) SMP PREEMPT\r\n";

std::string countdownDigits(int seconds) {
  return (seconds < 10 ? " " : "") + std::to_string(seconds) + " ";
}

}  // namespace

std::string bootLogText(std::size_t bytes) {
  std::string log;
  bool banner = false;
  for (int line = 1; log.size() < bytes; ++line) {
    if (!banner && log.size() > bytes / 4) {
      log += KERNEL_BANNER;
      banner = true;
    }
    char text[96];
    // NOLINTNEXTLINE(cert-err33-c): the longest line fits, and a cut one would do
    std::snprintf(text, sizeof text, "[%5d.%06d] boot: line %d of the modem's boot log\r\n",
                  line / 100, (line % 100) * 10000, line);
    log += text;
  }
  log.resize(bytes);
  return log;
}

BootSettings rebootSettings(const BootSettings& powerOn, bool countdown) {
  BootSettings reboot = powerOn;
  reboot.powerOnMs = powerOn.rebootOffMs;
  if (reboot.logBytes == 0) reboot.logBytes = REBOOT_LOG_BYTES;
  if (!countdown) reboot.autobootSeconds = 0;
  else if (reboot.autobootSeconds == 0) reboot.autobootSeconds = REBOOT_AUTOBOOT_SECONDS;
  return reboot;
}

BootModel::BootModel(const BootSettings& settings, Clock::time_point start)
    : settings_(settings),
      powerOn_(start + std::chrono::milliseconds(settings.powerOnMs)),
      log_(bootLogText(settings.logBytes)) {
  if (settings_.autobootSeconds > 0) {
    // The bootloader's part ends at a line's end, where it prints its countdown.
    split_ = log_.find('\n', log_.size() / 4);
    split_ = split_ == std::string::npos ? log_.size() : split_ + 1;
  }
}

std::vector<BootModel::Output> BootModel::advance(Clock::time_point now, bool lineIdle) {
  std::vector<Output> out;
  if (stage_ == Stage::Off && now >= powerOn_) {
    out.push_back(
        {std::string(), "-- powered on: " + std::to_string(log_.size()) + " bytes of boot log" +
                            (settings_.autobootSeconds > 0 ? ", an autoboot countdown" : "")});
    if (settings_.autobootSeconds > 0) {
      out.push_back({log_.substr(0, split_), ""});
      stage_ = Stage::Bootloader;
      // The countdown waits for the bootloader's lines to leave the line.
      lineIdle = lineIdle && split_ == 0;
    } else {
      stage_ = Stage::Kernel;
    }
  }
  if (stage_ == Stage::Bootloader && lineIdle) {
    secondsLeft_ = settings_.autobootSeconds;
    nextTick_ = now + std::chrono::seconds(1);
    out.push_back({AUTOBOOT_TEXT + countdownDigits(secondsLeft_),
                   "-- autoboot countdown of " + std::to_string(secondsLeft_) +
                       " s: any byte received stops it"});
    stage_ = Stage::Countdown;
  }
  while (stage_ == Stage::Countdown && now >= nextTick_) {
    --secondsLeft_;
    nextTick_ += std::chrono::seconds(1);
    if (!settings_.silentCountdown) out.push_back({"\b\b\b" + countdownDigits(secondsLeft_), ""});
    if (secondsLeft_ == 0) {
      out.push_back({"\r\n", "-- autoboot countdown over: booting"});
      stage_ = Stage::Kernel;
    }
  }
  if (stage_ == Stage::Kernel) {
    out.push_back({log_.substr(split_), "-- booted: the console offers its login"});
    stage_ = Stage::Booted;
  }
  return out;
}

Clock::time_point BootModel::due() const {
  switch (stage_) {
    case Stage::Off: return powerOn_;
    case Stage::Countdown: return nextTick_;
    default: return Clock::time_point::max();
  }
}

BootModel::Output BootModel::receive(const std::string& bytes) {
  switch (stage_) {
    case Stage::Countdown:
      stage_ = Stage::Stopped;
      return {BOOTLOADER_PROMPT,
              "-- autoboot stopped by a byte received during its countdown: the modem stays at "
              "its bootloader prompt and never reaches its login"};
    case Stage::Stopped: {
      Output prompts;
      for (char byte : bytes)
        if (byte == '\n') prompts.bytes += BOOTLOADER_PROMPT;
      return prompts;
    }
    case Stage::Off: return {"", "-- dropped: the modem is off"};
    default: return {"", "-- dropped: the modem is booting"};
  }
}

}  // namespace modemsim
