// The download engine: download creation, receive dispatch, timer dispatch,
// send counting, the silent shutdown and the finish of a transfer.
#include "protocol/Zem4Rrq.h"

#include "modes/Zem4Missing.h"
#include "modes/Zem4Modes.h"
#include "support/DiagLog.h"
#include "support/Globals.h"
#include "support/Math64.h"
#include "support/Zem4Assert.h"
#include "transport/Zem4Build.h"
#include "transport/Zem4Packet.h"
#include "zem4/Zem4Wire.h"

namespace {

struct Zem4ModeRow {
  UINT32 Mode;
  ZEM4_RCV_DATA_HANDLER RcvData;
  ZEM4_RCV_ERROR_HANDLER RcvError;
  ZEM4_RCV_OACK_HANDLER RcvOack;
  ZEM4_RCV_RPLACK_HANDLER RcvRplAck;
  ZEM4_TIMER_HANDLER Timer;
  UINT16 RetryTimeout; // milliseconds in Active mode, seconds elsewhere
  UINT32 MaxRetry;     // every row gives up after about 300 s without progress
};

const Zem4ModeRow mZem4ModeTable[] = {
    {ZEM4_MODE_INIT, Zem4RrqInitRcvData, Zem4RrqInitRcvError, Zem4RrqInitRcvOack,
     Zem4RrqInitRcvRplAck, Zem4RrqInitTimer, 3, 100},
    {ZEM4_MODE_ACTIVE, Zem4RrqActiveRcvData, Zem4RrqActiveRcvError, Zem4RrqActiveRcvOack,
     Zem4RrqActiveRcvOack, Zem4RrqActiveTimer, 200, 1500},
    {ZEM4_MODE_PASSIVE, Zem4RrqPassiveRcvData, Zem4RrqPassiveRcvError, Zem4RrqPassiveRcvOack,
     Zem4RrqPassiveRcvRplAck, Zem4RrqPassiveTimer, 1, 300},
    {ZEM4_MODE_RPL, Zem4RrqRplRcvData, Zem4RrqRplRcvError, Zem4RrqRplRcvOack, Zem4RrqRplRcvRplAck,
     Zem4RrqRplTimer, 3, 100},
};

const CHAR8 *const mRestartFailed =
    "Zem4RrqRxCallback: failed to restart the receive, status is %r.\n";

// Hands a delivered datagram back to UDP4.
VOID RecycleRx(EFI_EVENT Recycle) {
  if (Recycle != NULL) {
    gBS->SignalEvent(Recycle);
  }
}

} // namespace

EFI_STATUS Zem4ResetUnicastPort(Zem4Instance *Instance) {
  // A refused reset gets one more attempt before it is left owed.
  EFI_STATUS Status = EFI_DEVICE_ERROR;
  for (UINTN Attempt = 0; Attempt < 2 && EFI_ERROR(Status); Attempt++) {
    Status = Zem4CloseUdpPort(Instance->Udp, &Instance->RxContext, &Instance->PendingList);
  }
  if (EFI_ERROR(Status)) {
    // UDP4 still holds the receive token and the sends in flight, which live
    // in this instance: they stay as they are until a reset succeeds or the
    // UDP4 child is destroyed.
    Instance->ResetOwed = 1;
    return Status;
  }
  Instance->PendingSends = 0;
  Instance->ResetOwed = 0;
  return EFI_SUCCESS;
}

BOOLEAN Zem4SettleOwedReset(Zem4Instance *Instance) {
  return (BOOLEAN)(!Instance->ResetOwed || !EFI_ERROR(Zem4ResetUnicastPort(Instance)));
}

