// Image entry point and unload: install the driver binding and component name
// on the image handle, hook Unload, and take both away again.
#include "driver/Zem4Driver.h"
#include "modes/Zem4Modes.h"
#include "support/DiagLog.h"
#include "support/Globals.h"
#include "transport/Zem4Packet.h"
#include "zem4/Zem4.h"

EFI_STATUS InstallDriverProtocols(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable,
                                  EFI_DRIVER_BINDING_PROTOCOL *DriverBinding,
                                  EFI_HANDLE DriverBindingHandle,
                                  EFI_COMPONENT_NAME_PROTOCOL *ComponentName,
                                  EFI_DRIVER_CONFIGURATION_PROTOCOL *DriverConfiguration,
                                  EFI_DRIVER_DIAGNOSTICS_PROTOCOL *DriverDiagnostics) {
  EFI_STATUS Status;

  gST = SystemTable;
  gBS = SystemTable->BootServices;
  DriverBinding->ImageHandle = ImageHandle;
  DriverBinding->DriverBindingHandle = DriverBindingHandle;

  Status = gBS->InstallProtocolInterface(&DriverBinding->DriverBindingHandle,
                                         &gEfiDriverBindingProtocolGuid, EFI_NATIVE_INTERFACE,
                                         DriverBinding);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  if (ComponentName != NULL) {
    Status = gBS->InstallProtocolInterface(&DriverBinding->DriverBindingHandle,
                                           &gEfiComponentNameProtocolGuid, EFI_NATIVE_INTERFACE,
                                           ComponentName);
    if (EFI_ERROR(Status)) {
      return Status;
    }
  }
  if (DriverConfiguration != NULL) {
    Status = gBS->InstallProtocolInterface(&DriverBinding->DriverBindingHandle,
                                           &gEfiDriverConfigurationProtocolGuid,
                                           EFI_NATIVE_INTERFACE, DriverConfiguration);
    if (EFI_ERROR(Status)) {
      return Status;
    }
  }
  if (DriverDiagnostics != NULL) {
    Status = gBS->InstallProtocolInterface(&DriverBinding->DriverBindingHandle,
                                           &gEfiDriverDiagnosticsProtocolGuid, EFI_NATIVE_INTERFACE,
                                           DriverDiagnostics);
    if (EFI_ERROR(Status)) {
      return Status;
    }
  }
  return EFI_SUCCESS;
}

// Removes what the entry point installed, so that a failed entry leaves
// nothing behind on an image the firmware is about to unload.
static VOID UninstallImageProtocols(EFI_HANDLE ImageHandle) {
  VOID *Interface = NULL;
  if (!EFI_ERROR(gBS->HandleProtocol(ImageHandle, &gEfiComponentNameProtocolGuid, &Interface)) &&
      Interface == &gZem4ComponentName) {
    gBS->UninstallProtocolInterface(ImageHandle, &gEfiComponentNameProtocolGuid, Interface);
  }
  Interface = NULL;
  if (!EFI_ERROR(gBS->HandleProtocol(ImageHandle, &gEfiDriverBindingProtocolGuid, &Interface)) &&
      Interface == &gZem4DriverBinding) {
    gBS->UninstallProtocolInterface(ImageHandle, &gEfiDriverBindingProtocolGuid, Interface);
  }
}

extern "C" EFI_STATUS EFIAPI Zem4DriverEntryPoint(EFI_HANDLE ImageHandle,
                                                  EFI_SYSTEM_TABLE *SystemTable) {
  EFI_LOADED_IMAGE_PROTOCOL *LoadedImage = NULL;
  EFI_STATUS Status;

  // Module-wide state starts afresh at every load.
  gZem4StartedControllers = 0;
  OutOfOrderSeen = 0;
  DiagLogReset();

  Status = InstallDriverProtocols(ImageHandle, SystemTable, &gZem4DriverBinding, ImageHandle,
                                  &gZem4ComponentName, NULL, NULL);
  if (EFI_ERROR(Status)) {
    UninstallImageProtocols(ImageHandle);
    return Status;
  }

  Status = gBS->OpenProtocol(ImageHandle, &gEfiLoadedImageProtocolGuid, (VOID **)&LoadedImage,
                             ImageHandle, ImageHandle, EFI_OPEN_PROTOCOL_GET_PROTOCOL);
  if (EFI_ERROR(Status)) {
    UninstallImageProtocols(ImageHandle);
    return Status;
  }

  Zem4InitPacketPool();
  LoadedImage->Unload = DriverUnload;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI DriverUnload(EFI_HANDLE ImageHandle) {
  EFI_HANDLE *Handles = NULL;
  UINTN HandleCount = 0;
  EFI_STATUS Status;

  Status = gBS->LocateHandleBuffer(AllHandles, NULL, NULL, &HandleCount, &Handles);
  if (EFI_ERROR(Status)) {
    return Status;
  }

  for (UINTN Index = 0; Index < HandleCount; Index++) {
    gBS->DisconnectController(Handles[Index], ImageHandle, NULL);
  }

  // A controller that still carries our service binding has children whose
  // events and tables live in this image: the image must stay. Another loaded
  // copy of this driver installs the same GUID with its own functions.
  for (UINTN Index = 0; Index < HandleCount; Index++) {
    EFI_SERVICE_BINDING_PROTOCOL *Interface = NULL;
    if (!EFI_ERROR(gBS->HandleProtocol(Handles[Index], &gZem4ServiceBindingProtocolGuid,
                                       (VOID **)&Interface)) &&
        Interface != NULL && Interface->CreateChild == Zem4SBCreate) {
      gBS->FreePool(Handles);
      return EFI_ACCESS_DENIED;
    }
  }

  for (UINTN Index = 0; Index < HandleCount; Index++) {
    EFI_DRIVER_BINDING_PROTOCOL *Binding = NULL;
    VOID *Interface = NULL;
    if (EFI_ERROR(gBS->HandleProtocol(Handles[Index], &gEfiDriverBindingProtocolGuid,
                                      (VOID **)&Binding)) ||
        Binding->ImageHandle != ImageHandle) {
      continue;
    }
    gBS->UninstallProtocolInterface(ImageHandle, &gEfiDriverBindingProtocolGuid, Binding);
    if (!EFI_ERROR(
            gBS->HandleProtocol(Handles[Index], &gEfiComponentNameProtocolGuid, &Interface))) {
      gBS->UninstallProtocolInterface(ImageHandle, &gEfiComponentNameProtocolGuid, Interface);
    }
    if (!EFI_ERROR(gBS->HandleProtocol(Handles[Index], &gEfiDriverConfigurationProtocolGuid,
                                       &Interface))) {
      gBS->UninstallProtocolInterface(ImageHandle, &gEfiDriverConfigurationProtocolGuid, Interface);
    }
    if (!EFI_ERROR(
            gBS->HandleProtocol(Handles[Index], &gEfiDriverDiagnosticsProtocolGuid, &Interface))) {
      gBS->UninstallProtocolInterface(ImageHandle, &gEfiDriverDiagnosticsProtocolGuid, Interface);
    }
  }

  gBS->FreePool(Handles);

  // Success means the image-level protocols are gone: the firmware frees the
  // image next, and a binding left behind would point into freed code.
  UninstallImageProtocols(ImageHandle);
  VOID *Interface = NULL;
  if (!EFI_ERROR(gBS->HandleProtocol(ImageHandle, &gEfiDriverBindingProtocolGuid, &Interface)) &&
      Interface == &gZem4DriverBinding) {
    return EFI_DEVICE_ERROR;
  }
  return EFI_SUCCESS;
}
