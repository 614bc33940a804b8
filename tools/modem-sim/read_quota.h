// Reading at a limited rate, in portions of about 10 ms worth of bytes.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <limits>

#include "outbox.h"

namespace modemsim {

class ReadQuota {
 public:
  explicit ReadQuota(long bytesPerSecond)
      : rate_(static_cast<double>(bytesPerSecond)),
        portion_(std::max(1.0, rate_ / 100)),
        tokens_(portion_),
        last_(Clock::now()) {}

  // How many bytes may be read now; 0 means wait for untilNext().
  std::size_t allowance(Clock::time_point now) {
    if (rate_ <= 0) return std::numeric_limits<std::size_t>::max();
    refill(now);
    return tokens_ >= portion_ ? static_cast<std::size_t>(tokens_) : 0;
  }

  void used(std::size_t bytes) {
    if (rate_ > 0) tokens_ -= static_cast<double>(bytes);
  }

  Clock::duration untilNext(Clock::time_point now) {
    if (rate_ <= 0) return {};
    refill(now);
    std::chrono::duration<double> wait((portion_ - tokens_) / rate_);
    return std::chrono::duration_cast<Clock::duration>(wait);
  }

 private:
  void refill(Clock::time_point now) {
    std::chrono::duration<double> elapsed = now - last_;
    tokens_ = std::min(portion_, tokens_ + rate_ * elapsed.count());
    last_ = now;
  }

  double rate_;
  double portion_;  // bytes per read: 10 ms worth, at least one
  double tokens_;
  Clock::time_point last_;
};

}  // namespace modemsim