VOID Zem4RrqSetMode(UINT32 Mode, Zem4Instance *Instance) {
  Zem4RrqData *RrqData = Instance->RrqData;
  RrqData->Mode = Mode;
  const Zem4ModeRow *Row = NULL;
  for (UINTN Index = 0; Index < sizeof(mZem4ModeTable) / sizeof(mZem4ModeTable[0]); Index++) {
    if (mZem4ModeTable[Index].Mode == Mode) {
      Row = &mZem4ModeTable[Index];
    }
  }
  // Every mode the driver enters has a row; without one only Mode is stored.
  if (!ZEM4_ASSERT(Row != NULL)) {
    return;
  }
  RrqData->RcvData = Row->RcvData;
  RrqData->RcvError = Row->RcvError;
  RrqData->RcvOack = Row->RcvOack;
  RrqData->RcvRplAck = Row->RcvRplAck;
  RrqData->Timer = Row->Timer;
  Instance->RetryTimeout = Row->RetryTimeout;
  Instance->MaxRetry = Row->MaxRetry;
}

VOID Zem4SetTimer(UINT32 Seconds, EFI_EVENT Event, UINT32 Milliseconds) {
  // 64-bit: an override time-out of 65535 s is 6.5e11 units of 100 ns.
  UINT64 Total = MultU64x64(Seconds, 1000) + Milliseconds;
  gBS->SetTimer(Event, TimerCancel, 0);
  if (EFI_ERROR(gBS->SetTimer(Event, TimerRelative, MultU64x64(Total, 10000)))) {
    // A period that cannot be armed would never end (a closing transfer
    // would hang): let it run out at once instead.
    gBS->SignalEvent(Event);
  }
}

EFI_STATUS Zem4RrqSilentShutdown(Zem4Instance *Instance) {
  Instance->State = ZEM4_STATE_TIME_WAIT;
  Zem4SetTimer(0, Instance->TimerEvent, 500);
  return EFI_ABORTED;
}

VOID Zem4GuardEnter(Zem4Instance *Instance, Zem4CallGuard *Guard) {
  Guard->Gone = FALSE;
  Guard->Next = Instance->Guards;
  Instance->Guards = Guard;
}

VOID Zem4GuardsGone(Zem4Instance *Instance) {
  for (Zem4CallGuard *Guard = Instance->Guards; Guard != NULL; Guard = Guard->Next) {
    Guard->Gone = TRUE;
  }
  Instance->Guards = NULL;
}

BOOLEAN Zem4GuardLeave(Zem4Instance *Instance, Zem4CallGuard *Guard) {
  if (Guard->Gone) {
    return FALSE;
  }
  for (Zem4CallGuard **Link = &Instance->Guards; *Link != NULL; Link = &(*Link)->Next) {
    if (*Link == Guard) {
      *Link = Guard->Next;
      break;
    }
  }
  return TRUE;
}

EFI_STATUS Zem4CallCheckPacket(Zem4Instance *Instance, UINT32 Length, VOID *Data) {
  Zem4Token *Token = Instance->Token;
  if (Token == NULL || Token->CheckPacket == NULL) {
    return EFI_SUCCESS;
  }
  Zem4CallGuard Guard;
  Zem4GuardEnter(Instance, &Guard);
  EFI_STATUS Status = Token->CheckPacket(&Instance->Protocol, Token, Length, Data);
  if (!Zem4GuardLeave(Instance, &Guard)) {
    return ZEM4_TRANSFER_GONE;
  }
  return Status;
}

VOID Zem4RrqRelease(Zem4Instance *Instance) {
  Zem4RrqData *RrqData = Instance->RrqData;
  if (RrqData != NULL) {
    if (!IsListEmpty(&RrqData->MissingList)) {
      Zem4RrqFreeMissing(Instance);
    }
    if (RrqData->McastUdp != NULL) {
      Zem4RrqCloseMcastPort(Instance, TRUE);
    }
    // A group receive that UDP4 still holds keeps the record; its completion frees it.
    if (!Zem4RrqLeaveToHeldRx(RrqData)) {
      gBS->FreePool(RrqData);
    }
    Instance->RrqData = NULL;
  }
  if (Instance->WindowBuffer != NULL) {
    gBS->FreePool(Instance->WindowBuffer);
    Instance->WindowBuffer = NULL;
  }
  if (Instance->RequestPacket != NULL) {
    Zem4ReleasePacket(Instance->RequestPacket);
    Instance->RequestPacket = NULL;
  }
  if (Instance->LastPacket != NULL) {
    Zem4ReleasePacket(Instance->LastPacket);
    Instance->LastPacket = NULL;
  }
  Zem4ResetUnicastPort(Instance);
  if (Instance->TimerEvent != NULL) {
    gBS->CloseEvent(Instance->TimerEvent);
    Instance->TimerEvent = NULL;
  }
}

