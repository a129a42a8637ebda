// Driver binding: attaches the driver to every controller that carries the
// UDP4 service binding, and takes it apart again one UDP4 handle at a time.
#include "driver/Zem4Driver.h"
#include "protocol/Zem4Instance.h"
#include "support/DiagLog.h"
#include "support/Globals.h"
#include "transport/Zem4Packet.h"
#include "zem4/Zem4.h"

EFI_DRIVER_BINDING_PROTOCOL gZem4DriverBinding = {
    DriverBindingSupported,
    DriverBindingStart,
    DriverBindingStop,
    ZEM4_DRIVER_BINDING_VERSION,
    NULL,
    NULL,
};

UINTN gZem4StartedControllers;

EFI_HANDLE AgentHandle(VOID) {
  return gZem4DriverBinding.DriverBindingHandle;
}

EFI_STATUS EFIAPI DriverBindingSupported(EFI_DRIVER_BINDING_PROTOCOL *This,
                                         EFI_HANDLE ControllerHandle,
                                         EFI_DEVICE_PATH_PROTOCOL *RemainingDevicePath) {
  (void)RemainingDevicePath;
  return gBS->OpenProtocol(ControllerHandle, &gEfiUdp4ServiceBindingProtocolGuid, NULL,
                           This->DriverBindingHandle, ControllerHandle,
                           EFI_OPEN_PROTOCOL_TEST_PROTOCOL);
}

EFI_STATUS EFIAPI DriverBindingStart(EFI_DRIVER_BINDING_PROTOCOL *This, EFI_HANDLE ControllerHandle,
                                     EFI_DEVICE_PATH_PROTOCOL *RemainingDevicePath) {
  (void)RemainingDevicePath;
  Zem4ServiceBinding *Sb = NULL;
  EFI_SERVICE_BINDING_PROTOCOL *UdpSb = NULL;
  EFI_STATUS Status;

  Status = gBS->OpenProtocol(ControllerHandle, &gZem4ServiceBindingProtocolGuid, NULL,
                             This->DriverBindingHandle, ControllerHandle,
                             EFI_OPEN_PROTOCOL_TEST_PROTOCOL);
  if (!EFI_ERROR(Status)) {
    return EFI_ALREADY_STARTED;
  }

  Status = gBS->AllocatePool(EfiBootServicesData, sizeof(Zem4ServiceBinding), (VOID **)&Sb);
  if (EFI_ERROR(Status) || Sb == NULL) {
    DiagLog(DIAG_ERROR, "DriverBindingStart: Allocate service binding buffer failed.\n");
    return EFI_OUT_OF_RESOURCES;
  }
  gBS->CopyMem(Sb, (VOID *)&gZem4ServiceBindingTemplate, sizeof(Zem4ServiceBinding));
  Sb->ControllerHandle = ControllerHandle;
  Sb->ChildrenNum = 0;
  InitializeListHead(&Sb->Children);
  Zem4InitLock(&Sb->Lock, ZEM4_TPL_LOCK);

  Status = gBS->OpenProtocol(ControllerHandle, &gEfiUdp4ServiceBindingProtocolGuid, (VOID **)&UdpSb,
                             This->DriverBindingHandle, ControllerHandle,
                             EFI_OPEN_PROTOCOL_GET_PROTOCOL);
  if (EFI_ERROR(Status)) {
    DiagLog(DIAG_ERROR, "DriverBindingStart: Get Udp4SB failed with %r.\n", Status);
    gBS->FreePool(Sb);
    return Status;
  }

  Sb->UdpChildHandle = NULL;
  Status = UdpSb->CreateChild(UdpSb, &Sb->UdpChildHandle);
  if (EFI_ERROR(Status)) {
    DiagLog(DIAG_ERROR, "DriverBindingStart:Udp4SB->CreateChild failed %r.\n", Status);
    gBS->FreePool(Sb);
    return Status;
  }

  Status =
      gBS->OpenProtocol(Sb->UdpChildHandle, &gEfiUdp4ProtocolGuid, (VOID **)&Sb->Udp,
                        This->DriverBindingHandle, ControllerHandle, EFI_OPEN_PROTOCOL_BY_DRIVER);
  if (EFI_ERROR(Status)) {
    DiagLog(DIAG_ERROR, "DriverBindingStart: OpenProtocol Udp4 failed %r.\n", Status);
    if (Sb->UdpChildHandle != NULL) {
      UdpSb->DestroyChild(UdpSb, Sb->UdpChildHandle);
    }
    gBS->FreePool(Sb);
    return Status;
  }

  Status = gBS->InstallMultipleProtocolInterfaces(
      &ControllerHandle, &gZem4ServiceBindingProtocolGuid, &Sb->ServiceBinding, (VOID *)NULL);
  if (EFI_ERROR(Status)) {
    DiagLog(DIAG_ERROR, "DriverBindingStart: Install Zem4ServiceBinding failed %r.\n", Status);
    gBS->CloseProtocol(Sb->UdpChildHandle, &gEfiUdp4ProtocolGuid, This->DriverBindingHandle,
                       ControllerHandle);
    UdpSb->DestroyChild(UdpSb, Sb->UdpChildHandle);
    gBS->FreePool(Sb);
    return Status;
  }

  // The packet pool is driver-wide and set up once at entry: packets of other
  // controllers may be pooled or in flight right now.
  gZem4StartedControllers++;
  return EFI_SUCCESS;
}

