// Active mode: the data phase of the client that drives the server. DATA8 go
// into a 128-slot window in Sequence order, each completed half of 64 goes to
// the caller, and ACK8s name the next Sequence expected with a window of 64.
#include "modes/Zem4Modes.h"

#include "modes/Zem4Missing.h"
#include "protocol/Zem4Instance.h"
#include "protocol/Zem4Rrq.h"
#include "support/DiagLog.h"
#include "support/Globals.h"
#include "support/Zem4Assert.h"
#include "transport/Zem4Build.h"
#include "transport/Zem4Packet.h"
#include "zem4/Zem4Wire.h"

// One flag for the whole driver: the acknowledgement policy of every instance
// reads what the last DATA8 handled by any of them left.
UINT8 OutOfOrderSeen;

namespace {

// The caller would not take a half window: tell the server why, then close.
// No lingering in ERROR_SENT as after a time-out: the refusal ends the
// transfer whether or not the error packet went.
EFI_STATUS RefuseHalf(Zem4Instance *Instance) {
  DiagLog(DIAG_ERROR, "Zem4RrqActiveRcvData: failed to save the block\n");
  Zem4ErrorInfo Info;
  Info.ErrorCode = ZEM4_ERR_DISK_FULL;
  Info.ErrorMessage =
      Instance->Status == EFI_ABORTED ? ZEM4_MSG_USER_CANCELLED : ZEM4_MSG_DISK_FULL;
  if (EFI_ERROR(Zem4SendError(Instance, &Info, Zem4RrqSendComplete))) {
    DiagLog(DIAG_ERROR, "Zem4RrqInitRcvOack: failed to send an error packet (OACK malformed)\n");
  }
  return Zem4RrqSilentShutdown(Instance);
}

// Slides the window by one half once the caller has the first half.
VOID SlideHalf(Zem4Instance *Instance) {
  Zem4RrqData *RrqData = Instance->RrqData;
  Instance->FirstHalfLeft = Instance->SecondHalfLeft;
  Instance->SecondHalfLeft = ZEM4_HALF_WINDOW_BLOCKS;
  Instance->FirstHalfBytes = Instance->SecondHalfBytes;
  Instance->SecondHalfBytes = 0;
  for (UINT32 Index = 0; Index < ZEM4_HALF_WINDOW_BLOCKS; Index++) {
    UINT32 Slot = Instance->WindowStartSlot + Index;
    Instance->SlotFilled[Slot] = 0;
    Instance->SlotLength[Slot] = 0;
    RrqData->SlotBlock[Slot] = 0;
  }
  Instance->WindowStartSlot =
      (UINT16)((Instance->WindowStartSlot + ZEM4_HALF_WINDOW_BLOCKS) % ZEM4_WINDOW_BLOCKS);
  Instance->WindowBase += ZEM4_HALF_WINDOW_BLOCKS;
}

} // namespace

EFI_STATUS Zem4SendAck(Zem4Instance *Instance, UINT32 Number) {
  Instance->AckPending = 0;
  return Zem4RrqSendAndKeep(Instance, Zem4RrqBuildAck(Instance, Number),
                            "Zem4SendAck: failed to build ACK0\n",
                            "Zem4SendAck: failed to send ACK0\n");
}

namespace {

// Moves NextBlock past an in-order DATA8 (and the blocks already behind it),
// or notes the gap an early one leaves.
VOID AdvanceSequence(Zem4Instance *Instance, UINT32 Sequence, UINT32 Slot) {
  if (Sequence != Instance->NextBlock) {
    Instance->LostBlocks += Sequence - Instance->NextBlock;
    Instance->AckPending = 1;
    OutOfOrderSeen = 1;
    return;
  }
  if (OutOfOrderSeen == 1) {
    Instance->AckPending = 1;
    OutOfOrderSeen = 0;
  }
  // Jump over the blocks that already arrived behind this one.
  UINT32 Count = 1;
  UINT32 Probe = (Slot + 1) % ZEM4_WINDOW_BLOCKS;
  while (Probe != Instance->WindowStartSlot && Instance->SlotFilled[Probe]) {
    Count++;
    Probe = (Probe + 1) % ZEM4_WINDOW_BLOCKS;
  }
  Instance->NextBlock = Sequence + Count;
}

// Copies a new block into its empty slot and counts it in its half.
EFI_STATUS StoreBlock(Zem4Instance *Instance, UINT32 Slot, UINT32 Sequence, UINT32 Block,
                      const UINT8 *Data, UINT32 DataLength) {
  gBS->CopyMem(Instance->WindowBuffer + Slot * ZEM4_BLOCK_SIZE, (VOID *)Data, DataLength);
  Instance->SlotFilled[Slot] = 1;
  Instance->SlotLength[Slot] = DataLength;
  BOOLEAN WasMissing = FALSE;
  if (EFI_ERROR(Zem4RrqSaveLostBlk(Instance, Block, &WasMissing))) {
    DiagLog(DIAG_ERROR, "Zem4RrqPassiveRcvData: failed to save lost block\n");
    return Zem4RrqSilentShutdown(Instance);
  }
  // The slot counts for the Sequence bookkeeping either way; a block that
  // was here before is not handed over again.
  Instance->RrqData->SlotBlock[Slot] = WasMissing ? Block : 0;
  if (Sequence - Instance->WindowBase < ZEM4_HALF_WINDOW_BLOCKS) {
    Instance->FirstHalfBytes += DataLength;
    Instance->FirstHalfLeft--;
  } else {
    Instance->SecondHalfBytes += DataLength;
    Instance->SecondHalfLeft--;
  }
  return EFI_SUCCESS;
}

// A DATA8 within the next half window: placed, a completed first half handed
// over, the end of the file noted. *AckNow: it is acknowledged at once.
EFI_STATUS TakeInWindow(Zem4Instance *Instance, UINT32 Sequence, UINT32 Block, const UINT8 *Data,
                        UINT32 DataLength, BOOLEAN *AckNow) {
  // NextBlock stays within the first half (a full one slides at once), so an
  // accepted Sequence lies within the window.
  if (!ZEM4_ASSERT(Sequence >= Instance->WindowBase &&
                   Sequence - Instance->WindowBase < ZEM4_WINDOW_BLOCKS)) {
    Instance->Status = EFI_DEVICE_ERROR;
    return Zem4RrqSilentShutdown(Instance);
  }
  UINT32 Slot =
      (Instance->WindowStartSlot + (Sequence - Instance->WindowBase)) % ZEM4_WINDOW_BLOCKS;
  AdvanceSequence(Instance, Sequence, Slot);
  if (!Instance->SlotFilled[Slot]) {
    EFI_STATUS Status = StoreBlock(Instance, Slot, Sequence, Block, Data, DataLength);
    if (EFI_ERROR(Status)) {
      return Status;
    }
  }
  if (Instance->FirstHalfLeft == 0) {
    EFI_STATUS Status = Zem4RrqSaveSlots(Instance, Instance->WindowStartSlot,
                                         ZEM4_HALF_WINDOW_BLOCKS, Instance->RrqData->SlotBlock);
    if (Status == ZEM4_TRANSFER_GONE) {
      return Status;
    }
    if (EFI_ERROR(Status)) {
      return RefuseHalf(Instance);
    }
    SlideHalf(Instance);
  }
  Instance->Status = EFI_SUCCESS;
  if (DataLength < Instance->Options.BlockSize) {
    // The short DATA8 ends the file; an empty one ends it with the block before.
    Instance->LastBlock = (INT32)(DataLength > 0 ? Block : Block - 1);
    if (OutOfOrderSeen == 0) {
      Instance->AckPending = 1;
    }
  }
  // Every other DATA8 in order is acknowledged.
  *AckNow = (BOOLEAN)(Instance->AckPending == 1);
  Instance->AckPending = 1;
  return EFI_SUCCESS;
}

} // namespace

