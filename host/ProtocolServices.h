// The protocol handler services of Boot Services with their UEFI rules:
// install/uninstall/reinstall, open/close with every attribute, open
// information and the lookups. Outputs that the caller frees come from pool.
#pragma once

#include "efi/Uefi.h"

#include <utility>
#include <vector>

namespace zem4::host {

class HandleDatabase;
class PoolMemory;
class DriverModel;

class ProtocolServices {
public:
  using Pairs = std::vector<std::pair<const EFI_GUID *, void *>>;

  ProtocolServices(HandleDatabase &db, PoolMemory &pool, DriverModel &drivers)
      : db_(db), pool_(pool), drivers_(drivers) {}
  void SetFirmwareHandle(EFI_HANDLE h) { firmwareHandle_ = h; }

  EFI_STATUS Install(EFI_HANDLE *handle, const EFI_GUID *guid, UINT32 interfaceType, void *iface);
  EFI_STATUS InstallMultiple(EFI_HANDLE *handle, const Pairs &pairs);
  EFI_STATUS Uninstall(EFI_HANDLE handle, const EFI_GUID *guid, void *iface);
  EFI_STATUS UninstallMultiple(EFI_HANDLE handle, const Pairs &pairs);
  EFI_STATUS Reinstall(EFI_HANDLE handle, const EFI_GUID *guid, void *oldIface, void *newIface);

  EFI_STATUS Open(EFI_HANDLE handle, const EFI_GUID *guid, void **iface, EFI_HANDLE agent,
                  EFI_HANDLE controller, UINT32 attributes);
  EFI_STATUS Close(EFI_HANDLE handle, const EFI_GUID *guid, EFI_HANDLE agent,
                   EFI_HANDLE controller);
  EFI_STATUS OpenInformation(EFI_HANDLE handle, const EFI_GUID *guid,
                             EFI_OPEN_PROTOCOL_INFORMATION_ENTRY **entries, UINTN *count);
  EFI_STATUS HandleProtocol(EFI_HANDLE handle, const EFI_GUID *guid, void **iface);
  EFI_STATUS ProtocolsPerHandle(EFI_HANDLE handle, EFI_GUID ***guids, UINTN *count);

  EFI_STATUS LocateHandle(UINT32 searchType, const EFI_GUID *guid, void *searchKey,
                          UINTN *bufferSize, EFI_HANDLE *buffer);
  EFI_STATUS LocateHandleBuffer(UINT32 searchType, const EFI_GUID *guid, void *searchKey,
                                UINTN *count, EFI_HANDLE **buffer);
  EFI_STATUS LocateProtocol(const EFI_GUID *guid, void *registration, void **iface);

private:
  EFI_STATUS Search(UINT32 searchType, const EFI_GUID *guid, void *searchKey,
                    std::vector<EFI_HANDLE> &out) const;
  // Takes the interface off its drivers and non-driver opens; false (with
  // the drivers reconnected) when some open entry still holds it.
  bool Release(EFI_HANDLE handle, const EFI_GUID &guid, std::vector<EFI_HANDLE> &displaced);

  HandleDatabase &db_;
  PoolMemory &pool_;
  DriverModel &drivers_;
  EFI_HANDLE firmwareHandle_ = nullptr;
};

} // namespace zem4::host
