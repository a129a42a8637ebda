#include "host/PoolMemory.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace zem4::host {

namespace {

bool ValidPoolType(UINT32 type) {
  if (type < EfiMaxMemoryType)
    return type != EfiConventionalMemory && type != EfiPersistentMemory &&
           type != EfiUnacceptedMemoryType;
  return type >= 0x70000000u; // OEM and OS-loader ranges
}

} // namespace

EFI_STATUS PoolMemory::Allocate(EFI_MEMORY_TYPE type, UINTN size, void **buffer) {
  if (buffer == nullptr || !ValidPoolType(type))
    return EFI_INVALID_PARAMETER;
  if (size > kMaxAllocation)
    return EFI_OUT_OF_RESOURCES;
  // A zero-byte request still yields a distinct block that must be freed.
  const size_t bytes = size == 0 ? 1 : size;
  std::unique_ptr<std::byte[]> storage(new (std::nothrow) std::byte[bytes]);
  if (!storage)
    return EFI_OUT_OF_RESOURCES;
  std::memset(storage.get(), kFillByte, bytes);
  void *p = storage.get();
  blocks_.emplace(p, Block{std::move(storage), size, ++sequence_, type});
  liveBytes_ += size;
  *buffer = p;
  return EFI_SUCCESS;
}

EFI_STATUS PoolMemory::Free(void *buffer) {
  auto it = blocks_.find(buffer);
  if (buffer == nullptr || it == blocks_.end())
    return EFI_INVALID_PARAMETER;
  liveBytes_ -= it->second.size;
  blocks_.erase(it);
  return EFI_SUCCESS;
}

size_t PoolMemory::SizeOf(const void *buffer) const {
  auto it = blocks_.find(buffer);
  return it == blocks_.end() ? 0 : it->second.size;
}

std::vector<std::string> PoolMemory::Report(size_t maxLines) const {
  std::vector<std::string> lines;
  if (blocks_.empty())
    return lines;
  lines.push_back("pool: " + std::to_string(blocks_.size()) + " block(s), " +
                  std::to_string(liveBytes_) + " byte(s) live");
  // Oldest first: the allocation sequence number points at the culprit.
  std::vector<const Block *> order;
  for (const auto &[p, b] : blocks_)
    order.push_back(&b);
  std::sort(order.begin(), order.end(),
            [](const Block *a, const Block *b) { return a->sequence < b->sequence; });
  for (size_t i = 0; i < order.size() && i < maxLines; ++i)
    lines.push_back("  pool block #" + std::to_string(order[i]->sequence) + ": " +
                    std::to_string(order[i]->size) + " byte(s), type " +
                    std::to_string(order[i]->type));
  if (order.size() > maxLines)
    lines.push_back("  ... " + std::to_string(order.size() - maxLines) + " more");
  return lines;
}

} // namespace zem4::host