VOID Zem4RrqFinish(Zem4Instance *Instance) {
  Zem4RrqRelease(Instance);

  // Nothing on the stack may touch this transfer once the token is signalled.
  Zem4GuardsGone(Instance);

  // Idle before the caller hears of it: a token event notified above
  // TPL_CALLBACK runs inside SignalEvent and must find the transfer over
  // (what it may call there is refused, see Zem4CalledAbove).
  Instance->Done = 1;
  Instance->State = ZEM4_STATE_IDLE;
  Zem4Token *Token = Instance->Token;
  if (Token != NULL) {
    Token->Status = Instance->Status;
    if (Token->Event != NULL) {
      gBS->SignalEvent(Token->Event);
    }
  }
}

EFI_STATUS Zem4InitRrqState(Zem4Instance *Instance, UINT16 Opcode) {
  Zem4RrqData *RrqData = NULL;
  EFI_STATUS Status =
      gBS->AllocatePool(EfiBootServicesData, sizeof(Zem4RrqData), (VOID **)&RrqData);
  if (EFI_ERROR(Status) || RrqData == NULL) {
    DiagLog(DIAG_ERROR, "Zem4InitRrqState: failed to create RRQ data\n");
    Instance->Status = EFI_OUT_OF_RESOURCES;
    DiagLog(DIAG_ERROR, "Zem.ReadFile out of resource.\n");
    return EFI_OUT_OF_RESOURCES;
  }
  gBS->SetMem(RrqData, sizeof(Zem4RrqData), 0);
  Instance->RrqData = RrqData;

  Zem4RrqSetMode(ZEM4_MODE_INIT, Instance);
  // Every block number starts out missing. Without that range the download
  // could never tell a complete file from an empty list, so it does not start.
  Status = Zem4RrqCreateMissing(RrqData);
  if (EFI_ERROR(Status)) {
    Instance->Status = EFI_OUT_OF_RESOURCES;
    DiagLog(DIAG_ERROR, "Zem.ReadFile out of resource.\n");
    return EFI_OUT_OF_RESOURCES;
  }

  Status = gBS->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, Zem4RrqRxCallback,
                            &Instance->RxContext, &Instance->RxContext.RxToken.Event);
  if (EFI_ERROR(Status)) {
    Instance->RxContext.RxToken.Event = NULL;
    DiagLog(DIAG_ERROR, "Zem4ReadFile: Failed to create  returned %r\n", Status);
    return Status;
  }

  Status = gBS->CreateEvent(EVT_TIMER | EVT_NOTIFY_SIGNAL, TPL_CALLBACK, Zem4RrqTimer, Instance,
                            &Instance->TimerEvent);
  if (EFI_ERROR(Status)) {
    Instance->TimerEvent = NULL;
    DiagLog(DIAG_ERROR, "Zem4ReadFile: Create timeout event faile with return %r\n", Status);
    return Status;
  }

  Instance->State = ZEM4_STATE_RRQ_SENT;

  Status = Zem4BuildRrq(Instance, Opcode);
  if (EFI_ERROR(Status)) {
    DiagLog(DIAG_ERROR, "ReadFile: failed to build a request packet%r.\n", Status);
    return Status;
  }

  Status = Zem4SendPacket(Instance, Instance->RequestPacket);
  if (EFI_ERROR(Status)) {
    DiagLog(DIAG_ERROR, "ZEM.ReadFile send packet failed with %r.\n", Status);
    return Status;
  }
  return EFI_SUCCESS;
}

