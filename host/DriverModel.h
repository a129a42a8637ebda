// ConnectController / DisconnectController: which drivers manage a controller,
// and the Supported/Start/Stop calls of their driver bindings.
#pragma once

#include "efi/Uefi.h"

#include <vector>

namespace zem4::host {

class HandleDatabase;

class DriverModel {
public:
  explicit DriverModel(HandleDatabase &db) : db_(db) {}

  // `preferred` (driver-binding handles) are tried first; with `onlyPreferred`
  // no other driver is tried (reconnecting drivers displaced by an uninstall).
  EFI_STATUS Connect(EFI_HANDLE controller, const std::vector<EFI_HANDLE> &preferred,
                     bool recursive, bool onlyPreferred = false);
  EFI_STATUS Disconnect(EFI_HANDLE controller, EFI_HANDLE driver, EFI_HANDLE child);

  EFI_DRIVER_BINDING_PROTOCOL *Binding(EFI_HANDLE driver) const;
  // Agents holding a protocol of `controller` BY_DRIVER, in first-seen order.
  std::vector<EFI_HANDLE> ManagingDrivers(EFI_HANDLE controller) const;
  // Handles that `driver` marked as children of `controller` (BY_CHILD_CONTROLLER).
  std::vector<EFI_HANDLE> Children(EFI_HANDLE controller, EFI_HANDLE driver) const;

private:
  HandleDatabase &db_;
  unsigned depth_ = 0; // guards recursive connects against cycles
};

} // namespace zem4::host
