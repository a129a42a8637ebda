// The per-controller service binding: children, each a Zem4Instance on a UDP4
// child of the controller, with one UDP4 child kept in reserve for the next
// first child.
#include "driver/Zem4Driver.h"
#include "protocol/Zem4Instance.h"
#include "protocol/Zem4Rrq.h"
#include "support/DiagLog.h"
#include "support/Globals.h"
#include "transport/Zem4Packet.h"
#include "zem4/Zem4.h"

const Zem4ServiceBinding gZem4ServiceBindingTemplate = {
    ZEM4_SERVICE_BINDING_SIGNATURE,
    {Zem4SBCreate, DestroyChild},
    NULL,
    NULL,
    NULL,
    0,
    {NULL, NULL},
    {0, 0, 0},
};

VOID Zem4InitLock(Zem4Lock *Lock, UINT32 Tpl) {
  Lock->Tpl = Tpl;
  Lock->OldTpl = 0;
  Lock->Count = 0;
}

EFI_STATUS Zem4AcquireLock(Zem4Lock *Lock) {
  if (Lock->Count != 0) {
    return EFI_ACCESS_DENIED;
  }
  Lock->OldTpl = (UINT32)Zem4RaiseTo(Lock->Tpl);
  Lock->Count = 1;
  return EFI_SUCCESS;
}

VOID Zem4ReleaseLock(Zem4Lock *Lock) {
  Lock->Count--;
  gBS->RestoreTPL(Lock->OldTpl);
}

// Runs at TPL_CALLBACK and only raises the flag the address wait polls.
VOID EFIAPI Zem4MappingTimeoutNotify(EFI_EVENT Event, VOID *Context) {
  (void)Event;
  ((Zem4Instance *)Context)->MappingTimedOut = 1;
}

// A new reserve UDP4 child, held as Start holds the first, while no child
// exists and none is held; made under the lock, where the count cannot change.
// Without one the next first child makes its own.
static VOID Zem4MakeReserve(Zem4ServiceBinding *Sb, EFI_SERVICE_BINDING_PROTOCOL *UdpSb) {
  if (EFI_ERROR(Zem4AcquireLock(&Sb->Lock))) {
    return;
  }
  EFI_HANDLE Reserve = NULL;
  EFI_UDP4_PROTOCOL *Udp = NULL;
  if (Sb->ChildrenNum == 0 && Sb->UdpChildHandle == NULL &&
      !EFI_ERROR(UdpSb->CreateChild(UdpSb, &Reserve))) {
    if (EFI_ERROR(gBS->OpenProtocol(Reserve, &gEfiUdp4ProtocolGuid, (VOID **)&Udp, AgentHandle(),
                                    Sb->ControllerHandle, EFI_OPEN_PROTOCOL_BY_DRIVER))) {
      UdpSb->DestroyChild(UdpSb, Reserve);
    } else {
      Sb->UdpChildHandle = Reserve;
      Sb->Udp = Udp;
    }
  }
  Zem4ReleaseLock(&Sb->Lock);
}

// Chosen under the lock: the last child's UDP4 child becomes the reserve
// while the count is still 0 and none is held. A child made by a notification
// since this one left the count has its own (and no reserve is handed out
// twice); one destroyed meanwhile may have left its own as the reserve.
static BOOLEAN KeepAsReserve(Zem4ServiceBinding *Sb, EFI_HANDLE ChildHandle) {
  if (EFI_ERROR(Zem4AcquireLock(&Sb->Lock))) {
    return FALSE;
  }
  BOOLEAN Keep = (BOOLEAN)(Sb->ChildrenNum == 0 && Sb->UdpChildHandle == NULL);
  if (Keep) {
    Sb->UdpChildHandle = ChildHandle;
  }
  Zem4ReleaseLock(&Sb->Lock);
  return Keep;
}

