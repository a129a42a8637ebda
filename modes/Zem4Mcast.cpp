// The multicast port: a second UDP4 child, made from the controller's UDP4
// service binding, bound to the group's port and joined to the group. Its
// receives feed the same dispatch as the unicast port's.
#include "modes/Zem4Modes.h"

#include "driver/Zem4Driver.h"
#include "protocol/Zem4Instance.h"
#include "protocol/Zem4Rrq.h"
#include "support/DiagLog.h"
#include "support/Globals.h"

namespace {

BOOLEAN IsBroadcast(const EFI_IPv4_ADDRESS &Ip) {
  return (BOOLEAN)(Ip.Addr[0] == 255 && Ip.Addr[1] == 255 && Ip.Addr[2] == 255 &&
                   Ip.Addr[3] == 255);
}

EFI_HANDLE AgentHandle() {
  return gZem4DriverBinding.DriverBindingHandle;
}

// The controller's UDP4 service binding, looked up each time it is needed: one
// kept from the port's creation may be gone since, with its memory.
EFI_STATUS OpenServiceBinding(Zem4Instance *Instance, EFI_SERVICE_BINDING_PROTOCOL **UdpSb) {
  *UdpSb = NULL;
  EFI_STATUS Status = gBS->OpenProtocol(
      Instance->ControllerHandle, &gEfiUdp4ServiceBindingProtocolGuid, (VOID **)UdpSb,
      AgentHandle(), Instance->ControllerHandle, EFI_OPEN_PROTOCOL_GET_PROTOCOL);
  if (!EFI_ERROR(Status) && *UdpSb == NULL) {
    Status = EFI_NOT_FOUND;
  }
  if (EFI_ERROR(Status)) {
    *UdpSb = NULL;
  }
  return Status;
}

// A child that cannot serve this pass is given back, whether it was made now
// or kept from an earlier pass: a forgotten child would stay open for good.
// Without the service binding only our open goes; the child stays with UDP4,
// which reclaims it when it stops.
VOID ReleaseChild(Zem4Instance *Instance, EFI_SERVICE_BINDING_PROTOCOL *UdpSb) {
  EFI_HANDLE Child = Instance->McastChildHandle;
  if (Child == NULL) {
    return;
  }
  if (UdpSb == NULL) {
    OpenServiceBinding(Instance, &UdpSb);
  }
  gBS->CloseProtocol(Child, &gEfiUdp4ProtocolGuid, AgentHandle(), Instance->ChildHandle);
  if (UdpSb != NULL) {
    UdpSb->DestroyChild(UdpSb, Child);
  }
}

// A datagram that UDP4 completed before the reset but whose notification
// never ran: its event is about to go, so its buffer is handed back here.
VOID HandBackWaiting(Zem4RxContext *Rx) {
  if (Rx->RxToken.Status == EFI_SUCCESS && Rx->RxToken.Packet.RxData != NULL) {
    gBS->SignalEvent(Rx->RxToken.Packet.RxData->RecycleSignal);
    Rx->RxToken.Packet.RxData = NULL;
  }
}

// Gives the group's UDP4 child back to the service binding, which aborts
// whatever it still holds of ours. A failure marks the transfer failed.
EFI_STATUS DestroyMcastChild(Zem4Instance *Instance) {
  EFI_SERVICE_BINDING_PROTOCOL *UdpSb = NULL;
  EFI_STATUS Status = OpenServiceBinding(Instance, &UdpSb);
  if (EFI_ERROR(Status)) {
    DiagLog(DIAG_ERROR, "Zem4RrqCloseMcastPort: failed to retrieve Udp service binding protocol\n");
    // Our open still goes, so that nothing of ours pins the child.
    gBS->CloseProtocol(Instance->McastChildHandle, &gEfiUdp4ProtocolGuid, AgentHandle(),
                       Instance->ChildHandle);
  } else {
    Status = gBS->CloseProtocol(Instance->McastChildHandle, &gEfiUdp4ProtocolGuid, AgentHandle(),
                                Instance->ChildHandle);
    if (EFI_ERROR(Status)) {
      DiagLog(DIAG_ERROR, "Zem4RrqCloseMcastPort: failed to close the udp child %r\n", Status);
    } else {
      Status = UdpSb->DestroyChild(UdpSb, Instance->McastChildHandle);
      if (EFI_ERROR(Status)) {
        DiagLog(DIAG_ERROR, "Zem4RrqCloseMcastPort: failed to destory the udp child %r\n", Status);
      }
    }
  }
  if (EFI_ERROR(Status)) {
    Instance->Status = EFI_DEVICE_ERROR;
  }
  return Status;
}

} // namespace

