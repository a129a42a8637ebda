// Passive mode: a multicast member that only listens. It picks the blocks it
// still lacks out of the group's stream, gathers them in a 64-slot window
// ordered by Block and leaves its gaps to a later pass. It never sends.
#include "modes/Zem4Modes.h"

#include "modes/Zem4Missing.h"
#include "protocol/Zem4Instance.h"
#include "protocol/Zem4Options.h"
#include "protocol/Zem4Rrq.h"
#include "support/DiagLog.h"
#include "support/Globals.h"
#include "support/Zem4Assert.h"
#include "zem4/Zem4Wire.h"

namespace {

// The block a streaming caller can keep next: the window holds, from the
// point the caller has reached, an unbroken run of the blocks that follow it.
UINT32 NextStreamBlock(const Zem4Instance *Instance) {
  UINT32 Held = 0;
  for (UINT32 Slot = 0; Slot < ZEM4_HALF_WINDOW_BLOCKS; Slot++) {
    if (Instance->SlotFilled[Slot] && Instance->RrqData->SlotBlock[Slot] != 0) {
      Held++;
    }
  }
  return Zem4RrqNextSaveBlock(Instance) + Held;
}

VOID StoreInSlot(Zem4Instance *Instance, UINT32 Slot, UINT32 Block, const UINT8 *Data,
                 UINT32 DataLength) {
  gBS->CopyMem(Instance->WindowBuffer + Slot * ZEM4_BLOCK_SIZE, (VOID *)Data, DataLength);
  Instance->SlotFilled[Slot] = 1;
  Instance->SlotLength[Slot] = DataLength;
  Instance->RrqData->SlotBlock[Slot] = Block;
}

// Whether this listener keeps the block: it came on the group's port, carries
// data, continues the file for a stream, and was still missing (the list
// no longer names it then). *Keep FALSE: the DATA8 is done with.
EFI_STATUS TakeIfMissing(Zem4Instance *Instance, const Zem4Data8Fields *Fields, BOOLEAN FromMcast,
                         BOOLEAN *Keep) {
  *Keep = FALSE;
  if (!FromMcast || Fields->DataLength == 0) {
    return EFI_SUCCESS;
  }
  // A stream keeps only the block that continues the file; any other stays
  // missing for a later pass.
  if (Zem4RrqIsStream(Instance) && Fields->Block != NextStreamBlock(Instance)) {
    return EFI_SUCCESS;
  }
  BOOLEAN WasMissing = FALSE;
  if (EFI_ERROR(Zem4RrqSaveLostBlkAtCursor(Instance, Fields->Block, &WasMissing))) {
    DiagLog(DIAG_ERROR, "Zem4RrqPassiveRcvData: failed to save lost block\n");
    return Zem4RrqSilentShutdown(Instance);
  }
  *Keep = WasMissing;
  return EFI_SUCCESS;
}

// A new group of 64 (or a block beyond the window): what the window holds
// goes to the caller, and the window restarts at this block.
EFI_STATUS RestartWindow(Zem4Instance *Instance, const Zem4Data8Fields *Fields) {
  EFI_STATUS Status =
      Zem4RrqSaveSlots(Instance, 0, ZEM4_HALF_WINDOW_BLOCKS, Instance->RrqData->SlotBlock);
  if (Status == ZEM4_TRANSFER_GONE) {
    return Status;
  }
  if (EFI_ERROR(Status)) {
    DiagLog(DIAG_ERROR, "Zem4RrqPassiveRcvData: failed to save data\n");
    return Zem4RrqSilentShutdown(Instance);
  }
  Instance->WindowBase = Fields->Block;
  for (UINT32 Slot = 1; Slot < ZEM4_HALF_WINDOW_BLOCKS; Slot++) {
    Instance->SlotFilled[Slot] = 0;
    Instance->SlotLength[Slot] = 0;
    Instance->RrqData->SlotBlock[Slot] = 0;
  }
  StoreInSlot(Instance, 0, Fields->Block, Fields->Data, Fields->DataLength);
  return EFI_SUCCESS;
}

} // namespace

EFI_STATUS Zem4RrqPassiveRcvData(Zem4Instance *Instance, UINT8 *Packet, UINT32 Length,
                                 BOOLEAN FromMcast) {
  Zem4Data8Fields Fields;
  if (!Zem4RrqReadData8(Packet, Length, &Fields)) {
    return EFI_SUCCESS;
  }
  const UINT32 Block = Fields.Block;
  Zem4RrqNoteData(Instance);
  if (Instance->State != ZEM4_STATE_RECEIVING) {
    return EFI_SUCCESS;
  }

  // The first short DATA8 from either port names the last block; an empty
  // one ends the file with the block before it.
  if (Fields.DataLength < Instance->Options.BlockSize && Instance->LastBlock == -1) {
    Instance->LastBlock = (INT32)(Fields.DataLength > 0 ? Block : Block - 1);
  }

  BOOLEAN Keep = FALSE;
  EFI_STATUS Status = TakeIfMissing(Instance, &Fields, FromMcast, &Keep);
  if (EFI_ERROR(Status) || !Keep) {
    return Status;
  }
  if (Block >= Instance->WindowBase && Block - Instance->WindowBase < ZEM4_HALF_WINDOW_BLOCKS &&
      (Fields.Sequence - 1) % ZEM4_HALF_WINDOW_BLOCKS != 0) {
    UINT32 Slot = Block - Instance->WindowBase;
    if (!Instance->SlotFilled[Slot]) {
      StoreInSlot(Instance, Slot, Block, Fields.Data, Fields.DataLength);
    }
  } else {
    Status = RestartWindow(Instance, &Fields);
    if (EFI_ERROR(Status)) {
      return Status;
    }
  }

  Zem4SetTimer(Instance->RetryTimeout, Instance->TimerEvent, 0);
  return EFI_SUCCESS;
}

