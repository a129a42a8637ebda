#include "host/ProtocolServices.h"
#include "host/DriverModel.h"
#include "host/HandleDatabase.h"
#include "host/PoolMemory.h"

#include <algorithm>

namespace zem4::host {

namespace {

constexpr UINT32 kByHandle = EFI_OPEN_PROTOCOL_BY_HANDLE_PROTOCOL;
constexpr UINT32 kGet = EFI_OPEN_PROTOCOL_GET_PROTOCOL;
constexpr UINT32 kTest = EFI_OPEN_PROTOCOL_TEST_PROTOCOL;
constexpr UINT32 kByChild = EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER;
constexpr UINT32 kByDriver = EFI_OPEN_PROTOCOL_BY_DRIVER;
constexpr UINT32 kExclusive = EFI_OPEN_PROTOCOL_EXCLUSIVE;
constexpr UINT32 kByDriverExclusive = kByDriver | kExclusive;

bool ValidAttributes(UINT32 a) {
  switch (a) {
  case kByHandle:
  case kGet:
  case kTest:
  case kByChild:
  case kByDriver:
  case kByDriverExclusive:
  case kExclusive:
    return true;
  default:
    return false;
  }
}

bool IsNonDriverOpen(UINT32 a) {
  return a == kByHandle || a == kGet || a == kTest;
}

} // namespace

EFI_STATUS ProtocolServices::Install(EFI_HANDLE *handle, const EFI_GUID *guid, UINT32 interfaceType,
                                     void *iface) {
  if (handle == nullptr || guid == nullptr || interfaceType != EFI_NATIVE_INTERFACE)
    return EFI_INVALID_PARAMETER;
  if (*handle != nullptr) {
    if (!db_.IsHandle(*handle) || db_.Find(*handle, *guid) != nullptr)
      return EFI_INVALID_PARAMETER;
    db_.Add(*handle, *guid, iface);
    return EFI_SUCCESS;
  }
  EFI_HANDLE fresh = db_.NewHandle();
  db_.Add(fresh, *guid, iface);
  *handle = fresh;
  return EFI_SUCCESS;
}

EFI_STATUS ProtocolServices::InstallMultiple(EFI_HANDLE *handle, const Pairs &pairs) {
  if (handle == nullptr)
    return EFI_INVALID_PARAMETER;
  for (size_t i = 0; i < pairs.size(); ++i)
    for (size_t j = 0; j < i; ++j)
      if (SameGuid(*pairs[i].first, *pairs[j].first))
        return EFI_INVALID_PARAMETER;
  const EFI_HANDLE original = *handle;
  size_t done = 0;
  EFI_STATUS st = EFI_SUCCESS;
  for (; done < pairs.size(); ++done) {
    st = Install(handle, pairs[done].first, EFI_NATIVE_INTERFACE, pairs[done].second);
    if (EFI_ERROR(st))
      break;
  }
  if (!EFI_ERROR(st))
    return EFI_SUCCESS;
  // Undo what this call installed; a handle it made disappears with them.
  for (size_t i = done; i-- > 0;)
    db_.Remove(*handle, *pairs[i].first);
  *handle = original;
  return st;
}

bool ProtocolServices::Release(EFI_HANDLE handle, const EFI_GUID &guid,
                               std::vector<EFI_HANDLE> &displaced) {
  if (auto *p = db_.Find(handle, guid))
    for (const auto &e : p->opens)
      if (e.attributes & kByDriver)
        if (std::find(displaced.begin(), displaced.end(), e.agent) == displaced.end())
          displaced.push_back(e.agent);
  for (EFI_HANDLE agent : displaced)
    if (db_.IsHandle(handle) && drivers_.Binding(agent))
      drivers_.Disconnect(handle, agent, nullptr);
  auto *p = db_.Find(handle, guid);
  if (p == nullptr)
    return true;
  std::erase_if(p->opens, [](const auto &e) { return IsNonDriverOpen(e.attributes); });
  if (p->opens.empty())
    return true;
  if (!displaced.empty())
    drivers_.Connect(handle, displaced, false, true);
  return false;
}

EFI_STATUS ProtocolServices::Uninstall(EFI_HANDLE handle, const EFI_GUID *guid, void *iface) {
  if (guid == nullptr || !db_.IsHandle(handle))
    return EFI_INVALID_PARAMETER;
  auto *p = db_.Find(handle, *guid);
  if (p == nullptr || p->iface != iface)
    return EFI_NOT_FOUND;
  std::vector<EFI_HANDLE> displaced;
  if (!Release(handle, *guid, displaced))
    return EFI_ACCESS_DENIED;
  db_.Remove(handle, *guid);
  return EFI_SUCCESS;
}

EFI_STATUS ProtocolServices::UninstallMultiple(EFI_HANDLE handle, const Pairs &pairs) {
  if (!db_.IsHandle(handle))
    return EFI_INVALID_PARAMETER;
  for (size_t i = 0; i < pairs.size(); ++i) {
    if (!EFI_ERROR(Uninstall(handle, pairs[i].first, pairs[i].second)))
      continue;
    // Put back what this call removed (the handle may be gone with them).
    for (size_t j = i; j-- > 0;) {
      EFI_HANDLE h = db_.IsHandle(handle) ? handle : nullptr;
      if (h == nullptr)
        break; // a vanished handle cannot be restored under its old value
      Install(&h, pairs[j].first, EFI_NATIVE_INTERFACE, pairs[j].second);
    }
    return EFI_INVALID_PARAMETER;
  }
  return EFI_SUCCESS;
}

EFI_STATUS ProtocolServices::Reinstall(EFI_HANDLE handle, const EFI_GUID *guid, void *oldIface,
                                       void *newIface) {
  if (guid == nullptr || !db_.IsHandle(handle))
    return EFI_INVALID_PARAMETER;
  auto *p = db_.Find(handle, *guid);
  if (p == nullptr || p->iface != oldIface)
    return EFI_NOT_FOUND;
  std::vector<EFI_HANDLE> displaced;
  if (!Release(handle, *guid, displaced))
    return EFI_ACCESS_DENIED;
  if (auto *q = db_.Find(handle, *guid))
    q->iface = newIface;
  else if (db_.IsHandle(handle))
    db_.Add(handle, *guid, newIface);
  else
    return EFI_NOT_FOUND;
  if (!displaced.empty())
    drivers_.Connect(handle, displaced, false, true);
  return EFI_SUCCESS;
}

EFI_STATUS ProtocolServices::Open(EFI_HANDLE handle, const EFI_GUID *guid, void **iface,
                                  EFI_HANDLE agent, EFI_HANDLE controller, UINT32 attributes) {
  if (guid == nullptr || !db_.IsHandle(handle) || !ValidAttributes(attributes))
    return EFI_INVALID_PARAMETER;
  if (iface == nullptr && attributes != kTest)
    return EFI_INVALID_PARAMETER;
  auto *p = db_.Find(handle, *guid);
  if (p == nullptr) {
    if (attributes != kTest)
      *iface = nullptr;
    return EFI_UNSUPPORTED;
  }
  const bool needsAgent = attributes == kByChild || attributes == kByDriver ||
                          attributes == kByDriverExclusive || attributes == kExclusive;
  const bool needsController =
      attributes == kByChild || attributes == kByDriver || attributes == kByDriverExclusive;
  if (needsAgent && !db_.IsHandle(agent))
    return EFI_INVALID_PARAMETER;
  if (needsController && !db_.IsHandle(controller))
    return EFI_INVALID_PARAMETER;
  if (attributes == kByChild && handle == controller)
    return EFI_INVALID_PARAMETER;

  auto holds = [&](UINT32 a) {
    std::vector<EFI_HANDLE> agents;
    for (const auto &e : db_.Find(handle, *guid)->opens)
      if (e.attributes == a)
        agents.push_back(e.agent);
    return agents;
  };
  auto interfaceOut = [&] {
    if (attributes != kTest)
      *iface = p->iface;
  };

  switch (attributes) {
  case kByDriver:
    if (!holds(kByDriverExclusive).empty() || !holds(kExclusive).empty())
      return EFI_ACCESS_DENIED;
    for (EFI_HANDLE a : holds(kByDriver)) {
      if (a == agent) {
        interfaceOut();
        return EFI_ALREADY_STARTED;
      }
      return EFI_ACCESS_DENIED;
    }
    break;
  case kByDriverExclusive:
  case kExclusive: {
    if (!holds(kExclusive).empty())
      return EFI_ACCESS_DENIED;
    for (EFI_HANDLE a : holds(kByDriverExclusive)) {
      if (attributes == kByDriverExclusive && a == agent) {
        interfaceOut();
        return EFI_ALREADY_STARTED;
      }
      return EFI_ACCESS_DENIED;
    }
    // Sole use: the drivers holding it now are asked to let go.
    for (EFI_HANDLE a : holds(kByDriver))
      if (drivers_.Binding(a))
        drivers_.Disconnect(handle, a, nullptr);
    p = db_.Find(handle, *guid);
    if (p == nullptr) {
      if (attributes != kTest)
        *iface = nullptr;
      return EFI_UNSUPPORTED;
    }
    if (!holds(kByDriver).empty())
      return EFI_ACCESS_DENIED;
    break;
  }
  default:
    break;
  }

  interfaceOut();
  for (auto &e : p->opens)
    if (e.agent == agent && e.controller == controller && e.attributes == attributes) {
      ++e.openCount;
      return EFI_SUCCESS;
    }
  p->opens.push_back({agent, controller, attributes, 1});
  return EFI_SUCCESS;
}

EFI_STATUS ProtocolServices::Close(EFI_HANDLE handle, const EFI_GUID *guid, EFI_HANDLE agent,
                                   EFI_HANDLE controller) {
  if (guid == nullptr || !db_.IsHandle(handle) || !db_.IsHandle(agent))
    return EFI_INVALID_PARAMETER;
  if (controller != nullptr && !db_.IsHandle(controller))
    return EFI_INVALID_PARAMETER;
  auto *p = db_.Find(handle, *guid);
  if (p == nullptr)
    return EFI_NOT_FOUND;
  const size_t removed = std::erase_if(
      p->opens, [&](const auto &e) { return e.agent == agent && e.controller == controller; });
  return removed ? EFI_SUCCESS : EFI_NOT_FOUND;
}

EFI_STATUS ProtocolServices::OpenInformation(EFI_HANDLE handle, const EFI_GUID *guid,
                                             EFI_OPEN_PROTOCOL_INFORMATION_ENTRY **entries,
                                             UINTN *count) {
  if (guid == nullptr || entries == nullptr || count == nullptr || !db_.IsHandle(handle))
    return EFI_INVALID_PARAMETER;
  auto *p = db_.Find(handle, *guid);
  if (p == nullptr)
    return EFI_NOT_FOUND;
  const size_t n = p->opens.size();
  void *buffer = nullptr;
  const size_t bytes = std::max<size_t>(n, 1) * sizeof(EFI_OPEN_PROTOCOL_INFORMATION_ENTRY);
  if (EFI_ERROR(pool_.Allocate(EfiBootServicesData, bytes, &buffer)))
    return EFI_OUT_OF_RESOURCES;
  auto *out = static_cast<EFI_OPEN_PROTOCOL_INFORMATION_ENTRY *>(buffer);
  for (size_t i = 0; i < n; ++i)
    out[i] = {p->opens[i].agent, p->opens[i].controller, p->opens[i].attributes,
              p->opens[i].openCount};
  *entries = out;
  *count = n;
  return EFI_SUCCESS;
}

EFI_STATUS ProtocolServices::HandleProtocol(EFI_HANDLE handle, const EFI_GUID *guid, void **iface) {
  if (guid == nullptr || iface == nullptr || !db_.IsHandle(handle))
    return EFI_INVALID_PARAMETER;
  return Open(handle, guid, iface, firmwareHandle_, nullptr, kByHandle);
}

EFI_STATUS ProtocolServices::ProtocolsPerHandle(EFI_HANDLE handle, EFI_GUID ***guids,
                                                UINTN *count) {
  if (guids == nullptr || count == nullptr || !db_.IsHandle(handle))
    return EFI_INVALID_PARAMETER;
  auto *h = db_.Get(handle);
  void *buffer = nullptr;
  if (EFI_ERROR(
          pool_.Allocate(EfiBootServicesData, h->protocols.size() * sizeof(EFI_GUID *), &buffer)))
    return EFI_OUT_OF_RESOURCES;
  auto *out = static_cast<EFI_GUID **>(buffer);
  for (size_t i = 0; i < h->protocols.size(); ++i)
    out[i] = &h->protocols[i]->guid;
  *guids = out;
  *count = h->protocols.size();
  return EFI_SUCCESS;
}

EFI_STATUS ProtocolServices::Search(UINT32 searchType, const EFI_GUID *guid, void *searchKey,
                                    std::vector<EFI_HANDLE> &out) const {
  (void)searchKey;
  switch (searchType) {
  case AllHandles:
    out = db_.AllHandles();
    break;
  case ByProtocol:
    if (guid == nullptr)
      return EFI_INVALID_PARAMETER;
    out = db_.HandlesWith(*guid);
    break;
  default:
    // No protocol-notify registrations exist here, so no key can be valid.
    return EFI_INVALID_PARAMETER;
  }
  return out.empty() ? EFI_NOT_FOUND : EFI_SUCCESS;
}

EFI_STATUS ProtocolServices::LocateHandle(UINT32 searchType, const EFI_GUID *guid, void *searchKey,
                                          UINTN *bufferSize, EFI_HANDLE *buffer) {
  if (bufferSize == nullptr || (buffer == nullptr && *bufferSize != 0))
    return EFI_INVALID_PARAMETER;
  std::vector<EFI_HANDLE> found;
  if (EFI_STATUS st = Search(searchType, guid, searchKey, found); EFI_ERROR(st))
    return st;
  const UINTN needed = found.size() * sizeof(EFI_HANDLE);
  if (*bufferSize < needed) {
    *bufferSize = needed;
    return EFI_BUFFER_TOO_SMALL;
  }
  std::copy(found.begin(), found.end(), buffer);
  *bufferSize = needed;
  return EFI_SUCCESS;
}

EFI_STATUS ProtocolServices::LocateHandleBuffer(UINT32 searchType, const EFI_GUID *guid,
                                                void *searchKey, UINTN *count,
                                                EFI_HANDLE **buffer) {
  if (count == nullptr || buffer == nullptr)
    return EFI_INVALID_PARAMETER;
  *count = 0;
  *buffer = nullptr;
  std::vector<EFI_HANDLE> found;
  if (EFI_STATUS st = Search(searchType, guid, searchKey, found); EFI_ERROR(st))
    return st;
  void *out = nullptr;
  if (EFI_ERROR(pool_.Allocate(EfiBootServicesData, found.size() * sizeof(EFI_HANDLE), &out)))
    return EFI_OUT_OF_RESOURCES;
  std::copy(found.begin(), found.end(), static_cast<EFI_HANDLE *>(out));
  *buffer = static_cast<EFI_HANDLE *>(out);
  *count = found.size();
  return EFI_SUCCESS;
}

EFI_STATUS ProtocolServices::LocateProtocol(const EFI_GUID *guid, void *registration,
                                            void **iface) {
  (void)registration;
  if (guid == nullptr || iface == nullptr)
    return EFI_INVALID_PARAMETER;
  const auto handles = db_.HandlesWith(*guid);
  if (handles.empty()) {
    *iface = nullptr;
    return EFI_NOT_FOUND;
  }
  *iface = db_.Find(handles.front(), *guid)->iface;
  return EFI_SUCCESS;
}

} // namespace zem4::host