namespace {

// The one use of the cancellation error packet: GetInfo wants only the
// server's answer to its request, so once the OACK is captured the transfer is
// cancelled here instead of being carried into the data phase.
VOID CancelAfterCapture(Zem4Instance *Instance) {
  if (Instance->State == ZEM4_STATE_TIME_WAIT) {
    DiagLog(DIAG_NOTICE, "Zem4RrqRxCallback: User canceled the process in TIME_WAIT state\n");
    return;
  }
  if (Instance->RrqData->Mode == ZEM4_MODE_PASSIVE) {
    DiagLog(DIAG_ERROR, "Zem4RrqRxCallback: User canceled the process in passive mode\n");
    Instance->Status = EFI_ABORTED;
    Zem4RrqSilentShutdown(Instance);
    return;
  }
  Zem4ErrorInfo Info;
  Info.ErrorCode = ZEM4_ERR_NOT_DEFINED;
  Info.ErrorMessage = ZEM4_MSG_USER_CACELED;
  if (EFI_ERROR(Zem4SendError(Instance, &Info, Zem4RrqSendComplete))) {
    DiagLog(DIAG_ERROR,
            "Zem4RrqRxCallback: double error occured when deal with user cancellation\n");
  }
  // No lingering: the shutdown completes as soon as the error packet is out.
  Instance->Status = EFI_ABORTED;
  Zem4RrqSilentShutdown(Instance);
}

BOOLEAN IsGetInfoTransfer(const Zem4Instance *Instance) {
  return (BOOLEAN)(Instance->Token != NULL && Instance->Token->CheckPacket == Zem4GetInfoCheck);
}

} // namespace

// ---- The receive dispatch ----------------------------------------------------
//
// A datagram goes through three steps: it is taken (the completion's status,
// its length, one linear copy), handed to the handler of its opcode, and the
// receive on its port is posted again or not. Each step says what comes next.