// The controller whose service binding ControllerHandle's UDP4 serves: the
// one that opened it by driver, else (a multicast port) the child that opened
// it on its behalf.
static EFI_STATUS FindParent(EFI_DRIVER_BINDING_PROTOCOL *This, EFI_HANDLE ControllerHandle,
                             EFI_HANDLE *Parent) {
  EFI_OPEN_PROTOCOL_INFORMATION_ENTRY *Entries = NULL;
  UINTN EntryCount = 0;
  EFI_STATUS Status =
      gBS->OpenProtocolInformation(ControllerHandle, &gEfiUdp4ProtocolGuid, &Entries, &EntryCount);
  if (EFI_ERROR(Status)) {
    DiagLog(DIAG_ERROR, "DriverBindingStop: Get Udp Protocol failed %r.\n", Status);
    return Status;
  }
  *Parent = NULL;
  for (UINTN Index = 0; Index < EntryCount; Index++) {
    if ((Entries[Index].Attributes & EFI_OPEN_PROTOCOL_BY_DRIVER) != 0) {
      *Parent = Entries[Index].ControllerHandle;
      break;
    }
  }
  // A multicast port's UDP4 is opened only on behalf of the child that owns
  // it; that child is the parent to stop.
  for (UINTN Index = 0; *Parent == NULL && Index < EntryCount; Index++) {
    if ((Entries[Index].Attributes & EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER) != 0 &&
        Entries[Index].AgentHandle == This->DriverBindingHandle) {
      *Parent = Entries[Index].ControllerHandle;
    }
  }
  if (Entries != NULL) {
    gBS->FreePool(Entries);
  }
  if (*Parent == NULL) {
    DiagLog(DIAG_ERROR, "DriverBindingStop: No Parrent controller found.\n");
    return EFI_DEVICE_ERROR;
  }
  return EFI_SUCCESS;
}

