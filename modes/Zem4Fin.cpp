// FIN: the server ends a pass. The window goes to the caller in file order;
// then the file is complete, or the request goes out again for a new pass
// that asks only for what is still missing.
#include "modes/Zem4Modes.h"

#include "modes/Zem4Missing.h"
#include "protocol/Zem4Instance.h"
#include "protocol/Zem4Options.h"
#include "protocol/Zem4Rrq.h"
#include "support/DiagLog.h"
#include "support/Globals.h"
#include "transport/Zem4Packet.h"
#include "zem4/Zem4Wire.h"

namespace {

// Complete when nothing up to the last block is missing. An empty list has no
// first missing block: complete once the last block has been seen.
BOOLEAN FileComplete(const Zem4Instance *Instance) {
  const LIST_ENTRY *Head = &Instance->RrqData->MissingList;
  if (IsListEmpty(Head)) {
    return (BOOLEAN)(Instance->LastBlock != -1);
  }
  const Zem4MissingRange *First = ZEM4_CR(Head->ForwardLink, Zem4MissingRange, Link);
  return (BOOLEAN)(First->First > (UINT32)Instance->LastBlock);
}

// Blocks are still missing: the request goes out again for a new pass in
// Init mode, unless the server has ended too many in a row without data.
EFI_STATUS StartNextPass(Zem4Instance *Instance) {
  Zem4RrqData *RrqData = Instance->RrqData;
  if (RrqData->DataThisPass) {
    RrqData->EmptyPasses = 0;
  } else if (++RrqData->EmptyPasses >= ZEM4_MAX_EMPTY_PASSES) {
    DiagLog(DIAG_ERROR, "Zem4RrqRcvFin: too many passes without data\n");
    Instance->Status = EFI_TIMEOUT;
    Zem4RrqSilentShutdown(Instance);
    return EFI_SUCCESS;
  }
  RrqData->DataThisPass = 0;

  // The request may still be on its way from an earlier send: the copy rule
  // keeps one packet off the pending list twice.
  if (Instance->RequestPacket != NULL) {
    EFI_STATUS Status = Zem4RrqResendKept(Instance, Instance->RequestPacket);
    if (EFI_ERROR(Status)) {
      DiagLog(DIAG_ERROR, "Zem4RrqRcvFin: failed to send RRQ, init silent shutdown\n");
      Zem4RrqSilentShutdown(Instance);
      return Status;
    }
  }
  Instance->State = ZEM4_STATE_RRQ_SENT;
  Zem4RrqSetMode(ZEM4_MODE_INIT, Instance);
  // The new pass counts its own retries: a quiet spell before the FIN (a
  // listener waiting its turn) must not end it at its first tick.
  Instance->RetryCount = 0;
  RrqData->MissingCursor = &RrqData->MissingList;
  Zem4SetTimer(Instance->RetryTimeout, Instance->TimerEvent, 0);
  return EFI_SUCCESS;
}

} // namespace

EFI_STATUS Zem4RrqRcvFin(Zem4Instance *Instance, UINT8 *Packet, UINT32 Length, UINT8 *CloseFlag) {
  UINT32 Value = 0;
  Zem4WireGetBe32(Packet, Length, ZEM4_FIN_VALUE_OFFSET, &Value);
  UINT32 State = Instance->State;
  if (State == ZEM4_STATE_IDLE || State == ZEM4_STATE_TIME_WAIT || State == ZEM4_STATE_RRQ_SENT) {
    return EFI_SUCCESS;
  }
  Zem4RrqData *RrqData = Instance->RrqData;
  // Every end of the pass below resets the group's port (it is joined again
  // for the next pass); a passive member's hold keeps it.
  UINT8 Close = (UINT8)(Instance->Options.McastRole != MCAST_ROLE_UNICAST);

  if (State == ZEM4_STATE_RECEIVING || State == ZEM4_STATE_ERROR_SENT) {
    if (RrqData->Mode == ZEM4_MODE_PASSIVE && Value == ZEM4_FIN_PASSIVE_HOLD) {
      *CloseFlag = 0;
      return EFI_SUCCESS;
    }
    // What the window still holds goes out in file order, whatever slot the
    // window starts at and whatever order the Sequence numbers gave.
    EFI_STATUS Status = Zem4RrqSaveSlots(Instance, Instance->WindowStartSlot, ZEM4_WINDOW_BLOCKS,
                                         RrqData->SlotBlock);
    if (Status == ZEM4_TRANSFER_GONE) {
      return Status;
    }
    if (EFI_ERROR(Status)) {
      DiagLog(DIAG_ERROR, "Zem4RrqPassiveRcvData: failed to save data\n");
      *CloseFlag = Close;
      Zem4RrqSilentShutdown(Instance);
      return Status;
    }
    Zem4RrqResetWindow(Instance);
  }

  *CloseFlag = Close;
  if (FileComplete(Instance)) {
    Instance->Status = EFI_SUCCESS;
    Instance->Complete = 1;
    Zem4RrqSilentShutdown(Instance);
    return EFI_SUCCESS;
  }
  return StartNextPass(Instance);
}
