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
}

} // namespace

EFI_STATUS Zem4WaitForMapping(Zem4Instance *Instance, EFI_UDP4_CONFIG_DATA *UdpConfig,
                              EFI_TPL CallerTpl) {
  if (!Instance->Config.UseDefaultSetting) {
    return EFI_SUCCESS; // nothing to wait for
  }
  // The address and the end of the wait come through notifications at
  // TPL_CALLBACK, which can run only while the caller sits below it. From
  // there the wait could never end (or would hold every callback off).
  if (CallerTpl >= TPL_CALLBACK) {
    return EFI_NO_MAPPING;
  }
  EFI_UDP4_PROTOCOL *Udp = Instance->Udp;
  // 3 x RetryTimeout seconds in units of 100 ns, in 64 bits.
  if (EFI_ERROR(gBS->SetTimer(Instance->MappingEvent, TimerRelative,
                              MultU64x64(Instance->RetryTimeout, 30000000ull)))) {
    // Without its timer the wait would have no end.
    return EFI_NO_MAPPING;
  }

  // Busy from here: ReadFile and Configure with data are refused, Configure
  // with no data (and so DestroyChild) ends the wait and marks the guard.
  Instance->State = ZEM4_STATE_ADDRESS_WAIT;
  Zem4CallGuard Guard;
  Zem4GuardEnter(Instance, &Guard);
  EFI_STATUS Status;
  for (;;) {
    // Notifications run only here, between two looks at UDP4.
    gBS->RestoreTPL(CallerTpl);
    Zem4RaiseToLock();
    if (Guard.Gone) {
      return EFI_ABORTED;
    }
    if (Instance->MappingTimedOut) {
      Status = EFI_NO_MAPPING;
      break;
    }
    Udp->Poll(Udp);
    // The address is there once UDP4 takes the configuration: no layout of
    // the IPv4 mode data (which differs between firmware generations) is read.
    Udp->Configure(Udp, NULL);
    Status = Udp->Configure(Udp, UdpConfig);
    if (Status != EFI_NO_MAPPING) {
      break;
    }
  }
  Zem4GuardLeave(Instance, &Guard);
  gBS->SetTimer(Instance->MappingEvent, TimerCancel, 0);
  Instance->State = ZEM4_STATE_IDLE;
  return Status;
}

VOID Zem4AbortAddressWait(Zem4Instance *Instance) {
  gBS->SetTimer(Instance->MappingEvent, TimerCancel, 0);
  // A configuration UDP4 kept without an address goes with the wait, through
  // the release every end of a transfer takes (nothing else is held yet): a
  // refused reset is owed, as after any transfer.
  Zem4RrqRelease(Instance);
  Instance->Status = EFI_ABORTED;
  Instance->State = ZEM4_STATE_IDLE;
  Zem4GuardsGone(Instance);
}

namespace {

// The checks of a start after the level's, in their order, made under the
// driver lock taken from CallerTpl; they change nothing.
EFI_STATUS CheckStart(Zem4Token *Token, Zem4 *This, UINT16 Opcode, EFI_TPL CallerTpl) {
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
  // Blocks land at Buffer + offset: a size that runs past the end of the
  // address space cannot be the caller's, and offsets in it would wrap.
  if (Token->Buffer != NULL &&
      Token->BufferSize > (UINT64)((UINTN) ~(UINTN)0 - (UINTN)Token->Buffer)) {
    return EFI_INVALID_PARAMETER;
  }
  // A blocking call makes progress only through notifications at
  // TPL_CALLBACK; from that level or above it would spin for ever.
  if (Token->Event == NULL && CallerTpl >= TPL_CALLBACK) {
    return EFI_INVALID_PARAMETER;
  }

  Zem4Instance *Instance = ZEM4_INSTANCE_FROM_PROTOCOL(This);
  // A child being destroyed is freed once DestroyChild returns.
  if (Instance->InDestroy) {
    return EFI_ACCESS_DENIED;
  }
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
  return EFI_SUCCESS;
}

// The request's server and the retry values: the configuration's, unless the
// token overrides them; the defaults where neither gives one.
VOID TakeRequestTarget(Zem4Instance *Instance, const Zem4OverrideData *Override) {
  Instance->RequestServerIp = Instance->Config.ServerIp;
  Instance->RequestServerPort = Instance->Config.InitialServerPort;
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
}

// Configures the child's UDP4 port for the request, waiting for an address
// when the configuration asks for the default one. ZEM4_TRANSFER_GONE: the
// wait was ended by Configure with no data or DestroyChild, which undid the
// start, and the instance may be gone.
EFI_STATUS ConfigurePort(Zem4Instance *Instance, EFI_TPL CallerTpl) {
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
    return EFI_DEVICE_ERROR;
  }
  EFI_STATUS Status = Udp->Configure(Udp, &UdpConfig);
  if (Status == EFI_NO_MAPPING) {
    EFI_STATUS Waited = Zem4WaitForMapping(Instance, &UdpConfig, CallerTpl);
    if (Waited == EFI_ABORTED) {
      return ZEM4_TRANSFER_GONE;
    }
    if (!EFI_ERROR(Waited)) {
      Status = EFI_SUCCESS;
    } else if (Waited != EFI_NO_MAPPING) {
      Status = Waited;
    }
  }
  if (EFI_ERROR(Status)) {
    DiagLog(DIAG_ERROR, "Udp->Configure return %r,UdpIo=%x\n", Status, (UINTN)Udp);
  }
  return Status;
}