// The UDP4 child a new instance sends and receives on, opened for it into
// *ChildHandle and Instance->Udp: the reserve for a first child, a new one
// otherwise (*Made). On failure nothing made here is left.
static EFI_STATUS OpenUdpChild(Zem4ServiceBinding *Sb, Zem4Instance *Instance,
                               EFI_HANDLE *ChildHandle, EFI_SERVICE_BINDING_PROTOCOL **UdpSb,
                               BOOLEAN *Made) {
  // Without a reserve (a stuck one was given up) a first child is made like
  // any later one.
  if (Sb->ChildrenNum == 0 && Sb->UdpChildHandle != NULL) {
    *ChildHandle = Sb->UdpChildHandle;
    EFI_STATUS Status =
        gBS->OpenProtocol(*ChildHandle, &gEfiUdp4ProtocolGuid, (VOID **)&Instance->Udp,
                          AgentHandle(), NULL, EFI_OPEN_PROTOCOL_GET_PROTOCOL);
    if (EFI_ERROR(Status)) {
      DiagLog(DIAG_ERROR, "Zem4SBCreate: Open Udp protocol on child handler failed.\n");
    }
    return Status;
  }
  EFI_STATUS Status =
      gBS->OpenProtocol(Sb->ControllerHandle, &gEfiUdp4ServiceBindingProtocolGuid, (VOID **)UdpSb,
                        AgentHandle(), Sb->ControllerHandle, EFI_OPEN_PROTOCOL_GET_PROTOCOL);
  if (EFI_ERROR(Status)) {
    DiagLog(DIAG_ERROR, "Zem4SBCreate: Get UdpSb faild with %r.\n", Status);
    return Status;
  }
  Status = (*UdpSb)->CreateChild(*UdpSb, ChildHandle);
  if (EFI_ERROR(Status)) {
    DiagLog(DIAG_ERROR, "Zem4SBCreate: UdpSb->CreateChild faild with %r.\n", Status);
    return Status;
  }
  *Made = TRUE;
  Status = gBS->OpenProtocol(*ChildHandle, &gEfiUdp4ProtocolGuid, (VOID **)&Instance->Udp,
                             AgentHandle(), Sb->ControllerHandle, EFI_OPEN_PROTOCOL_BY_DRIVER);
  if (EFI_ERROR(Status)) {
    DiagLog(DIAG_ERROR, "Zem4SBCreate: Open Udp4 protocol failed with %r.\n", Status);
    (*UdpSb)->DestroyChild(*UdpSb, *ChildHandle);
  }
  return Status;
}

// Puts the Zem4 protocol on the child's handle; on failure a UDP4 child made
// for it goes again.
static EFI_STATUS InstallChild(Zem4ServiceBinding *Sb, Zem4Instance *Instance,
                               EFI_HANDLE *ChildHandle, EFI_SERVICE_BINDING_PROTOCOL *UdpSb,
                               BOOLEAN MadeUdpChild) {
  Instance->ChildHandle = *ChildHandle;
  EFI_STATUS Status = gBS->InstallMultipleProtocolInterfaces(ChildHandle, &gZem4ProtocolGuid,
                                                             &Instance->Protocol, (VOID *)NULL);
  if (EFI_ERROR(Status)) {
    DiagLog(DIAG_ERROR, "Zem4ServiceBindingCreateChild: Install Zem4 on child faild with %r.\n",
            Status);
    // Only a UDP4 child made here goes: comparing handles with the reserve
    // would keep one whose handle value happens to equal a stale reserve.
    if (MadeUdpChild) {
      gBS->CloseProtocol(*ChildHandle, &gEfiUdp4ProtocolGuid, AgentHandle(), Sb->ControllerHandle);
      UdpSb->DestroyChild(UdpSb, *ChildHandle);
    }
  }
  return Status;
}