namespace {

// A new UDP4 child for the group, opened by us. On failure nothing is left.
EFI_STATUS MakeMcastChild(Zem4Instance *Instance, EFI_SERVICE_BINDING_PROTOCOL **UdpSb) {
  EFI_STATUS Status = OpenServiceBinding(Instance, UdpSb);
  if (EFI_ERROR(Status)) {
    DiagLog(DIAG_ERROR, "Zem4RrqCreateMcastPort: failed to open UDP ServiceBinding Protocol\n");
    return Status;
  }
  EFI_HANDLE Child = NULL;
  Status = (*UdpSb)->CreateChild(*UdpSb, &Child);
  if (EFI_ERROR(Status)) {
    DiagLog(DIAG_ERROR, "Zem4RrqCreateMcastPort: UdpSb->CreateChild faild with %r.\n", Status);
    return Status;
  }
  EFI_UDP4_PROTOCOL *Udp = NULL;
  Status = gBS->OpenProtocol(Child, &gEfiUdp4ProtocolGuid, (VOID **)&Udp, AgentHandle(),
                             Instance->ChildHandle, EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER);
  if (EFI_ERROR(Status)) {
    DiagLog(DIAG_ERROR, "Zem4RrqCreateMcastPort: Get UdpIo failed with %r, destroy the child.\n",
            Status);
    (*UdpSb)->DestroyChild(*UdpSb, Child);
    return Status;
  }
  Instance->RrqData->McastUdp = Udp;
  Instance->McastChildHandle = Child;
  return EFI_SUCCESS;
}

// The port's receive event (once per download), its configuration and the
// group membership. On failure the event may be left for the caller to close.
EFI_STATUS JoinGroup(Zem4Instance *Instance, EFI_UDP4_CONFIG_DATA *Config,
                     EFI_IPv4_ADDRESS McastIp) {
  Zem4RrqData *RrqData = Instance->RrqData;
  if (RrqData->McastRxContext.RxToken.Event == NULL) {
    EFI_STATUS Status =
        gBS->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, Zem4RrqRxCallback,
                         &RrqData->McastRxContext, &RrqData->McastRxContext.RxToken.Event);
    if (EFI_ERROR(Status)) {
      RrqData->McastRxContext.RxToken.Event = NULL;
      DiagLog(DIAG_ERROR, "Zem4RrqCreateMcastPort: Failed to create event with status = %r\n",
              Status);
      return Status;
    }
    RrqData->McastRxContext.Signature = ZEM4_RX_CONTEXT_SIGNATURE;
    RrqData->McastRxContext.Instance = Instance;
    RrqData->McastRxContext.RxToken.Status = EFI_SUCCESS;
  }

  RrqData->McastUdp->Configure(RrqData->McastUdp, NULL);
  EFI_STATUS Status = RrqData->McastUdp->Configure(RrqData->McastUdp, Config);
  if (EFI_ERROR(Status)) {
    DiagLog(DIAG_ERROR, "Zem4RrqCreateMcastPort: Udp4.Configure failed with %r.\n", Status);
    return Status;
  }
  if (IsBroadcast(McastIp)) {
    return EFI_SUCCESS; // broadcast needs no membership
  }
  Status = RrqData->McastUdp->Groups(RrqData->McastUdp, TRUE, &McastIp);
  if (!EFI_ERROR(Status) || Status == EFI_ALREADY_STARTED) {
    return EFI_SUCCESS;
  }
  DiagLog(DIAG_ERROR, "Zem4RrqCreateMcastPort: Udp4.Configure failed with %r.\n", Status);
  return Status;
}

// Undoes a port that could not join: its event, its configuration, its child.
VOID DropFailedPort(Zem4Instance *Instance, EFI_SERVICE_BINDING_PROTOCOL *UdpSb) {
  Zem4RrqData *RrqData = Instance->RrqData;
  if (RrqData->McastRxContext.RxToken.Event != NULL) {
    HandBackWaiting(&RrqData->McastRxContext);
    gBS->CloseEvent(RrqData->McastRxContext.RxToken.Event);
    RrqData->McastRxContext.RxToken.Event = NULL;
  }
  RrqData->McastUdp->Configure(RrqData->McastUdp, NULL);
  ReleaseChild(Instance, UdpSb);
}

} // namespace