namespace {

enum RxNext {
  RX_CONTINUE, // on to the next step
  RX_REPOST,   // this datagram is done with: receive the next one
  RX_STOP,     // the transfer is closing: no further receive on this port
  RX_GONE      // the transfer ended inside a call-out: the instance is not touched
};

// One delivered datagram and what was made of it.
struct RxDatagram {
  EFI_EVENT Recycle;  // hands UDP4's buffer back; NULL when there is none
  Zem4Packet *Linear; // our own copy of a fragmented datagram
  UINT8 *Packet;
  UINT32 Length;
  BOOLEAN FromMcast;
  BOOLEAN CloseGroup; // a FIN closed the group: its port is closed after the recycle
};

// The completion itself: an error, or a datagram too short to have an opcode.
RxNext TakeCompletion(Zem4Instance *Instance, EFI_STATUS TokenStatus,
                      const EFI_UDP4_RECEIVE_DATA *RxData, BOOLEAN FromMcast) {
  // An error completion carries no receive data: look at the status first.
  if (EFI_ERROR(TokenStatus)) {
    DiagLog(DIAG_ERROR, "Zem4RrqRxCallback: receive failed, token's status is %r\n", TokenStatus);
    if (TokenStatus == EFI_TIMEOUT || TokenStatus == EFI_ABORTED || TokenStatus == EFI_ICMP_ERROR) {
      return RX_REPOST;
    }
    // A transfer already closing keeps the status it ended with: a late
    // report (port unreachable for the last acknowledgement, on the port
    // that did not carry the last block) must not fail a good download.
    if (Instance->State != ZEM4_STATE_TIME_WAIT) {
      Instance->Status = (TokenStatus == EFI_DEVICE_ERROR) ? EFI_DEVICE_ERROR : EFI_ICMP_ERROR;
      Zem4RrqSilentShutdown(Instance);
    }
    return RX_STOP;
  }
  if (RxData == NULL) {
    DiagLog(DIAG_ERROR, "Zem4RrqRxCallback: Get a packet which is too short %d, ignore it\n",
            (UINTN)0);
    return RX_REPOST;
  }
  if (FromMcast && RxData->UdpSession.DestinationPort != Instance->Options.McastPort) {
    DiagLog(DIAG_ERROR, "Ignore the useless packet");
    return RX_REPOST;
  }
  if (RxData->DataLength < 2 || RxData->FragmentCount == 0) {
    DiagLog(DIAG_ERROR, "Zem4RrqRxCallback: Get a packet which is too short %d, ignore it\n",
            (UINTN)RxData->DataLength);
    return RX_REPOST;
  }
  if (RxData->UdpSession.SourcePort != Instance->ServerPort &&
      Instance->State == ZEM4_STATE_RRQ_SENT) {
    // The server answers the request from a port of its own.
    Instance->ServerPort = RxData->UdpSession.SourcePort;
  }
  return RX_CONTINUE;
}

// Points Rx at the datagram in one piece, copying a fragmented one.
RxNext Linearise(Zem4Instance *Instance, const EFI_UDP4_RECEIVE_DATA *RxData, RxDatagram *Rx) {
  if (RxData->FragmentCount == 1) {
    Rx->Packet = (UINT8 *)RxData->FragmentTable[0].FragmentBuffer;
    Rx->Length = RxData->FragmentTable[0].FragmentLength;
  } else {
    Rx->Linear = Zem4GetPacket(RxData->DataLength);
    if (Rx->Linear == NULL) {
      DiagLog(DIAG_ERROR,
              "Zem4RrqRxCallback:failed to allocate buffer to linearize the packets.\n");
      Instance->Status = EFI_OUT_OF_RESOURCES;
      Zem4RrqSilentShutdown(Instance);
      return RX_STOP;
    }
    // Never more than DataLength, whatever the fragment table claims.
    UINT32 Length = 0;
    for (UINT32 Index = 0; Index < RxData->FragmentCount && Length < RxData->DataLength; Index++) {
      UINT32 Piece = RxData->FragmentTable[Index].FragmentLength;
      if (Piece > RxData->DataLength - Length) {
        Piece = RxData->DataLength - Length;
      }
      gBS->CopyMem(Rx->Linear->Buffer + Length, RxData->FragmentTable[Index].FragmentBuffer, Piece);
      Length += Piece;
    }
    Rx->Packet = Rx->Linear->Buffer;
    Rx->Length = Length;
  }
  if (Rx->Length < 2 || Rx->Packet == NULL) {
    DiagLog(DIAG_ERROR, "Zem4RrqRxCallback: Get a packet which is too short %d, ignore it\n",
            (UINTN)Rx->Length);
    return RX_REPOST;
  }
  return RX_CONTINUE;
}

// The closing states, answered here before any mode's handler, since they
// are the same in every mode that can be in them. *Handled FALSE: the mode's
// handler decides (an ERROR in ERROR_SENT, whose notice names the mode).
EFI_STATUS InClosingState(Zem4Instance *Instance, UINT16 Opcode, BOOLEAN *Handled) {
  *Handled = FALSE;
  Zem4RrqData *RrqData = Instance->RrqData;
  if (Instance->State == ZEM4_STATE_TIME_WAIT) {
    // Only the timer and the pending sends are awaited: the first datagram
    // for a handler stops the receive on its port.
    if (Opcode == ZEM4_OP_DATA8) {
      Zem4RrqNoteData(Instance);
    }
    *Handled = TRUE;
    return EFI_ABORTED;
  }
  // A passive member never sends an error packet, so it is never in ERROR_SENT.
  if (Instance->State != ZEM4_STATE_ERROR_SENT || RrqData->Mode == ZEM4_MODE_PASSIVE) {
    return EFI_SUCCESS;
  }
  switch (Opcode) {
  case ZEM4_OP_DATA8:
    // A server that keeps sending learns of our error.
    Zem4RrqNoteData(Instance);
    *Handled = TRUE;
    if (EFI_ERROR(Zem4RrqResendKept(Instance, Instance->LastPacket))) {
      DiagLog(DIAG_ERROR, "Zem4RrqRcvAck: failed to retransmit the packet, init silent shutdown\n");
      return Zem4RrqSilentShutdown(Instance);
    }
    return EFI_SUCCESS;
  case ZEM4_OP_OACK:
    *Handled = TRUE;
    return EFI_SUCCESS; // ignored while the error answer is pending
  case ZEM4_OP_RPLACK:
    // An RPLACK paces a repair list. In RPL mode it paces the list that timed
    // out, which the error ended, so the port stops; Init and Active sent no
    // list before their error, so theirs is a stray and the receive goes on.
    *Handled = TRUE;
    return RrqData->Mode == ZEM4_MODE_RPL ? EFI_ABORTED : EFI_SUCCESS;
  default:
    return EFI_SUCCESS;
  }
}

EFI_STATUS CallModeHandler(Zem4Instance *Instance, const RxDatagram *Rx, UINT16 Opcode) {
  Zem4RrqData *RrqData = Instance->RrqData;
  switch (Opcode) {
  case ZEM4_OP_ERROR:
    return RrqData->RcvError(Instance, Rx->Packet, Rx->Length);
  case ZEM4_OP_OACK:
    return RrqData->RcvOack(Instance, Rx->Packet, Rx->Length);
  case ZEM4_OP_DATA8:
    return RrqData->RcvData(Instance, Rx->Packet, Rx->Length, Rx->FromMcast);
  default:
    return RrqData->RcvRplAck(Instance, Rx->Packet, Rx->Length);
  }
}

// A datagram of the right length for its opcode goes to the closing states,
// else to the mode's handler; an error result closes the port.
RxNext RunHandler(Zem4Instance *Instance, const RxDatagram *Rx, UINT16 Opcode) {
  UINT16 Code = 0;
  if (Opcode == ZEM4_OP_ERROR) {
    Zem4WireGetBe16(Rx->Packet, Rx->Length, ZEM4_ERROR_CODE_OFFSET, &Code);
  }
  BOOLEAN Handled = FALSE;
  EFI_STATUS Result = InClosingState(Instance, Opcode, &Handled);
  if (!Handled) {
    Result = CallModeHandler(Instance, Rx, Opcode);
  }
  if (Result == ZEM4_TRANSFER_GONE) {
    return RX_GONE;
  }
  // Code 9 qualifies an error the handler accepted; it never turns a
  // transfer that had already completed into a failure.
  if (!Handled && Code == ZEM4_ERR_NOT_READY && EFI_ERROR(Result) &&
      Instance->Status == EFI_TFTP_ERROR) {
    Instance->Status = EFI_NOT_READY;
  }
  // Progress: the server is there.
  if (!EFI_ERROR(Result) && (Opcode == ZEM4_OP_DATA8 || Opcode == ZEM4_OP_RPLACK)) {
    Instance->RetryCount = 0;
  }
  return EFI_ERROR(Result) ? RX_STOP : RX_REPOST;
}

// A FIN leaves the receive posted even when it ends the transfer (the
// shutdown still hears the server), unless it closed the group it came on.
RxNext OnFin(Zem4Instance *Instance, RxDatagram *Rx) {
  if (!Zem4WireFinLengthOk(Rx->Length)) {
    return RX_REPOST;
  }
  UINT8 CloseFlag = 0;
  EFI_STATUS Status = Zem4RrqRcvFin(Instance, Rx->Packet, Rx->Length, &CloseFlag);
  if (Status == ZEM4_TRANSFER_GONE) {
    return RX_GONE;
  }
  if (EFI_ERROR(Status)) {
    DiagLog(DIAG_ERROR, "Zem4RrqRxCallback: FIN packet processing returns %r.\n", Status);
    Zem4RrqSilentShutdown(Instance);
  }
  Rx->CloseGroup = (BOOLEAN)(CloseFlag == 1);
  // The group's port stays open unless the FIN closed it: a member that
  // stopped listening there would go deaf and time out.
  return (Rx->FromMcast && Rx->CloseGroup) ? RX_STOP : RX_REPOST;
}

// GetInfo wants only the server's answer to its request: the OACK ends the
// transfer here; a server ERROR goes on to the mode's handler like any other.
RxNext CaptureForGetInfo(Zem4Instance *Instance, const RxDatagram *Rx, UINT16 Opcode) {
  if (!IsGetInfoTransfer(Instance) ||
      !(Opcode == ZEM4_OP_OACK || (Opcode == ZEM4_OP_ERROR && Zem4WireErrorLengthOk(Rx->Length)))) {
    return RX_CONTINUE;
  }
  if (Instance->State == ZEM4_STATE_RRQ_SENT) {
    // Our own capture routine: it copies and cannot end the transfer.
    Zem4GetInfoCheck(&Instance->Protocol, Instance->Token, Rx->Length, Rx->Packet);
  }
  if (Opcode == ZEM4_OP_OACK) {
    CancelAfterCapture(Instance);
    return RX_STOP;
  }
  return RX_CONTINUE;
}

RxNext DispatchByOpcode(Zem4Instance *Instance, RxDatagram *Rx) {
  UINT16 Opcode = 0;
  Zem4WireGetOpcode(Rx->Packet, Rx->Length, &Opcode);
  RxNext Next = CaptureForGetInfo(Instance, Rx, Opcode);
  if (Next != RX_CONTINUE) {
    return Next;
  }
  BOOLEAN LengthOk;
  switch (Opcode) {
  case ZEM4_OP_ERROR:
    LengthOk = Zem4WireErrorLengthOk(Rx->Length);
    break;
  case ZEM4_OP_OACK:
    LengthOk = Zem4WireOackLengthOk(Rx->Length);
    break;
  case ZEM4_OP_DATA8: {
    UINT32 Header = 2 + 2 * (UINT32)Instance->Options.BlockNumberSize;
    LengthOk =
        (BOOLEAN)(Rx->Length >= Header && Rx->Length <= Instance->Options.BlockSize + Header);
    break;
  }
  case ZEM4_OP_RPLACK:
    LengthOk = Zem4WireRplAckLengthOk(Rx->Length);
    break;
  case ZEM4_OP_FIN:
    return OnFin(Instance, Rx);
  default:
    DiagLog(DIAG_ERROR, "Zem4RrqRxCallback: Get an unexpected packet, opcode=%d, ignore it.\n",
            (UINTN)Opcode);
    return RX_REPOST;
  }
  // A datagram too short (or long) for its opcode is dropped.
  return LengthOk ? RunHandler(Instance, Rx, Opcode) : RX_REPOST;
}

// Posts the next receive on the port the datagram came from.
VOID Repost(Zem4Instance *Instance, BOOLEAN FromMcast) {
  EFI_STATUS Status = FromMcast ? Zem4RrqStartMcastRcv(Instance->RrqData) : Zem4StartRcv(Instance);
  if (EFI_ERROR(Status)) {
    DiagLog(DIAG_ERROR, mRestartFailed, Status);
    if (FromMcast) {
      // Deaf on the group: a failure, never a success without the data.
      Instance->Status = EFI_DEVICE_ERROR;
    }
    Zem4RrqSilentShutdown(Instance);
  }
}

} // namespace

