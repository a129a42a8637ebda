// Boot-services pool with live accounting: every block is tracked from
// AllocatePool to FreePool so that a test can name what it leaked.
#pragma once

#include "efi/Uefi.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace zem4::host {

class PoolMemory {
public:
  // Fresh blocks are filled with this, so that code relying on zeroed pool fails.
  static constexpr uint8_t kFillByte = 0xAF;
  // Larger requests fail with EFI_OUT_OF_RESOURCES instead of exhausting the host.
  static constexpr size_t kMaxAllocation = size_t(1) << 30;

  EFI_STATUS Allocate(EFI_MEMORY_TYPE type, UINTN size, void **buffer);
  EFI_STATUS Free(void *buffer);
  bool Owns(const void *buffer) const { return blocks_.count(buffer) != 0; }
  // Size of a live block, 0 if `buffer` is not one.
  size_t SizeOf(const void *buffer) const;

  size_t LiveCount() const { return blocks_.size(); }
  size_t LiveBytes() const { return liveBytes_; }
  uint64_t TotalAllocations() const { return sequence_; }
  std::vector<std::string> Report(size_t maxLines = 20) const;

private:
  struct Block {
    std::unique_ptr<std::byte[]> storage;
    size_t size;
    uint64_t sequence;
    EFI_MEMORY_TYPE type;
  };
  std::map<const void *, Block> blocks_;
  size_t liveBytes_ = 0;
  uint64_t sequence_ = 0;
};

} // namespace zem4::host