// On a configured port: the window, the download in Init mode with its
// request sent, and the first receive posted.
EFI_STATUS StartDownload(Zem4Instance *Instance, UINT16 Opcode) {
  VOID *Window = NULL;
  EFI_STATUS Status = gBS->AllocatePool(EfiBootServicesData, ZEM4_WINDOW_BYTES, &Window);
  if (EFI_ERROR(Status) || Window == NULL) {
    DiagLog(DIAG_ERROR, "Zem.ReadFile out of resource.\n");
    return EFI_OUT_OF_RESOURCES;
  }
  Instance->WindowBuffer = (UINT8 *)Window;

  Status = Zem4InitRrqState(Instance, Opcode);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  Instance->RxContext.Signature = ZEM4_RX_CONTEXT_SIGNATURE;
  Instance->RxContext.RxToken.Status = EFI_SUCCESS;
  Instance->RxContext.Instance = Instance;
  Status = Zem4StartRcv(Instance);
  if (EFI_ERROR(Status)) {
    DiagLog(DIAG_ERROR, "Zem4InitPrivate: failed to start receive on unicast port %r.\n", Status);
  }
  return Status;
}

// The transfer runs: an event caller has its answer, a blocking one polls
// until the transfer ends. Called under the lock taken from CallerTpl.
EFI_STATUS RunOrReturn(Zem4Instance *Instance, Zem4Token *Token, Zem4 *This, EFI_TPL CallerTpl) {
  Zem4SetTimer(Instance->RetryTimeout, Instance->TimerEvent, 0);
  // Everything the blocking wait needs is taken before the lock goes: once
  // notifications run, the transfer may end and the child with it.
  BOOLEAN Blocking = (BOOLEAN)(Token->Event == NULL);
  Zem4CallGuard Guard;
  if (Blocking) {
    Zem4GuardEnter(Instance, &Guard);
  }
  gBS->RestoreTPL(CallerTpl);
  if (!Blocking) {
    return EFI_SUCCESS;
  }
  // Poll tests the guard again once it has looked at the level, where a
  // notification may have ended the transfer and destroyed the child.
  while (!Guard.Gone) {
    Zem4Poll(This, &Guard);
  }
  return Token->Status;
}

} // namespace

EFI_STATUS Zem4InitPrivate(Zem4Token *Token, Zem4 *This, UINT16 Opcode) {
  if (This == NULL || Token == NULL) {
    DiagLog(DIAG_ERROR, "Zem.Read function called with invalid paramter.\n");
    return EFI_INVALID_PARAMETER;
  }
  // Every start configures UDP4, which may not be called from up there.
  if (Zem4CalledAbove(TPL_CALLBACK)) {
    return EFI_INVALID_PARAMETER;
  }
  // From the checks to the first armed timer no notification runs but inside
  // the wait for an address: nothing can end or destroy the child under us.
  EFI_TPL OldTpl = Zem4RaiseToLock();
  EFI_STATUS Status = CheckStart(Token, This, Opcode, OldTpl);
  Zem4Instance *Instance = ZEM4_INSTANCE_FROM_PROTOCOL(This);
  // The last transfer's port could not be reset: its tokens are UDP4's still.
  if (!EFI_ERROR(Status) && !Zem4SettleOwedReset(Instance)) {
    Status = EFI_DEVICE_ERROR;
  }
  if (EFI_ERROR(Status)) {
    gBS->RestoreTPL(OldTpl);
    return Status;
  }

  Zem4ResetNegotiatedOptions(&Instance->Options);
  ResetTransferFields(Instance, Token);
  TakeRequestTarget(Instance, Token->OverrideData);
  Status = ConfigurePort(Instance, OldTpl);
  if (!EFI_ERROR(Status)) {
    Status = StartDownload(Instance, Opcode);
    if (EFI_ERROR(Status)) {
      // Everything of this transfer goes, the request already sent included.
      Zem4RrqRelease(Instance);
      Instance->State = ZEM4_STATE_IDLE;
    }
  }
  if (EFI_ERROR(Status)) {
    gBS->RestoreTPL(OldTpl);
    return Status == ZEM4_TRANSFER_GONE ? EFI_ABORTED : Status;
  }
  return RunOrReturn(Instance, Token, This, OldTpl);
}