VOID EFIAPI Zem4RrqRxCallback(EFI_EVENT Event, VOID *Context) {
  Zem4RxContext *Port = (Zem4RxContext *)Context;
  // Only our own contexts are ever this event's: anything else is not touched.
  if (!ZEM4_ASSERT(Port != NULL && Port->Signature == ZEM4_RX_CONTEXT_SIGNATURE)) {
    return;
  }
  if (Zem4RrqEndHeldRx(Port)) {
    return; // the receive of a group port that was given up
  }
  Zem4Instance *Instance = Port->Instance;
  EFI_STATUS TokenStatus = Port->RxToken.Status;
  EFI_UDP4_RECEIVE_DATA *RxData = EFI_ERROR(TokenStatus) ? NULL : Port->RxToken.Packet.RxData;
  RxDatagram Rx = {};
  Rx.Recycle = RxData != NULL ? RxData->RecycleSignal : NULL;
  // The datagram is this notification's now; closing the port must not
  // hand it back a second time.
  Port->RxToken.Packet.RxData = NULL;

  // A transfer that is already over only hands the buffer back.
  if (Instance->RrqData == NULL || Instance->State == ZEM4_STATE_IDLE) {
    RecycleRx(Rx.Recycle);
    return;
  }
  Rx.FromMcast = (BOOLEAN)(Port == &Instance->RrqData->McastRxContext);

  RxNext Next = TakeCompletion(Instance, TokenStatus, RxData, Rx.FromMcast);
  if (Next == RX_CONTINUE) {
    Next = Linearise(Instance, RxData, &Rx);
  }
  if (Next == RX_CONTINUE) {
    Next = DispatchByOpcode(Instance, &Rx);
  }

  // Our own buffers go back whatever happened; after RX_GONE nothing else.
  if (Rx.Linear != NULL) {
    Zem4ReleasePacket(Rx.Linear);
  }
  RecycleRx(Rx.Recycle);
  if (Next == RX_GONE) {
    return;
  }
  if (Rx.CloseGroup) {
    Zem4RrqCloseMcastPort(Instance, FALSE);
  }
  if (Next == RX_REPOST) {
    Repost(Instance, Rx.FromMcast);
  }
}