VOID Zem4RrqPassiveTimer(EFI_EVENT Event, Zem4Instance *Instance) {
  switch (Instance->State) {
  case ZEM4_STATE_RECEIVING:
  case ZEM4_STATE_RRQ_SENT:
    Instance->RetryCount++;
    // Unlike Active and RPL mode's give-up, no error packet: a listener never
    // sends, so it just stops listening.
    if (Instance->RetryCount > Instance->MaxRetry) {
      DiagLog(DIAG_ERROR, "Zem4RrqPassiveTimer: too many retries to send request\n");
      Instance->Status = EFI_TIMEOUT;
      Zem4RrqSilentShutdown(Instance);
      return;
    }
    Zem4SetTimer(Instance->RetryTimeout, Instance->TimerEvent, 0);
    return;
  default:
    return;
  }
}

EFI_STATUS Zem4RrqPassiveRcvRplAck(Zem4Instance *Instance, UINT8 *Packet, UINT32 Length) {
  switch (Instance->State) {
  case ZEM4_STATE_RECEIVING:
    // Someone is driving the server: the group is alive.
    Zem4SetTimer(Instance->RetryTimeout, Instance->TimerEvent, 0);
    return EFI_SUCCESS;
  default:
    return EFI_SUCCESS;
  }
}

EFI_STATUS Zem4RrqPassiveRcvError(Zem4Instance *Instance, UINT8 *Packet, UINT32 Length) {
  return Zem4RrqEndOnServerError(
      Instance, Packet, Length, ZEM4_STATE_RECEIVING, ZEM4_STATE_RRQ_SENT,
      "Zem4RrqPassiveRcvError: received an error packet(%d) from server\n");
}

EFI_STATUS Zem4RrqPassiveRcvOack(Zem4Instance *Instance, UINT8 *Packet, UINT32 Length) {
  if (Instance->State != ZEM4_STATE_RRQ_SENT) {
    return EFI_SUCCESS; // the data phase ignores a repeated OACK
  }
  // Cannot run: Passive mode is entered only from Init's OACK, and a FIN sends
  // the request again in Init mode, so a listener never has the request out.
  // The member's answer to a new OACK stays for the images should that change.
  ZEM4_ASSERT(!"a listener with its request outstanding");

  // A new OACK for a request that is out again: follow the group it names.
  EFI_IPv4_ADDRESS OldIp = Instance->Options.McastIp;
  UINT16 OldPort = Instance->Options.McastPort;
  if (EFI_ERROR(Zem4ParseOack(&Instance->Options, Packet, Length))) {
    DiagLog(DIAG_ERROR, "Zem4RrqPassiveRcvOack: failed to parse the OACK packet\n");
    Instance->Status = EFI_DEVICE_ERROR;
    Zem4RrqSilentShutdown(Instance);
    return EFI_DEVICE_ERROR;
  }
  const EFI_IPv4_ADDRESS &NewIp = Instance->Options.McastIp;
  BOOLEAN SameGroup = (BOOLEAN)(OldIp.Addr[0] == NewIp.Addr[0] && OldIp.Addr[1] == NewIp.Addr[1] &&
                                OldIp.Addr[2] == NewIp.Addr[2] && OldIp.Addr[3] == NewIp.Addr[3] &&
                                OldPort == Instance->Options.McastPort);
  if (Instance->Options.McastRole == MCAST_ROLE_UNICAST) {
    Zem4RrqCloseMcastPort(Instance, TRUE);
  } else if (!SameGroup || Instance->RrqData->McastUdp == NULL) {
    Zem4RrqCloseMcastPort(Instance, FALSE);
    EFI_STATUS Status = Zem4RrqCreateMcastPort(Instance, NewIp, Instance->Options.McastPort);
    if (EFI_ERROR(Status)) {
      DiagLog(DIAG_ERROR, "Zem4RrqPassiveRcvOack: failed to create a new multicast port %r\n",
              Status);
      Zem4RrqSilentShutdown(Instance);
      return EFI_DEVICE_ERROR;
    }
    Status = Zem4RrqStartMcastRcv(Instance->RrqData);
    if (EFI_ERROR(Status)) {
      DiagLog(DIAG_ERROR, "Zem4RrqPassiveRcvOack: failed to start mcast rcv %r\n", Status);
      Instance->Status = EFI_DEVICE_ERROR;
      Zem4RrqSilentShutdown(Instance);
      return EFI_DEVICE_ERROR;
    }
  }
  Zem4SetTimer(Instance->RetryTimeout, Instance->TimerEvent, 0);
  Instance->State = ZEM4_STATE_RECEIVING;
  return EFI_SUCCESS;
}