EFI_STATUS Zem4RrqActiveRcvData(Zem4Instance *Instance, UINT8 *Packet, UINT32 Length,
                                BOOLEAN FromMcast) {
  Zem4Data8Fields Fields;
  if (!Zem4RrqReadData8(Packet, Length, &Fields)) {
    return EFI_SUCCESS;
  }
  const UINT32 Sequence = Fields.Sequence;
  Zem4RrqNoteData(Instance);
  if (Instance->State != ZEM4_STATE_RECEIVING) {
    return EFI_SUCCESS; // the closing states are the dispatch's
  }

  if (Sequence < Instance->NextBlock || Sequence - Instance->NextBlock >= ZEM4_HALF_WINDOW_BLOCKS) {
    DiagLog(DIAG_NOTICE, "Zem4RrqActiveRcvData: ignore an unexpected old data block(%x/%x)\n",
            (UINTN)Sequence, (UINTN)Instance->NextBlock);
    OutOfOrderSeen = 1;
  } else {
    BOOLEAN AckNow = FALSE;
    EFI_STATUS Status =
        TakeInWindow(Instance, Sequence, Fields.Block, Fields.Data, Fields.DataLength, &AckNow);
    if (EFI_ERROR(Status) || !AckNow) {
      return Status;
    }
  }

  if (EFI_ERROR(Zem4SendAck(Instance, Instance->NextBlock))) {
    DiagLog(DIAG_ERROR, "Zem4RrqActiveRcvData: failed to send the ack, silent shutdown\n");
    return Zem4RrqSilentShutdown(Instance);
  }
  Zem4SetTimer(0, Instance->TimerEvent, Instance->RetryTimeout);
  return EFI_SUCCESS;
}

VOID Zem4RrqActiveTimer(EFI_EVENT Event, Zem4Instance *Instance) {
  if (Instance->State != ZEM4_STATE_RECEIVING) {
    return; // the closing states are the dispatch's
  }
  Instance->RetryCount++;
  if (Instance->RetryCount > Instance->MaxRetry) {
    Zem4RrqGiveUp(Instance, "Zem4RrqActiveTimer: too many retries to send request\n",
                  "Zem4RrqInitRcvOack: failed to send an error packet (OACK malformed)\n");
    return;
  }
  if (Instance->AckPending == 1 && EFI_ERROR(Zem4SendAck(Instance, Instance->NextBlock))) {
    DiagLog(DIAG_ERROR, "Zem4RrqActiveTimer: failed to send the ack, silent shutdown\n");
    Zem4RrqSilentShutdown(Instance);
    return;
  }
  Zem4SetTimer(0, Instance->TimerEvent, Instance->RetryTimeout);
}

EFI_STATUS Zem4RrqActiveRcvError(Zem4Instance *Instance, UINT8 *Packet, UINT32 Length) {
  return Zem4RrqEndOnServerError(
      Instance, Packet, Length, ZEM4_STATE_RECEIVING, ZEM4_STATE_ERROR_SENT,
      "Zem4RrqActiveRcvError: received an error packet(%d) from server\n");
}

EFI_STATUS Zem4RrqActiveRcvOack(Zem4Instance *Instance, UINT8 *Packet, UINT32 Length) {
  return EFI_SUCCESS; // nothing the data phase acts on
}
