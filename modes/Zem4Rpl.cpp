// RPL mode: the client lists the blocks it still lacks, the server paces the
// listing with RPLACK, and the first DATA8 hands the transfer to Active mode.
#include "modes/Zem4Modes.h"

#include "modes/Zem4Missing.h"
#include "protocol/Zem4Instance.h"
#include "protocol/Zem4Rrq.h"
#include "support/DiagLog.h"
#include "transport/Zem4Build.h"
#include "zem4/Zem4Wire.h"

EFI_STATUS Zem4SendRpl(Zem4Instance *Instance, UINT32 RplSequence) {
  return Zem4RrqSendAndKeep(Instance, Zem4RrqBuildRPL(RplSequence, Instance),
                            "Zem4SendAck: failed to build RPL packet\n",
                            "Zem4SendAck: failed to send RPL packet\n");
}

EFI_STATUS Zem4RrqEnterRpl(Zem4Instance *Instance) {
  Zem4RrqSetMode(ZEM4_MODE_RPL, Instance);
  // Every pass lists its missing blocks from the first range, and its RPLACKs
  // must be answered until this pass's list has gone out: a flag left from an
  // earlier pass would leave a long list half sent.
  Instance->RplListSent = 0;
  Instance->RrqData->MissingCursor = &Instance->RrqData->MissingList;
  Instance->NextBlock = 1;
  EFI_STATUS Status = Zem4SendRpl(Instance, 1);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  Instance->NextBlock = 2;
  Zem4SetTimer(Instance->RetryTimeout, Instance->TimerEvent, 0);
  Instance->State = ZEM4_STATE_RPL;
  return EFI_SUCCESS;
}

EFI_STATUS Zem4RrqRplRcvRplAck(Zem4Instance *Instance, UINT8 *Packet, UINT32 Length) {
  UINT32 Sequence = 0;
  Zem4WireGetBe32(Packet, Length, ZEM4_RPLACK_SEQUENCE_OFFSET, &Sequence);

  // The closing states are the dispatch's (an RPLACK in ERROR_SENT stops
  // the receive there).
  switch (Instance->State) {
  case ZEM4_STATE_RPL:
    if (Sequence != Instance->NextBlock) {
      DiagLog(DIAG_NOTICE, "Zem4RrqRplRcvRplAck: ignore a unexpected data block(%d/%d)\n",
              (UINTN)Sequence, (UINTN)Instance->NextBlock);
      return EFI_SUCCESS;
    }
    if (Instance->RplListSent == 1) {
      return EFI_SUCCESS; // the whole list is out; only the timer repeats it
    }
    if (EFI_ERROR(Zem4SendRpl(Instance, Instance->NextBlock))) {
      DiagLog(DIAG_ERROR, "Zem4RrqRplRcvRplAck: Send RPL Failed!");
      return Zem4RrqSilentShutdown(Instance);
    }
    Instance->NextBlock++;
    Zem4SetTimer(Instance->RetryTimeout, Instance->TimerEvent, 0);
    return EFI_SUCCESS;

  default:
    return Zem4RrqSilentShutdown(Instance);
  }
}

VOID Zem4RrqRplTimer(EFI_EVENT Event, Zem4Instance *Instance) {
  if (Instance->State != ZEM4_STATE_RPL) {
    return; // the closing states are the dispatch's
  }
  Instance->RetryCount++;
  if (Instance->RetryCount > Instance->MaxRetry) {
    Zem4RrqGiveUp(Instance, "Zem4RrqRplTimer: too many retries to send request\n",
                  "Zem4RrqRplTimer: failed to send an error packet (Timeout Too Many Times)\n");
    return;
  }
  if (EFI_ERROR(Zem4RrqResendKept(Instance, Instance->LastPacket))) {
    DiagLog(DIAG_ERROR,
            "Zem4RrqActiveTimer: failed to retransmit the request, init silent shutdown\n");
    Zem4RrqSilentShutdown(Instance);
    return;
  }
  Zem4SetTimer(Instance->RetryTimeout, Instance->TimerEvent, 0);
}

EFI_STATUS Zem4RrqRplRcvData(Zem4Instance *Instance, UINT8 *Packet, UINT32 Length,
                             BOOLEAN FromMcast) {
  Zem4RrqNoteData(Instance);
  if (Instance->State != ZEM4_STATE_RPL) {
    return EFI_SUCCESS;
  }
  // The first data: Active mode takes over and handles this very packet.
  Instance->NextBlock = 1;
  Zem4RrqSetMode(ZEM4_MODE_ACTIVE, Instance);
  Instance->State = ZEM4_STATE_RECEIVING;
  Instance->RrqData->MissingCursor = &Instance->RrqData->MissingList;
  return Zem4RrqActiveRcvData(Instance, Packet, Length, FromMcast);
}

EFI_STATUS Zem4RrqRplRcvError(Zem4Instance *Instance, UINT8 *Packet, UINT32 Length) {
  return Zem4RrqEndOnServerError(Instance, Packet, Length, ZEM4_STATE_RPL, ZEM4_STATE_ERROR_SENT,
                                 "Zem4RrqInitRcvError: received an error packet(%d) from server\n");
}

EFI_STATUS Zem4RrqRplRcvOack(Zem4Instance *Instance, UINT8 *Packet, UINT32 Length) {
  return EFI_SUCCESS; // a repeated OACK
}
