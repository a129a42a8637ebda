// Transfer start-up: the checks of ReadFile/ReadDirectory, the configuration
// of the child's UDP4 port (with the wait for an address), the start of the
// download and blocking versus event-driven completion.
#include "modes/Zem4Missing.h"
#include "protocol/Zem4Instance.h"
#include "protocol/Zem4Options.h"
#include "protocol/Zem4Rrq.h"
#include "support/DiagLog.h"
#include "support/Globals.h"
#include "support/List.h"
#include "support/Math64.h"
#include "transport/Zem4Packet.h"
#include "zem4/Zem4Wire.h"

namespace {

// Per-transfer start values of the instance.
VOID ResetTransferFields(Zem4Instance *Instance, Zem4Token *Token) {
  Instance->Token = Token;
  Instance->Status = EFI_SUCCESS;
  Instance->Done = 0;
  Instance->RrqData = NULL;
  Instance->TimerEvent = NULL;
  Instance->RxContext.RxToken.Event = NULL;
  Instance->RequestPacket = NULL;
  Instance->LastPacket = NULL;
  Instance->MappingTimedOut = 0;
  Instance->PendingSends = 0;
  InitializeListHead(&Instance->PendingList);
  Instance->RetryCount = 0;
  Instance->NextBlock = 1;
  Instance->Complete = 0;
  Instance->LastBlock = -1;
  Instance->WindowBase = 1;
  Instance->FirstHalfLeft = ZEM4_HALF_WINDOW_BLOCKS;
  Instance->SecondHalfLeft = ZEM4_HALF_WINDOW_BLOCKS;
  gBS->SetMem(Instance->SlotFilled, sizeof(Instance->SlotFilled), 0);
  gBS->SetMem(Instance->SlotLength, sizeof(Instance->SlotLength), 0);
  Instance->WindowBuffer = NULL;
  Instance->WindowStartSlot = 0;
  Instance->FirstHalfBytes = 0;
  Instance->SecondHalfBytes = 0;
  Instance->AckPending = 1;
  Instance->RplListSent = 0;
  Instance->TotalBlocks = 0xFFFFFFFFu;
  Instance->ReceivedBlocks = 0;
  Instance->LostBlocks = 0;
  // Nothing of the previous transfer decides this one's retries or the
  // length of the wait for an address.
  Instance->MaxRetry = 0;
  Instance->RetryTimeout = 0;
}

// Room for either published layout of the IPv4 mode data, so that a stack
// writing the longer one cannot run past our buffer.
union Zem4Ip4ModeBuffer {
  EFI_IP4_MODE_DATA Short;
  EFI_IP4_MODE_DATA_WITH_MAX_PACKET_SIZE Long;
};

} // namespace

BOOLEAN Zem4WaitForMapping(Zem4Instance *Instance, EFI_UDP4_CONFIG_DATA *UdpConfig) {
  if (!Instance->Config.UseDefaultSetting) {
    return TRUE;
  }
  EFI_UDP4_PROTOCOL *Udp = Instance->Udp;
  // 3 x RetryTimeout seconds in units of 100 ns, in 64 bits.
  if (EFI_ERROR(gBS->SetTimer(Instance->MappingEvent, TimerRelative,
                              MultU64x64(Instance->RetryTimeout, 30000000ull)))) {
    // Without its timer the wait would have no end.
    return FALSE;
  }
  for (;;) {
    if (Instance->MappingTimedOut) {
      return FALSE;
    }
    Udp->Poll(Udp);
    Zem4Ip4ModeBuffer Mode;
    gBS->SetMem(&Mode, sizeof(Mode), 0);
    if (!EFI_ERROR(Udp->GetModeData(Udp, NULL, &Mode.Short, NULL, NULL)) &&
        Mode.Short.IsConfigured) {
      break;
    }
  }
  gBS->SetTimer(Instance->MappingEvent, TimerCancel, 0);
  Udp->Configure(Udp, NULL);
  return (BOOLEAN)!EFI_ERROR(Udp->Configure(Udp, UdpConfig));
}