EFI_STATUS EFIAPI Zem4SBCreate(EFI_SERVICE_BINDING_PROTOCOL *This, EFI_HANDLE *ChildHandle) {
  Zem4ServiceBinding *Sb = ZEM4_SERVICE_BINDING_FROM_THIS(This);
  if (ChildHandle == NULL) {
    return EFI_INVALID_PARAMETER;
  }
  // A later child needs a UDP4 child of its own: refused, whichever child
  // this would be, where UDP4's service binding may not be called.
  if (Zem4CalledAbove(TPL_CALLBACK)) {
    return EFI_INVALID_PARAMETER;
  }
  if (EFI_ERROR(Zem4AcquireLock(&Sb->Lock))) {
    return EFI_ACCESS_DENIED;
  }

  Zem4Instance *Instance = NULL;
  EFI_STATUS Status =
      gBS->AllocatePool(EfiBootServicesData, sizeof(Zem4Instance), (VOID **)&Instance);
  if (EFI_ERROR(Status) || Instance == NULL) {
    Zem4ReleaseLock(&Sb->Lock);
    return EFI_OUT_OF_RESOURCES;
  }
  gBS->SetMem(Instance, sizeof(Zem4Instance), 0);

  Instance->Signature = ZEM4_INSTANCE_SIGNATURE;
  Instance->ControllerHandle = Sb->ControllerHandle;
  gBS->CopyMem(&Instance->Protocol, (VOID *)&gZem4ProtocolTemplate, sizeof(Zem4));
  Instance->Configured = 0;
  Instance->State = ZEM4_STATE_IDLE;
  Instance->MappingTimedOut = 0;

  Status = gBS->CreateEvent(EVT_TIMER | EVT_NOTIFY_SIGNAL, ZEM4_TPL_LOCK, Zem4MappingTimeoutNotify,
                            Instance, &Instance->MappingEvent);
  if (EFI_ERROR(Status)) {
    DiagLog(DIAG_ERROR, "Zem4SBCreate: Create mapping timeout event return %r\n", Status);
    Instance->MappingEvent = NULL;
  }
  EFI_SERVICE_BINDING_PROTOCOL *UdpSb = NULL;
  BOOLEAN MadeUdpChild = FALSE;
  if (!EFI_ERROR(Status)) {
    Status = OpenUdpChild(Sb, Instance, ChildHandle, &UdpSb, &MadeUdpChild);
  }
  if (!EFI_ERROR(Status)) {
    Status = InstallChild(Sb, Instance, ChildHandle, UdpSb, MadeUdpChild);
  }
  if (EFI_ERROR(Status)) {
    if (Instance->MappingEvent != NULL) {
      gBS->CloseEvent(Instance->MappingEvent);
    }
    gBS->FreePool(Instance);
    Zem4ReleaseLock(&Sb->Lock);
    return Status;
  }

  if (!MadeUdpChild) {
    // Handed out: no longer the reserve, whichever child dies next.
    Sb->UdpChildHandle = NULL;
  }
  Sb->ChildrenNum++;
  InsertTailList(&Sb->Children, &Instance->Link);
  Zem4ReleaseLock(&Sb->Lock);
  return EFI_SUCCESS;
}

// The instance behind ChildHandle, marked InDestroy, into *Out; *Out stays
// NULL when it is already being destroyed (EFI_SUCCESS) or is not one of this
// controller's children.
static EFI_STATUS TakeChild(Zem4ServiceBinding *Sb, EFI_HANDLE ChildHandle, Zem4Instance **Out) {
  // Ending the transfer and giving back the UDP4 child both call UDP4. Until
  // InDestroy is set no notification may end or destroy the child under us.
  if (Zem4CalledAbove(TPL_CALLBACK)) {
    return EFI_INVALID_PARAMETER;
  }
  EFI_TPL OldTpl = Zem4RaiseToLock();
  Zem4 *Protocol = NULL;
  EFI_STATUS Status = gBS->OpenProtocol(ChildHandle, &gZem4ProtocolGuid, (VOID **)&Protocol,
                                        AgentHandle(), ChildHandle, EFI_OPEN_PROTOCOL_GET_PROTOCOL);
  if (EFI_ERROR(Status)) {
    DiagLog(DIAG_ERROR, "DestroyChild: Get Zem4 interface failed %r.\n", Status);
    gBS->RestoreTPL(OldTpl);
    return Status;
  }
  Zem4Instance *Instance = ZEM4_INSTANCE_FROM_PROTOCOL(Protocol);
  // Only this controller's own children: another's would be unlinked from a
  // list it is not on and counted off the wrong ChildrenNum.
  if (Sb->Signature != ZEM4_SERVICE_BINDING_SIGNATURE ||
      Instance->Signature != ZEM4_INSTANCE_SIGNATURE ||
      Instance->ControllerHandle != Sb->ControllerHandle) {
    gBS->RestoreTPL(OldTpl);
    return EFI_INVALID_PARAMETER;
  }
  if (Instance->InDestroy != 1) {
    Instance->InDestroy = 1;
    *Out = Instance;
  }
  // The token's notification may run from here on and finds the child busy.
  gBS->RestoreTPL(OldTpl);
  return EFI_SUCCESS;
}

