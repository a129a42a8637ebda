// Deterministic failures for any Boot Services or UDP4 call: on the Nth
// occurrence of a call (1-based) or on every occurrence, with a chosen status.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>

namespace zem4::host {

class FaultInjector {
public:
  using Status = uint64_t; // EFI_STATUS on the host

  void FailNth(std::string call, uint64_t n, Status status);
  void FailAlways(std::string call, Status status);
  // Fails the next occurrence of `call` (the one after Count(call)).
  void FailNext(std::string call, Status status);
  // Forgets every planned failure (the counts stay).
  void Clear();
  void ResetCounts();

  // Counts this occurrence of `call`; true, with `status` set, when it is to fail.
  bool ShouldFail(std::string_view call, Status &status);
  template <typename S> bool ShouldFail(std::string_view call, S &status) {
    Status s = 0;
    if (!ShouldFail(call, s))
      return false;
    status = static_cast<S>(s);
    return true;
  }

  uint64_t Count(std::string_view call) const;
  const std::map<std::string, uint64_t, std::less<>> &Counts() const { return counts_; }
  // How many planned failures have been delivered.
  uint64_t Injected() const { return injected_; }

private:
  std::map<std::string, uint64_t, std::less<>> counts_;
  std::map<std::string, std::map<uint64_t, Status>, std::less<>> nth_;
  std::map<std::string, Status, std::less<>> always_;
  uint64_t injected_ = 0;
};

} // namespace zem4::host