EFI_STATUS Zem4InitPrivate(Zem4Token *Token, Zem4 *This, UINT16 Opcode) {
  if (This == NULL || Token == NULL) {
    DiagLog(DIAG_ERROR, "Zem.Read function called with invalid paramter.\n");
    return EFI_INVALID_PARAMETER;
  }
  // Every start configures UDP4, which may not be called from up there.
  if (!Zem4UdpCallable()) {
    return EFI_INVALID_PARAMETER;
  }
  if ((Token->OptionCount != 0 && Token->OptionList == NULL) || Token->Filename == NULL) {
    return EFI_INVALID_PARAMETER;
  }
  EFI_STATUS Status = Zem4CheckOption(Token->OptionList, Token->OptionCount);
  if (EFI_ERROR(Status)) {
    DiagLog(DIAG_ERROR, "Zem4InitPrivate: failed to check option\n");
    return Status;
  }
  if (Opcode == ZEM4_OP_RRQ && Token->CheckPacket == NULL &&
      (Token->Buffer == NULL || Token->BufferSize == 0)) {
    return EFI_INVALID_PARAMETER;
  }
  // A blocking call makes progress only through notifications at
  // TPL_CALLBACK; from that level or above it would spin for ever.
  if (Token->Event == NULL && Zem4CurrentTpl() >= TPL_CALLBACK) {
    return EFI_INVALID_PARAMETER;
  }

  Zem4Instance *Instance = ZEM4_INSTANCE_FROM_PROTOCOL(This);
  if (Instance->Configured != 1) {
    return EFI_NOT_STARTED;
  }
  if (Instance->State != ZEM4_STATE_IDLE) {
    return EFI_ACCESS_DENIED;
  }
  if (EFI_ERROR(Zem4CheckOverride(Instance, Token->OverrideData))) {
    return EFI_INVALID_PARAMETER;
  }
  if (Opcode != ZEM4_OP_RRQ) {
    // This protocol has no directory transfer.
    return EFI_UNSUPPORTED;
  }

  Zem4ResetNegotiatedOptions(&Instance->Options);
  ResetTransferFields(Instance, Token);

  VOID *Window = NULL;
  Status = gBS->AllocatePool(EfiBootServicesData, ZEM4_WINDOW_BYTES, &Window);
  if (EFI_ERROR(Status) || Window == NULL) {
    DiagLog(DIAG_ERROR, "Zem.ReadFile out of resource.\n");
    return EFI_OUT_OF_RESOURCES;
  }
  Instance->WindowBuffer = (UINT8 *)Window;

  Instance->RequestServerIp = Instance->Config.ServerIp;
  Instance->RequestServerPort = Instance->Config.InitialServerPort;
  Zem4OverrideData *Override = Token->OverrideData;
  if (Override != NULL) {
    Instance->RequestServerIp = Override->ServerIp;
    Instance->RequestServerPort = Override->ServerPort;
    Instance->MaxRetry = Override->TryCount;
    Instance->RetryTimeout = Override->TimeoutValue;
  }
  if (Instance->RequestServerPort == 0) {
    Instance->RequestServerPort = ZEM4_DEFAULT_SERVER_PORT;
  }
  if (Instance->MaxRetry == 0) {
    Instance->MaxRetry = 32;
  }
  if (Instance->RetryTimeout == 0) {
    Instance->RetryTimeout = Instance->Options.Timeout;
  }
  Instance->ServerIp = Instance->RequestServerIp;
  Instance->ServerPort = Instance->RequestServerPort;

  EFI_UDP4_CONFIG_DATA UdpConfig;
  gBS->SetMem(&UdpConfig, sizeof(UdpConfig), 0);
  UdpConfig.TimeToLive = 255;
  UdpConfig.UseDefaultAddress = Instance->Config.UseDefaultSetting;
  UdpConfig.StationAddress = Instance->Config.StationIp;
  UdpConfig.SubnetMask = Instance->Config.SubnetMask;
  UdpConfig.StationPort = Instance->Config.LocalPort;
  UdpConfig.RemoteAddress = Instance->RequestServerIp;
  UdpConfig.RemotePort = 0;

  EFI_UDP4_PROTOCOL *Udp = Instance->Udp;
  if (EFI_ERROR(Udp->Configure(Udp, NULL))) {
    DiagLog(DIAG_ERROR, "Zem4ReadFile: failed to clean the UdpIo's configuration\n");
    gBS->FreePool(Instance->WindowBuffer);
    Instance->WindowBuffer = NULL;
    return EFI_DEVICE_ERROR;
  }
  Status = Udp->Configure(Udp, &UdpConfig);
  if (EFI_ERROR(Status) &&
      !(Status == EFI_NO_MAPPING && Zem4WaitForMapping(Instance, &UdpConfig))) {
    DiagLog(DIAG_ERROR, "Udp->Configure return %r,UdpIo=%x\n", Status, (UINTN)Udp);
    gBS->FreePool(Instance->WindowBuffer);
    Instance->WindowBuffer = NULL;
    return Status;
  }

  EFI_TPL OldTpl = Zem4RaiseToLock();
  Status = Zem4InitRrqState(Instance, Opcode);
  if (!EFI_ERROR(Status)) {
    Instance->RxContext.Signature = ZEM4_RX_CONTEXT_SIGNATURE;
    Instance->RxContext.RxToken.Status = EFI_SUCCESS;
    Instance->RxContext.Instance = Instance;
    Status = Zem4StartRcv(Instance);
    if (EFI_ERROR(Status)) {
      DiagLog(DIAG_ERROR, "Zem4InitPrivate: failed to start receive on unicast port %r.\n", Status);
    }
  }

  if (!EFI_ERROR(Status)) {
    Zem4SetTimer(Instance->RetryTimeout, Instance->TimerEvent, 0);
    // Everything the blocking wait needs is taken before the lock goes: once
    // notifications run, the transfer may end and the child with it.
    BOOLEAN Blocking = (BOOLEAN)(Token->Event == NULL);
    Zem4CallGuard Guard;
    if (Blocking) {
      Zem4GuardEnter(Instance, &Guard);
    }
    gBS->RestoreTPL(OldTpl);
    if (!Blocking) {
      return EFI_SUCCESS;
    }
    while (!Guard.Gone) {
      This->Poll(This);
    }
    return Token->Status;
  }

  // Undo everything of this transfer, the request already sent included.
  EFI_STATUS Reset = Zem4CloseUdpPort(Udp, &Instance->RxContext, &Instance->PendingList);
  if (EFI_ERROR(Reset)) {
    Reset = Zem4CloseUdpPort(Udp, &Instance->RxContext, &Instance->PendingList);
  }
  if (!EFI_ERROR(Reset)) {
    Instance->PendingSends = 0;
  } else if (Instance->RxContext.RxToken.Event != NULL) {
    gBS->CloseEvent(Instance->RxContext.RxToken.Event);
    Instance->RxContext.RxToken.Event = NULL;
  }
  if (Instance->RequestPacket != NULL) {
    Zem4ReleasePacket(Instance->RequestPacket);
    Instance->RequestPacket = NULL;
  }
  if (Instance->TimerEvent != NULL) {
    gBS->CloseEvent(Instance->TimerEvent);
    Instance->TimerEvent = NULL;
  }
  if (Instance->RrqData != NULL) {
    Zem4RrqFreeMissing(Instance);
    gBS->FreePool(Instance->RrqData);
    Instance->RrqData = NULL;
  }
  gBS->FreePool(Instance->WindowBuffer);
  Instance->WindowBuffer = NULL;
  Instance->State = ZEM4_STATE_IDLE;
  gBS->RestoreTPL(OldTpl);
  return Status;
}
