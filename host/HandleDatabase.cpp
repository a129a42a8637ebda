#include "host/HandleDatabase.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace zem4::host {

namespace {

// Handles are tokens, never dereferenceable; their values are reused after
// the handle goes. (In the 32-bit runner the top byte of a 32-bit address
// serves as the tag.)
constexpr uintptr_t kHandleBase =
    static_cast<uintptr_t>(sizeof(uintptr_t) == 8 ? uint64_t{0xA7} << 48 : uint64_t{0xA7} << 24);

std::string Ptr(const void *p) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "%p", p);
  return buf;
}

} // namespace

bool SameGuid(const EFI_GUID &a, const EFI_GUID &b) {
  return std::memcmp(&a, &b, sizeof(EFI_GUID)) == 0;
}

std::string GuidText(const EFI_GUID &g) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return buf;
}

HandleDatabase::Handle *HandleDatabase::Get(EFI_HANDLE handle) const {
  const auto raw = reinterpret_cast<uintptr_t>(handle);
  if (raw < kHandleBase || (raw - kHandleBase) % 16 != 0)
    return nullptr;
  auto it = handles_.find((raw - kHandleBase) / 16);
  return it == handles_.end() ? nullptr : const_cast<Handle *>(&it->second);
}

HandleDatabase::Interface *HandleDatabase::Find(EFI_HANDLE handle, const EFI_GUID &guid) const {
  Handle *h = Get(handle);
  if (h == nullptr)
    return nullptr;
  for (auto &p : h->protocols)
    if (SameGuid(p->guid, guid))
      return p.get();
  return nullptr;
}

EFI_HANDLE HandleDatabase::HandleOf(uint64_t id) {
  return reinterpret_cast<EFI_HANDLE>(kHandleBase + id * 16);
}

uint64_t HandleDatabase::NextRandom() {
  uint64_t z = (random_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

EFI_HANDLE HandleDatabase::NewHandle() {
  uint64_t id = 0;
  if (!freeIds_.empty()) {
    const size_t pick = NextRandom() % ((freeIds_.size() + 1) / 2);
    id = freeIds_[pick];
    freeIds_.erase(freeIds_.begin() + static_cast<std::ptrdiff_t>(pick));
    ++reused_;
  } else {
    id = nextId_++;
  }
  Handle &h = handles_[id];
  h.id = id;
  h.created = ++created_;
  return HandleOf(id);
}

std::vector<const HandleDatabase::Handle *> HandleDatabase::InOrder() const {
  std::vector<const Handle *> out;
  for (const auto &[id, h] : handles_)
    out.push_back(&h);
  std::sort(out.begin(), out.end(),
            [](const Handle *a, const Handle *b) { return a->created < b->created; });
  return out;
}

bool HandleDatabase::Add(EFI_HANDLE handle, const EFI_GUID &guid, void *iface) {
  Handle *h = Get(handle);
  if (h == nullptr || Find(handle, guid) != nullptr)
    return false;
  auto p = std::make_unique<Interface>();
  p->guid = guid;
  p->iface = iface;
  h->protocols.push_back(std::move(p));
  return true;
}

void HandleDatabase::Remove(EFI_HANDLE handle, const EFI_GUID &guid) {
  Handle *h = Get(handle);
  if (h == nullptr)
    return;
  auto &v = h->protocols;
  v.erase(std::remove_if(v.begin(), v.end(), [&](auto &p) { return SameGuid(p->guid, guid); }),
          v.end());
  if (v.empty()) {
    freeIds_.push_back(h->id);
    handles_.erase(h->id);
  }
}

void HandleDatabase::CloseAllBy(EFI_HANDLE agent) {
  for (auto &[id, h] : handles_)
    for (auto &p : h.protocols)
      std::erase_if(p->opens, [&](const OpenEntry &e) { return e.agent == agent; });
}

std::vector<EFI_HANDLE> HandleDatabase::AllHandles() const {
  std::vector<EFI_HANDLE> out;
  for (const Handle *h : InOrder())
    out.push_back(HandleOf(h->id));
  return out;
}

std::vector<EFI_HANDLE> HandleDatabase::HandlesWith(const EFI_GUID &guid) const {
  std::vector<EFI_HANDLE> out;
  for (const Handle *h : InOrder())
    for (const auto &p : h->protocols)
      if (SameGuid(p->guid, guid)) {
        out.push_back(HandleOf(h->id));
        break;
      }
  return out;
}

size_t HandleDatabase::OpenEntriesToClose() const {
  size_t n = 0;
  for (const auto &[id, h] : handles_)
    for (const auto &p : h.protocols)
      for (const auto &e : p->opens)
        if (MustBeClosed(e.attributes))
          ++n;
  return n;
}

std::vector<std::string> HandleDatabase::Report(EFI_HANDLE skipHandle) const {
  std::vector<std::string> lines;
  for (const Handle *hp : InOrder()) {
    const Handle &h = *hp;
    const auto handle = HandleOf(h.id);
    const bool skip = handle == skipHandle;
    if (!skip) {
      std::string line = "handle " + Ptr(handle) + ":";
      for (const auto &p : h.protocols) {
        // Appended piece by piece: GCC 12 at -O3 takes " " + a temporary for
        // an overlapping copy (-Wrestrict) and would fail the release build.
        line += ' ';
        line += GuidText(p->guid);
      }
      lines.push_back(std::move(line));
    }
    for (const auto &p : h.protocols)
      for (const auto &e : p->opens)
        if (MustBeClosed(e.attributes)) {
          char attr[16];
          std::snprintf(attr, sizeof attr, "0x%02X", static_cast<unsigned>(e.attributes));
          lines.push_back("  open " + GuidText(p->guid) + " on " + Ptr(handle) + " by agent " +
                          Ptr(e.agent) + " for controller " + Ptr(e.controller) + ", attributes " +
                          attr + ", count " + std::to_string(e.openCount));
        }
  }
  return lines;
}

} // namespace zem4::host
