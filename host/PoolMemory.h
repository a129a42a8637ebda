// Boot-services pool with live accounting: every block is tracked from
// AllocatePool to FreePool so that a test can name what it leaked. Freed
// blocks are kept, poisoned for AddressSanitizer and filled with a pattern,
// and handed out again in a seeded order, as a firmware pool reuses its
// memory: a stale pointer then reads another block's data (or, before the
// reuse, makes ASan report the access).
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
  // Freed blocks are filled with this until they are handed out again.
  static constexpr uint8_t kFreedByte = 0xDF;
  // Larger requests fail with EFI_OUT_OF_RESOURCES instead of exhausting the host.
  static constexpr size_t kMaxAllocation = size_t(1) << 30;
  // Blocks up to this size come in power-of-two classes and are reused; larger
  // ones go back to the host at once.
  static constexpr size_t kLargestReused = size_t(1) << 20;
  // Freed memory kept for reuse, at most.
  static constexpr size_t kReuseBudget = size_t(64) << 20;

  explicit PoolMemory(uint64_t seed = 1);
  ~PoolMemory();
  PoolMemory(const PoolMemory &) = delete;
  PoolMemory &operator=(const PoolMemory &) = delete;

  EFI_STATUS Allocate(EFI_MEMORY_TYPE type, UINTN size, void **buffer);
  // `caller`: where FreePool was called from, named if ASan later reports a
  // use of the freed block.
  EFI_STATUS Free(void *buffer, const void *caller = nullptr);
  bool Owns(const void *buffer) const { return blocks_.count(buffer) != 0; }
  // Size of a live block, 0 if `buffer` is not one.
  size_t SizeOf(const void *buffer) const;

  size_t LiveCount() const { return blocks_.size(); }
  size_t LiveBytes() const { return liveBytes_; }
  uint64_t TotalAllocations() const { return sequence_; }
  // Whether freed blocks and the slack after a block are poisoned (an
  // AddressSanitizer build), and whether `p` is poisoned now.
  static bool Poisons();
  static bool IsPoisoned(const void *p);
  // Allocations served from a freed block.
  uint64_t Reused() const { return reused_; }
  std::vector<std::string> Report(size_t maxLines = 20) const;

private:
  // Memory of one block class; unpoisoned before it goes back to the host.
  struct Storage {
    std::byte *bytes = nullptr;
    size_t capacity = 0;
    // The last block it held, for an ASan report on a stale pointer.
    uint64_t sequence = 0;
    size_t size = 0;
    const void *freedBy = nullptr;
    Storage(size_t cap);
    ~Storage();
    Storage(const Storage &) = delete;
    Storage &operator=(const Storage &) = delete;
  };
  struct Block {
    std::unique_ptr<Storage> storage;
    size_t size;
    uint64_t sequence;
    EFI_MEMORY_TYPE type;
  };
  static size_t ClassOf(size_t size);
  // Called by ASan as it reports a bad access: names the pool block the
  // address belongs to (freed, or the slack past a live one).
  static void DescribeForAsan(const char *report);
  void Describe(const void *address) const;
  uint64_t NextRandom();

  std::map<const void *, Block> blocks_;
  // Freed blocks by class, oldest first.
  std::map<size_t, std::vector<std::unique_ptr<Storage>>> freed_;
  size_t freedBytes_ = 0;
  size_t liveBytes_ = 0;
  uint64_t sequence_ = 0;
  uint64_t reused_ = 0;
  uint64_t random_;
};

} // namespace zem4::host