VOID EFIAPI Zem4RrqTimer(EFI_EVENT Event, VOID *Context) {
  Zem4Instance *Instance = (Zem4Instance *)Context;
  if (!ZEM4_ASSERT(Instance != NULL && Instance->Signature == ZEM4_INSTANCE_SIGNATURE)) {
    return;
  }
  if (Instance->RrqData == NULL || Instance->State == ZEM4_STATE_IDLE) {
    return;
  }

  Zem4Token *Token = Instance->Token;
  if (Token != NULL && Token->TimeoutCallback != NULL && Instance->State != ZEM4_STATE_ERROR_SENT &&
      Instance->State != ZEM4_STATE_TIME_WAIT) {
    Zem4CallGuard Guard;
    Zem4GuardEnter(Instance, &Guard);
    EFI_STATUS Status = Token->TimeoutCallback(&Instance->Protocol, Token);
    if (!Zem4GuardLeave(Instance, &Guard)) {
      return;
    }
    if (EFI_ERROR(Status)) {
      DiagLog(DIAG_ERROR, "Zem4RrqTimer: User cancled the download process\n");
      Instance->Status = EFI_ABORTED;
      Zem4RrqSilentShutdown(Instance);
      return;
    }
  }

  // The closing states end alike in every mode that can be in them (a passive
  // member is never in ERROR_SENT): the lingering after an error packet ends
  // in the silent shutdown, which ends the transfer at its timer.
  if (Instance->State == ZEM4_STATE_TIME_WAIT) {
    Zem4RrqFinish(Instance);
    return;
  }
  if (Instance->State == ZEM4_STATE_ERROR_SENT && Instance->RrqData->Mode != ZEM4_MODE_PASSIVE) {
    Zem4RrqSilentShutdown(Instance);
    return;
  }
  Instance->RrqData->Timer(Event, Instance);
}

