#include "host/PoolMemory.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <set>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZEM4_POOL_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define ZEM4_POOL_ASAN 1
#endif

#ifdef ZEM4_POOL_ASAN
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#define ZEM4_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define ZEM4_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define ZEM4_POISON(p, n) ((void)(p), (void)(n))
#define ZEM4_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace zem4::host {

namespace {

bool ValidPoolType(UINT32 type) {
  if (type < EfiMaxMemoryType)
    return type != EfiConventionalMemory && type != EfiPersistentMemory &&
           type != EfiUnacceptedMemoryType;
  return type >= 0x70000000u; // OEM and OS-loader ranges
}

constexpr size_t kSmallestClass = 16;

// Every pool alive, for the ASan report hook.
std::set<const PoolMemory *> &Pools() {
  static std::set<const PoolMemory *> pools;
  return pools;
}

std::string CallSite(const void *pc) {
  char text[256] = "an unknown caller";
#ifdef ZEM4_POOL_ASAN
  if (pc != nullptr)
    __sanitizer_symbolize_pc(const_cast<void *>(pc), "%p %F %L", text, sizeof text);
#else
  (void)pc;
#endif
  return text;
}

} // namespace

PoolMemory::Storage::Storage(size_t cap) : capacity(cap) {
  bytes = new (std::nothrow) std::byte[cap];
}

PoolMemory::Storage::~Storage() {
  if (bytes != nullptr)
    ZEM4_UNPOISON(bytes, capacity);
  delete[] bytes;
}

PoolMemory::PoolMemory(uint64_t seed) : random_(seed) {
  Pools().insert(this);
#ifdef ZEM4_POOL_ASAN
  static std::once_flag hooked;
  std::call_once(hooked, [] { __asan_set_error_report_callback(&PoolMemory::DescribeForAsan); });
#endif
}

void PoolMemory::DescribeForAsan(const char *) {
#ifdef ZEM4_POOL_ASAN
  const void *address = __asan_get_report_address();
  for (const PoolMemory *pool : Pools())
    pool->Describe(address);
#endif
}

void PoolMemory::Describe(const void *address) const {
  const auto *a = static_cast<const std::byte *>(address);
  for (const auto &[cls, list] : freed_)
    for (const auto &st : list)
      if (a >= st->bytes && a < st->bytes + st->capacity)
        std::fprintf(stderr,
                     "zem4 pool: %p is %zu byte(s) into freed pool block #%llu (%zu byte(s)), "
                     "freed by FreePool called from %s\n",
                     address, size_t(a - st->bytes), static_cast<unsigned long long>(st->sequence),
                     st->size, CallSite(st->freedBy).c_str());
  for (const auto &[p, block] : blocks_) {
    const Storage &st = *block.storage;
    if (a >= st.bytes + block.size && a < st.bytes + st.capacity)
      std::fprintf(stderr,
                   "zem4 pool: %p is %zu byte(s) past the end of pool block #%llu (%zu byte(s))\n",
                   address, size_t(a - st.bytes - block.size),
                   static_cast<unsigned long long>(block.sequence), block.size);
  }
}

bool PoolMemory::Poisons() {
#ifdef ZEM4_POOL_ASAN
  return true;
#else
  return false;
#endif
}

bool PoolMemory::IsPoisoned(const void *p) {
#ifdef ZEM4_POOL_ASAN
  return __asan_address_is_poisoned(p) != 0;
#else
  (void)p;
  return false;
#endif
}

PoolMemory::~PoolMemory() {
  Pools().erase(this);
}

size_t PoolMemory::ClassOf(size_t size) {
  if (size > kLargestReused)
    return size;
  size_t c = kSmallestClass;
  while (c < size)
    c <<= 1;
  return c;
}

uint64_t PoolMemory::NextRandom() {
  uint64_t z = (random_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

EFI_STATUS PoolMemory::Allocate(EFI_MEMORY_TYPE type, UINTN size, void **buffer) {
  if (buffer == nullptr || !ValidPoolType(type))
    return EFI_INVALID_PARAMETER;
  if (size > kMaxAllocation)
    return EFI_OUT_OF_RESOURCES;
  const size_t cls = ClassOf(size);
  std::unique_ptr<Storage> storage;
  auto it = freed_.find(cls);
  if (it != freed_.end() && !it->second.empty()) {
    // One of the older half of the freed blocks, chosen by the seed: reused
    // soon enough to show stale pointers, while the newest stay poisoned.
    auto &list = it->second;
    const size_t pick = NextRandom() % ((list.size() + 1) / 2);
    storage = std::move(list[pick]);
    list.erase(list.begin() + static_cast<std::ptrdiff_t>(pick));
    freedBytes_ -= cls;
    ++reused_;
  } else {
    storage = std::make_unique<Storage>(cls);
    if (storage->bytes == nullptr)
      return EFI_OUT_OF_RESOURCES;
  }
  std::byte *p = storage->bytes;
  ZEM4_UNPOISON(p, cls);
  std::memset(p, kFillByte, size);
  // The rest of the class stays out of reach: running past the block is
  // still an overflow for ASan (a zero-byte block has no byte to touch).
  ZEM4_POISON(p + size, cls - size);
  blocks_.emplace(p, Block{std::move(storage), size, ++sequence_, type});
  liveBytes_ += size;
  *buffer = p;
  return EFI_SUCCESS;
}

EFI_STATUS PoolMemory::Free(void *buffer, const void *caller) {
  auto it = blocks_.find(buffer);
  if (buffer == nullptr || it == blocks_.end())
    return EFI_INVALID_PARAMETER;
  liveBytes_ -= it->second.size;
  std::unique_ptr<Storage> storage = std::move(it->second.storage);
  storage->sequence = it->second.sequence;
  storage->size = it->second.size;
  storage->freedBy = caller;
  blocks_.erase(it);
  const size_t cls = storage->capacity;
  if (cls > kLargestReused || freedBytes_ + cls > kReuseBudget)
    return EFI_SUCCESS; // back to the host, where ASan quarantines it
  ZEM4_UNPOISON(storage->bytes, cls);
  std::memset(storage->bytes, kFreedByte, cls);
  ZEM4_POISON(storage->bytes, cls);
  freedBytes_ += cls;
  freed_[cls].push_back(std::move(storage));
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