// Takes the child off the controller's list and its protocol off the handle.
// A protocol that stays reachable keeps the instance a child.
static EFI_STATUS DetachChild(Zem4ServiceBinding *Sb, Zem4Instance *Instance,
                              EFI_HANDLE ChildHandle) {
  if (EFI_ERROR(Zem4AcquireLock(&Sb->Lock))) {
    Instance->InDestroy = 0;
    return EFI_ACCESS_DENIED;
  }
  RemoveEntryList(&Instance->Link);
  Sb->ChildrenNum--;
  Zem4ReleaseLock(&Sb->Lock);

  EFI_STATUS Status = gBS->UninstallMultipleProtocolInterfaces(ChildHandle, &gZem4ProtocolGuid,
                                                               &Instance->Protocol, (VOID *)NULL);
  if (EFI_ERROR(Status)) {
    // Its protocol is still reachable on the handle: the instance must live
    // on as a child rather than be freed under its callers.
    if (!EFI_ERROR(Zem4AcquireLock(&Sb->Lock))) {
      InsertTailList(&Sb->Children, &Instance->Link);
      Sb->ChildrenNum++;
      Zem4ReleaseLock(&Sb->Lock);
      Instance->InDestroy = 0;
    }
  }
  return Status;
}

// Gives the child's UDP4 child back (or keeps it as the reserve) and frees
// the instance, unless UDP4 may still write into it.
static EFI_STATUS FreeChild(Zem4ServiceBinding *Sb, Zem4Instance *Instance,
                            EFI_HANDLE ChildHandle) {
  EFI_SERVICE_BINDING_PROTOCOL *UdpSb = NULL;
  EFI_STATUS Status =
      gBS->OpenProtocol(Sb->ControllerHandle, &gEfiUdp4ServiceBindingProtocolGuid, (VOID **)&UdpSb,
                        AgentHandle(), Sb->ControllerHandle, EFI_OPEN_PROTOCOL_GET_PROTOCOL);
  if (EFI_ERROR(Status)) {
    DiagLog(DIAG_ERROR, "DestroyChild: Get Udp4SB failed with %r.\n", Status);
  }
  // A port UDP4 would not reset still holds tokens that live in the instance.
  BOOLEAN Stuck = (BOOLEAN)!Zem4SettleOwedReset(Instance);
  if (Stuck && EFI_ERROR(Status)) {
    // Without the service binding the UDP4 child cannot be destroyed: an
    // instance its tokens point into is left alive rather than freed under
    // them.
    return Status;
  }
  // A stuck port's UDP4 child goes first (aborting its tokens), even a last
  // child's, and only then what they pointed at. Without the service binding
  // only our open of it goes: the rest must not outlive the child, which has
  // already left the list and lost its protocol.
  if (Stuck || !KeepAsReserve(Sb, ChildHandle)) {
    gBS->CloseProtocol(ChildHandle, &gEfiUdp4ProtocolGuid, AgentHandle(), Sb->ControllerHandle);
    if (!EFI_ERROR(Status)) {
      UdpSb->DestroyChild(UdpSb, ChildHandle);
    }
  }
  if (Stuck) {
    Zem4ForgetUdpPort(&Instance->RxContext, &Instance->PendingList);
    Instance->PendingSends = 0;
    Zem4MakeReserve(Sb, UdpSb);
  }
  gBS->CloseEvent(Instance->MappingEvent);
  gBS->FreePool(Instance);
  return Status;
}

EFI_STATUS EFIAPI DestroyChild(EFI_SERVICE_BINDING_PROTOCOL *This, EFI_HANDLE ChildHandle) {
  Zem4ServiceBinding *Sb = ZEM4_SERVICE_BINDING_FROM_THIS(This);
  Zem4Instance *Instance = NULL;
  EFI_STATUS Status = TakeChild(Sb, ChildHandle, &Instance);
  if (EFI_ERROR(Status) || Instance == NULL) {
    return Status;
  }
  // Ends a running transfer with EFI_ABORTED before the child goes away.
  Instance->Protocol.Configure(&Instance->Protocol, NULL);
  Status = DetachChild(Sb, Instance, ChildHandle);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  return FreeChild(Sb, Instance, ChildHandle);
}
