// Time for the firmware in 100-ns units: virtual (deterministic, starts at 0,
// moves only when told) or real (steady clock since construction).
#pragma once

#include <chrono>
#include <cstdint>

namespace zem4::host {

enum class ClockMode { Virtual, Real };

class Clock {
public:
  explicit Clock(ClockMode mode);

  ClockMode Mode() const { return mode_; }
  uint64_t Now() const;
  // Virtual: jump to `t` (never backwards). Real: sleep until `t`.
  void WaitUntil(uint64_t t);

private:
  ClockMode mode_;
  uint64_t virtualNow_ = 0;
  std::chrono::steady_clock::time_point origin_;
};

} // namespace zem4::host
