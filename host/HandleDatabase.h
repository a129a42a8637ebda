// The protocol database's records: handles in creation order, the interfaces
// on each, and the open entries of each interface. Plain data operations only;
// the UEFI rules live in ProtocolServices and DriverModel.
#pragma once

#include "efi/Uefi.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace zem4::host {

bool SameGuid(const EFI_GUID &a, const EFI_GUID &b);
std::string GuidText(const EFI_GUID &guid);

class HandleDatabase {
public:
  struct OpenEntry {
    EFI_HANDLE agent = nullptr;
    EFI_HANDLE controller = nullptr;
    UINT32 attributes = 0;
    UINT32 openCount = 0;
  };
  struct Interface {
    EFI_GUID guid{};
    void *iface = nullptr;
    std::vector<OpenEntry> opens;
  };
  struct Handle {
    uint64_t id = 0;
    uint64_t created = 0; // creation order, which lookups report in
    // unique_ptr: GUID addresses handed out by ProtocolsPerHandle stay put.
    std::vector<std::unique_ptr<Interface>> protocols;
  };

  // Opens that bind a driver or child and must be closed by their owner.
  static bool MustBeClosed(UINT32 attributes) {
    return (attributes & (EFI_OPEN_PROTOCOL_BY_DRIVER | EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER |
                          EFI_OPEN_PROTOCOL_EXCLUSIVE)) != 0;
  }

  explicit HandleDatabase(uint64_t seed = 1) : random_(seed) {}

  bool IsHandle(EFI_HANDLE handle) const { return Get(handle) != nullptr; }
  Handle *Get(EFI_HANDLE handle) const;
  Interface *Find(EFI_HANDLE handle, const EFI_GUID &guid) const;

  // A handle value freed earlier comes back (one of the older half, chosen by
  // the seed), as firmware reuses the memory of a freed handle: code that
  // keeps a stale handle then meets someone else's.
  EFI_HANDLE NewHandle();
  // Handle values handed out again after their handle went.
  uint64_t Reused() const { return reused_; }
  // Adds an interface (no checks beyond a duplicate GUID → false).
  bool Add(EFI_HANDLE handle, const EFI_GUID &guid, void *iface);
  // Removes an interface with its open entries; the handle goes with its last one.
  void Remove(EFI_HANDLE handle, const EFI_GUID &guid);
  // Drops every open entry made by `agent`, anywhere (image unload).
  void CloseAllBy(EFI_HANDLE agent);

  std::vector<EFI_HANDLE> AllHandles() const;
  std::vector<EFI_HANDLE> HandlesWith(const EFI_GUID &guid) const;
  size_t HandleCount() const { return handles_.size(); }
  size_t OpenEntriesToClose() const;
  std::vector<std::string> Report(EFI_HANDLE skipHandle) const;

private:
  static EFI_HANDLE HandleOf(uint64_t id);
  // Live handles in creation order.
  std::vector<const Handle *> InOrder() const;
  uint64_t NextRandom();

  std::map<uint64_t, Handle> handles_;
  std::vector<uint64_t> freeIds_; // oldest first
  uint64_t nextId_ = 1;
  uint64_t created_ = 0;
  uint64_t reused_ = 0;
  uint64_t random_;
};

} // namespace zem4::host