VOID EFIAPI Zem4RrqSendComplete(EFI_EVENT Event, VOID *Context) {
  Zem4Packet *Packet = (Zem4Packet *)Context;
  if (!ZEM4_ASSERT(Packet != NULL && Packet->Signature == ZEM4_PACKET_SIGNATURE)) {
    return;
  }
  Zem4Instance *Instance = Packet->Instance;
  if (Instance == NULL) {
    return;
  }

  switch (Instance->State) {
  case ZEM4_STATE_TIME_WAIT:
    if (Instance->PendingSends > 0) {
      Instance->PendingSends--;
    }
    RemoveEntryList(&Packet->Link);
    Zem4ReleasePacket(Packet);
    if (Instance->PendingSends == 0) {
      Zem4RrqFinish(Instance);
    }
    break;

  case ZEM4_STATE_RRQ_SENT:
  case ZEM4_STATE_RPL:
  case ZEM4_STATE_RECEIVING:
  case ZEM4_STATE_ERROR_SENT:
    if (Instance->PendingSends > 0) {
      Instance->PendingSends--;
    }
    RemoveEntryList(&Packet->Link);
    Zem4ReleasePacket(Packet);
    break;

  default:
    // Idle: the transfer is over and its pending packets went with the port.
    break;
  }
}
