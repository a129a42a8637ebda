#include "host/FaultInjector.h"

namespace zem4::host {

void FaultInjector::FailNth(std::string call, uint64_t n, Status status) {
  nth_[std::move(call)][n] = status;
}

void FaultInjector::FailAlways(std::string call, Status status) {
  always_[std::move(call)] = status;
}

void FaultInjector::FailNext(std::string call, Status status) {
  const uint64_t n = Count(call) + 1;
  FailNth(std::move(call), n, status);
}

void FaultInjector::Clear() {
  nth_.clear();
  always_.clear();
}

void FaultInjector::ResetCounts() {
  counts_.clear();
}

bool FaultInjector::ShouldFail(std::string_view call, Status &status) {
  auto it = counts_.find(call);
  if (it == counts_.end())
    it = counts_.emplace(std::string(call), 0).first;
  const uint64_t n = ++it->second;

  if (auto a = always_.find(call); a != always_.end()) {
    status = a->second;
    ++injected_;
    return true;
  }
  if (auto plan = nth_.find(call); plan != nth_.end()) {
    if (auto hit = plan->second.find(n); hit != plan->second.end()) {
      status = hit->second;
      ++injected_;
      return true;
    }
  }
  return false;
}

uint64_t FaultInjector::Count(std::string_view call) const {
  auto it = counts_.find(call);
  return it == counts_.end() ? 0 : it->second;
}

} // namespace zem4::host
