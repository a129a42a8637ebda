// The multicast port: a second UDP4 child, made from the controller's UDP4
// service binding, bound to the group's port and joined to the group. Its
// receives feed the same dispatch as the unicast port's.
#include "modes/Zem4Modes.h"

#include "driver/Zem4Driver.h"
#include "protocol/Zem4Instance.h"
#include "protocol/Zem4Rrq.h"
#include "support/DiagLog.h"
#include "support/Globals.h"
#include "transport/Zem4Packet.h"

namespace {

BOOLEAN IsBroadcast(const EFI_IPv4_ADDRESS &Ip) {
  return (BOOLEAN)(Ip.Addr[0] == 255 && Ip.Addr[1] == 255 && Ip.Addr[2] == 255 &&
                   Ip.Addr[3] == 255);
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

// Gives the group's UDP4 child back: our open goes in any case (nothing of
// ours may pin the child), then the service binding destroys it, aborting
// whatever it still holds of ours. Report (the port's close): each refusal is
// logged, the first one ends the attempt and fails the transfer. Otherwise (a
// port that could not be made) whatever can go, goes, quietly. Without the
// service binding the child stays with UDP4, which reclaims it when it stops.
EFI_STATUS ReleaseChild(Zem4Instance *Instance, EFI_SERVICE_BINDING_PROTOCOL *UdpSb,
                        BOOLEAN Report) {
  EFI_HANDLE Child = Instance->McastChildHandle;
  EFI_STATUS Status = EFI_SUCCESS;
  if (Child == NULL) {
    return Status;
  }
  if (UdpSb == NULL) {
    Status = OpenServiceBinding(Instance, &UdpSb);
    if (EFI_ERROR(Status) && Report) {
      DiagLog(DIAG_ERROR,
              "Zem4RrqCloseMcastPort: failed to retrieve Udp service binding protocol\n");
    }
  }
  EFI_STATUS Closed =
      gBS->CloseProtocol(Child, &gEfiUdp4ProtocolGuid, AgentHandle(), Instance->ChildHandle);
  if (UdpSb != NULL && Report && EFI_ERROR(Closed)) {
    DiagLog(DIAG_ERROR, "Zem4RrqCloseMcastPort: failed to close the udp child %r\n", Closed);
    Status = Closed;
  } else if (UdpSb != NULL) {
    Status = UdpSb->DestroyChild(UdpSb, Child);
    if (EFI_ERROR(Status) && Report) {
      DiagLog(DIAG_ERROR, "Zem4RrqCloseMcastPort: failed to destory the udp child %r\n", Status);
    }
  }
  if (EFI_ERROR(Status) && Report) {
    Instance->Status = EFI_DEVICE_ERROR;
  }
  return Status;
}

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
  if (RrqData->McastHeld) {
    // The receive token is still with the child of the last pass.
    Status = EFI_ACCESS_DENIED;
    DiagLog(DIAG_ERROR, "Zem4RrqCreateMcastPort: UDP4 still holds the last group port's receive\n");
  } else if (Instance->McastChildHandle == NULL || RrqData->McastUdp == NULL) {
    // The child of an earlier pass was only reset; it is reused, but only
    // together with its protocol: a handle without one cannot be configured.
    Instance->McastChildHandle = NULL;
    RrqData->McastUdp = NULL;
    Status = MakeMcastChild(Instance, &UdpSb);
  }
  if (!EFI_ERROR(Status)) {
    Status = JoinGroup(Instance, &Config, McastIp);
    if (!EFI_ERROR(Status)) {
      return EFI_SUCCESS;
    }
    // Undone: the event, the configuration, the child.
    Zem4ForgetRx(&RrqData->McastRxContext);
    RrqData->McastUdp->Configure(RrqData->McastUdp, NULL);
    ReleaseChild(Instance, UdpSb, FALSE);
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
    Status = ReleaseChild(Instance, NULL, TRUE);
    Gone = TRUE;
    // Neither cancelled, destroyed nor reset: UDP4 keeps the receive until it
    // completes it. Its token and event stay, and the record with them.
    RrqData->McastHeld = (UINT8)(Held && EFI_ERROR(Status) &&
                                 EFI_ERROR(RrqData->McastUdp->Configure(RrqData->McastUdp, NULL)));
  }
  if (!RrqData->McastHeld) {
    Zem4ForgetRx(&RrqData->McastRxContext);
  }
  gBS->RestoreTPL(OldTpl);

  if (!Gone && !Destroy) {
    return EFI_SUCCESS; // the next pass reuses the child
  }
  if (!Gone) {
    Status = ReleaseChild(Instance, NULL, TRUE);
  }
  // The download record, and McastUdp with it, goes right after the last
  // close: a handle kept past it would make the next transfer reuse a child
  // without its protocol.
  Instance->McastChildHandle = NULL;
  RrqData->McastUdp = NULL;
  return Status;
}

BOOLEAN Zem4RrqLeaveToHeldRx(Zem4RrqData *RrqData) {
  if (!RrqData->McastHeld) {
    return FALSE;
  }
  // The instance may go before UDP4 lets go.
  RrqData->McastRxContext.Instance = NULL;
  return TRUE;
}

BOOLEAN Zem4RrqEndHeldRx(Zem4RxContext *Port) {
  Zem4Instance *Instance = Port->Instance;
  Zem4RrqData *RrqData = NULL;
  if (Instance == NULL) {
    RrqData = ZEM4_CR(Port, Zem4RrqData, McastRxContext); // left to this receive
  } else if (Instance->RrqData != NULL && Port == &Instance->RrqData->McastRxContext &&
             Instance->RrqData->McastHeld) {
    RrqData = Instance->RrqData;
  } else {
    return FALSE;
  }
  Zem4ForgetRx(Port);
  RrqData->McastHeld = 0;
  if (Instance == NULL) {
    gBS->FreePool(RrqData);
  }
  return TRUE;
}