// The last child is gone: the service binding, the reserve UDP4 child and,
// with the last controller, the packet pool go.
static EFI_STATUS StopController(EFI_DRIVER_BINDING_PROTOCOL *This, EFI_HANDLE ControllerHandle,
                                 EFI_HANDLE Parent, Zem4ServiceBinding *Sb) {
  DiagLog(DIAG_ERROR,
          "DriverBindingStop: ChildrenNum is 0 and begin destroy the conjuction UDP child.\n");
  // Everything that can fail comes before the reserve is given up, so that a
  // failed Stop leaves a controller that a later Stop can still take down.
  EFI_SERVICE_BINDING_PROTOCOL *UdpSb = NULL;
  EFI_STATUS Status = gBS->OpenProtocol(Parent, &gEfiUdp4ServiceBindingProtocolGuid,
                                        (VOID **)&UdpSb, This->DriverBindingHandle,
                                        ControllerHandle, EFI_OPEN_PROTOCOL_GET_PROTOCOL);
  if (EFI_ERROR(Status)) {
    DiagLog(DIAG_ERROR, "DriverBindingStop: Get Udp4SB failed %r on Parent controller.\n", Status);
    return Status;
  }
  Status = gBS->UninstallMultipleProtocolInterfaces(Parent, &gZem4ServiceBindingProtocolGuid,
                                                    &Sb->ServiceBinding, (VOID *)NULL);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  gBS->CloseProtocol(ControllerHandle, &gEfiUdp4ProtocolGuid, This->DriverBindingHandle, Parent);
  UdpSb->DestroyChild(UdpSb, Sb->UdpChildHandle);

  gBS->FreePool(Sb);
  if (gZem4StartedControllers > 0) {
    gZem4StartedControllers--;
  }
  if (gZem4StartedControllers == 0) {
    Zem4DrainPacketPool();
  }
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI DriverBindingStop(EFI_DRIVER_BINDING_PROTOCOL *This, EFI_HANDLE ControllerHandle,
                                    UINTN NumberOfChildren, EFI_HANDLE *ChildHandleBuffer) {
  (void)NumberOfChildren;
  (void)ChildHandleBuffer;
  EFI_HANDLE Parent = NULL;
  EFI_STATUS Status = FindParent(This, ControllerHandle, &Parent);
  if (EFI_ERROR(Status)) {
    return Status;
  }

  EFI_SERVICE_BINDING_PROTOCOL *ServiceBinding = NULL;
  Zem4 *Protocol = NULL;
  Status = gBS->OpenProtocol(Parent, &gZem4ServiceBindingProtocolGuid, (VOID **)&ServiceBinding,
                             This->DriverBindingHandle, ControllerHandle,
                             EFI_OPEN_PROTOCOL_GET_PROTOCOL);
  if (EFI_ERROR(Status)) {
    Status =
        gBS->OpenProtocol(Parent, &gZem4ProtocolGuid, (VOID **)&Protocol, This->DriverBindingHandle,
                          ControllerHandle, EFI_OPEN_PROTOCOL_GET_PROTOCOL);
    if (!EFI_ERROR(Status)) {
      // ControllerHandle is a child's multicast port: stopping the child's own
      // handle takes the port with it.
      return DriverBindingStop(This, Parent, 0, NULL);
    }
    DiagLog(DIAG_ERROR, "DriverBindingStop: Get Zem4SB or ZEM4 failed %r.\n", Status);
    return EFI_DEVICE_ERROR;
  }
  Zem4ServiceBinding *Sb = ZEM4_SERVICE_BINDING_FROM_THIS(ServiceBinding);

  if (Sb->ChildrenNum > 0) {
    Status = gBS->OpenProtocol(ControllerHandle, &gZem4ProtocolGuid, (VOID **)&Protocol,
                               This->DriverBindingHandle, ControllerHandle,
                               EFI_OPEN_PROTOCOL_GET_PROTOCOL);
    if (!EFI_ERROR(Status)) {
      // A child that is still alive after a failed destruction must not be
      // reported as stopped.
      Status = ServiceBinding->DestroyChild(ServiceBinding, ControllerHandle);
      if (EFI_ERROR(Status)) {
        return Status;
      }
    }
    if (Sb->ChildrenNum > 0) {
      return EFI_SUCCESS;
    }
  }
  return StopController(This, ControllerHandle, Parent, Sb);
}