EFI_STATUS Zem4RrqCreateMcastPort(Zem4Instance *Instance, EFI_IPv4_ADDRESS McastIp,
                                  UINT16 McastPort) {
  Zem4RrqData *RrqData = Instance->RrqData;
  EFI_SERVICE_BINDING_PROTOCOL *UdpSb = NULL;

  EFI_UDP4_CONFIG_DATA Config;
  gBS->SetMem(&Config, sizeof(Config), 0);
  Config.AcceptBroadcast = IsBroadcast(McastIp);
  Config.TimeToLive = 255;
  Config.UseDefaultAddress = Instance->Config.UseDefaultSetting;
  Config.StationAddress = Instance->Config.StationIp;
  Config.SubnetMask = Instance->Config.SubnetMask;
  Config.StationPort = McastPort;
  Config.RemoteAddress = Instance->ServerIp;
  Config.RemotePort = 0;

  EFI_STATUS Status = EFI_SUCCESS;
  // The child of an earlier pass was only reset; reuse it, but only together
  // with its protocol: a handle without one cannot be configured.
  if (Instance->McastChildHandle == NULL || RrqData->McastUdp == NULL) {
    Instance->McastChildHandle = NULL;
    RrqData->McastUdp = NULL;
    Status = MakeMcastChild(Instance, &UdpSb);
  }
  if (!EFI_ERROR(Status)) {
    Status = JoinGroup(Instance, &Config, McastIp);
    if (!EFI_ERROR(Status)) {
      return EFI_SUCCESS;
    }
    DropFailedPort(Instance, UdpSb);
  }
  Instance->McastChildHandle = NULL;
  RrqData->McastUdp = NULL;
  Instance->Status = Status;
  return Status;
}

EFI_STATUS Zem4RrqStartMcastRcv(Zem4RrqData *RrqData) {
  if (RrqData->McastUdp == NULL) {
    return EFI_NOT_STARTED;
  }
  EFI_STATUS Status =
      RrqData->McastUdp->Receive(RrqData->McastUdp, &RrqData->McastRxContext.RxToken);
  if (!EFI_ERROR(Status) || Status == EFI_ACCESS_DENIED) {
    return EFI_SUCCESS; // EFI_ACCESS_DENIED: a receive is already posted
  }
  DiagLog(DIAG_ERROR, "Zem4RrqStartMcastRcv: McastUdp4Io->Receive returned with %r.\n", Status);
  return Status;
}

EFI_STATUS Zem4RrqCloseMcastPort(Zem4Instance *Instance, BOOLEAN Destroy) {
  Zem4RrqData *RrqData = Instance->RrqData;
  if (RrqData == NULL || RrqData->McastUdp == NULL) {
    return EFI_SUCCESS;
  }

  // The reset ends the posted receive and the group membership; no
  // notification of this port may run in between.
  EFI_TPL OldTpl = Zem4RaiseToLock();
  EFI_STATUS Status = EFI_SUCCESS;
  BOOLEAN Gone = FALSE;
  if (EFI_ERROR(RrqData->McastUdp->Configure(RrqData->McastUdp, NULL))) {
    // UDP4 still holds the posted receive, whose token and event live in the
    // download record: the receive is cancelled and the unreset child goes
    // (its destruction aborts whatever it still holds) before anything the
    // token points at, even a child that would have been kept for reuse.
    EFI_STATUS Cancelled =
        RrqData->McastUdp->Cancel(RrqData->McastUdp, &RrqData->McastRxContext.RxToken);
    BOOLEAN Held = (BOOLEAN)(EFI_ERROR(Cancelled) && Cancelled != EFI_NOT_FOUND &&
                             Cancelled != EFI_NOT_STARTED);
    HandBackWaiting(&RrqData->McastRxContext);
    Status = DestroyMcastChild(Instance);
    Gone = TRUE;
    if (Held && EFI_ERROR(Status) &&
        EFI_ERROR(RrqData->McastUdp->Configure(RrqData->McastUdp, NULL))) {
      // Neither cancelled, destroyed nor reset: UDP4 keeps the receive until
      // it stops. Its event stays open rather than be completed after its
      // close.
      RrqData->McastUdp = NULL;
      Instance->McastChildHandle = NULL;
      gBS->RestoreTPL(OldTpl);
      return Status;
    }
  }
  if (RrqData->McastRxContext.RxToken.Event != NULL) {
    HandBackWaiting(&RrqData->McastRxContext);
    gBS->CloseEvent(RrqData->McastRxContext.RxToken.Event);
    RrqData->McastRxContext.RxToken.Event = NULL;
  }
  gBS->RestoreTPL(OldTpl);

  if (Gone) {
    RrqData->McastUdp = NULL;
    Instance->McastChildHandle = NULL;
    return Status;
  }
  if (!Destroy) {
    return EFI_SUCCESS; // the next pass reuses the child
  }
  Status = DestroyMcastChild(Instance);
  // The download record, and McastUdp with it, goes right after this: a
  // handle kept past it would make the next transfer reuse a child without
  // its protocol.
  Instance->McastChildHandle = NULL;
  RrqData->McastUdp = NULL;
  return Status;
}
