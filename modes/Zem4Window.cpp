// The receive window and what fills and empties it: a DATA8's fields, the
// note that a pass carried data, the emptied window, and whether the caller
// takes what leaves the window as a stream.
#include "modes/Zem4Modes.h"

#include "protocol/Zem4Instance.h"
#include "protocol/Zem4Rrq.h"
#include "support/Globals.h"
#include "zem4/Zem4Wire.h"

BOOLEAN Zem4RrqReadData8(const UINT8 *Packet, UINT32 Length, Zem4Data8Fields *Fields) {
  UINT16 Opcode = 0;
  if (!Zem4WireGetOpcode(Packet, Length, &Opcode) || Opcode != ZEM4_OP_DATA8 ||
      !Zem4WireGetBe32(Packet, Length, ZEM4_DATA8_SEQUENCE_OFFSET, &Fields->Sequence) ||
      !Zem4WireGetBe32(Packet, Length, ZEM4_DATA8_BLOCK_OFFSET, &Fields->Block)) {
    return FALSE;
  }
  Fields->Data = Packet + ZEM4_DATA8_DATA_OFFSET;
  Fields->DataLength = Length - (UINT32)ZEM4_DATA8_DATA_OFFSET;
  // A window slot holds one block: a longer payload is refused here, whatever
  // block size the dispatch checked the length against.
  return (BOOLEAN)(Fields->DataLength <= ZEM4_BLOCK_SIZE);
}

VOID Zem4RrqResetWindow(Zem4Instance *Instance) {
  gBS->SetMem(Instance->SlotFilled, sizeof(Instance->SlotFilled), 0);
  gBS->SetMem(Instance->SlotLength, sizeof(Instance->SlotLength), 0);
  if (Instance->RrqData != NULL) {
    gBS->SetMem(Instance->RrqData->SlotBlock, sizeof(Instance->RrqData->SlotBlock), 0);
  }
  Instance->WindowBase = 1;
  Instance->WindowStartSlot = 0;
  Instance->FirstHalfLeft = ZEM4_HALF_WINDOW_BLOCKS;
  Instance->SecondHalfLeft = ZEM4_HALF_WINDOW_BLOCKS;
  Instance->FirstHalfBytes = 0;
  Instance->SecondHalfBytes = 0;
}

VOID Zem4RrqNoteData(Zem4Instance *Instance) {
  if (Instance->RrqData != NULL) {
    Instance->RrqData->DataThisPass = 1;
  }
}

BOOLEAN Zem4RrqIsStream(const Zem4Instance *Instance) {
  const Zem4Token *Token = Instance->Token;
  return (BOOLEAN)(Token != NULL && !(Token->Buffer != NULL && Token->BufferSize != 0) &&
                   Token->CheckPacket != NULL);
}
