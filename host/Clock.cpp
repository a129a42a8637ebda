#include "host/Clock.h"

#include <thread>

namespace zem4::host {

using Ticks100ns = std::chrono::duration<uint64_t, std::ratio<1, 10'000'000>>;

Clock::Clock(ClockMode mode) : mode_(mode), origin_(std::chrono::steady_clock::now()) {}

uint64_t Clock::Now() const {
  if (mode_ == ClockMode::Virtual)
    return virtualNow_;
  auto elapsed = std::chrono::steady_clock::now() - origin_;
  return std::chrono::duration_cast<Ticks100ns>(elapsed).count();
}

void Clock::WaitUntil(uint64_t t) {
  if (mode_ == ClockMode::Virtual) {
    if (t > virtualNow_)
      virtualNow_ = t;
    return;
  }
  std::this_thread::sleep_until(origin_ + Ticks100ns(t));
}

} // namespace zem4::host
