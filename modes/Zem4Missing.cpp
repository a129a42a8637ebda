// The missing-block list and block saving.
#include "modes/Zem4Missing.h"

#include "modes/Zem4Modes.h"
#include "protocol/Zem4Instance.h"
#include "protocol/Zem4Rrq.h"
#include "support/DiagLog.h"
#include "support/Globals.h"
#include "support/Math64.h"
#include "support/Zem4Assert.h"
#include "zem4/Zem4Wire.h"

namespace {

Zem4MissingRange *NewRange(UINT32 First, UINT32 Last) {
  VOID *Memory = nullptr;
  if (EFI_ERROR(gBS->AllocatePool(EfiBootServicesData, sizeof(Zem4MissingRange), &Memory)) ||
      Memory == nullptr) {
    return nullptr;
  }
  Zem4MissingRange *Range = static_cast<Zem4MissingRange *>(Memory);
  Range->First = First;
  Range->Last = Last;
  InitializeListHead(&Range->Link);
  return Range;
}

inline Zem4MissingRange *RangeOf(LIST_ENTRY *Entry) {
  return ZEM4_CR(Entry, Zem4MissingRange, Link);
}

// Links Entry directly after Prev.
inline VOID InsertAfter(LIST_ENTRY *Prev, LIST_ENTRY *Entry) {
  InsertHeadList(Prev, Entry);
}

// Takes Number out of the range at Entry, which holds it. MoveCursor selects
// the cursor form's cursor updates.
EFI_STATUS TakeOut(Zem4Instance *Instance, LIST_ENTRY *Entry, UINT32 Number, BOOLEAN MoveCursor,
                   BOOLEAN *WasMissing) {
  Zem4RrqData *RrqData = Instance->RrqData;
  Zem4MissingRange *Range = RangeOf(Entry);
  // The list's ranges are never empty, and the searches stop at the one that
  // holds Number.
  if (!ZEM4_ASSERT(Range->First <= Number && Number <= Range->Last)) {
    Instance->Status = EFI_DEVICE_ERROR;
    *WasMissing = FALSE;
    return EFI_DEVICE_ERROR;
  }

  if (Range->First == Range->Last) {
    LIST_ENTRY *Prev = Entry->BackLink;
    // Whatever designated the entry now designates its predecessor, so the
    // next search starts at the entry's former successor either way.
    if (MoveCursor || RrqData->MissingCursor == Entry) {
      RrqData->MissingCursor = Prev;
    }
    RemoveEntryList(Entry);
    gBS->FreePool(Range);
  } else if (Number == Range->First) {
    Range->First = Number + 1;
    if (MoveCursor) {
      RrqData->MissingCursor = Entry->BackLink;
    }
  } else if (Number == Range->Last) {
    Range->Last = Number - 1;
    if (MoveCursor) {
      RrqData->MissingCursor = Entry;
    }
  } else {
    Zem4MissingRange *Upper = NewRange(Number + 1, Range->Last);
    if (Upper == nullptr) {
      // Nothing changed, so nothing is counted.
      Instance->Status = EFI_OUT_OF_RESOURCES;
      *WasMissing = FALSE;
      return EFI_OUT_OF_RESOURCES;
    }
    Range->Last = Number - 1;
    InsertAfter(Entry, &Upper->Link);
    Instance->LostBlocks += Range->Last - Range->First + 1;
    if (MoveCursor) {
      RrqData->MissingCursor = Entry;
    }
  }

  Instance->ReceivedBlocks++;
  *WasMissing = TRUE;
  return EFI_SUCCESS;
}

inline UINT32 NextSave(const Zem4RrqData *RrqData) {
  // A record made without Zem4RrqCreateMissing is zero: start at block 1.
  return RrqData->NextSaveBlock == 0 ? 1 : RrqData->NextSaveBlock;
}

// Blocks a run of Length bytes covers; an empty run is its one empty block.
inline UINT32 BlocksIn(UINT32 Length) {
  return Length == 0 ? 1 : (Length + ZEM4_BLOCK_SIZE - 1) / ZEM4_BLOCK_SIZE;
}

} // namespace

EFI_STATUS Zem4RrqCreateMissing(Zem4RrqData *RrqData) {
  InitializeListHead(&RrqData->MissingList);
  RrqData->MissingCursor = &RrqData->MissingList;
  RrqData->NextSaveBlock = 1;
  Zem4MissingRange *Range = NewRange(1, ZEM4_LAST_BLOCK_NUMBER);
  if (Range == nullptr) {
    return EFI_OUT_OF_RESOURCES;
  }
  InsertTailList(&RrqData->MissingList, &Range->Link);
  return EFI_SUCCESS;
}

EFI_STATUS Zem4RrqSaveLostBlk(Zem4Instance *Instance, UINT32 Number, BOOLEAN *WasMissing) {
  LIST_ENTRY *Head = &Instance->RrqData->MissingList;
  *WasMissing = FALSE;
  for (LIST_ENTRY *Entry = Head->ForwardLink; Entry != Head; Entry = Entry->ForwardLink) {
    Zem4MissingRange *Range = RangeOf(Entry);
    if (Number < Range->First) {
      break; // ascending: no later range holds it
    }
    if (Number <= Range->Last) {
      return TakeOut(Instance, Entry, Number, FALSE, WasMissing);
    }
  }
  return EFI_SUCCESS;
}

EFI_STATUS Zem4RrqSaveLostBlkAtCursor(Zem4Instance *Instance, UINT32 Number, BOOLEAN *WasMissing) {
  Zem4RrqData *RrqData = Instance->RrqData;
  LIST_ENTRY *Head = &RrqData->MissingList;
  *WasMissing = FALSE;
  for (LIST_ENTRY *Entry = RrqData->MissingCursor->ForwardLink; Entry != Head;
       Entry = Entry->ForwardLink) {
    Zem4MissingRange *Range = RangeOf(Entry);
    if (Number < Range->First) {
      RrqData->MissingCursor = Entry->BackLink;
      return EFI_SUCCESS;
    }
    if (Number <= Range->Last) {
      return TakeOut(Instance, Entry, Number, TRUE, WasMissing);
    }
  }
  return EFI_SUCCESS;
}

EFI_STATUS Zem4RrqRestoreMissing(Zem4Instance *Instance, UINT32 First, UINT32 Last) {
  Zem4RrqData *RrqData = Instance->RrqData;
  LIST_ENTRY *Head = &RrqData->MissingList;
  if (First == 0) {
    First = 1; // block 0 is never missing
  }
  if (First > Last) {
    return EFI_SUCCESS;
  }

  UINT32 Restored = 0;
  UINT32 Cursor = First; // lowest block of First..Last not yet looked at
  LIST_ENTRY *Entry = Head->ForwardLink;
  for (;;) {
    while (Entry != Head && RangeOf(Entry)->Last < Cursor) {
      Entry = Entry->ForwardLink;
    }
    if (Entry != Head && RangeOf(Entry)->First <= Cursor) {
      // Already missing up to Entry's end.
      if (RangeOf(Entry)->Last >= Last) {
        break;
      }
      Cursor = RangeOf(Entry)->Last + 1;
      Entry = Entry->ForwardLink;
      continue;
    }
    // Cursor .. GapLast lies in no range: it goes in between Prev and Entry.
    UINT32 GapLast = Last;
    if (Entry != Head && RangeOf(Entry)->First - 1 < Last) {
      GapLast = RangeOf(Entry)->First - 1;
    }
    LIST_ENTRY *Prev = Entry->BackLink;
    if (Prev != Head && RangeOf(Prev)->Last + 1 == Cursor && Prev != RrqData->MissingCursor) {
      RangeOf(Prev)->Last = GapLast;
    } else if (Entry != Head && RangeOf(Entry)->First == GapLast + 1) {
      RangeOf(Entry)->First = Cursor;
    } else {
      // A range of its own; after a cursor on Prev it is still searched.
      Zem4MissingRange *Range = NewRange(Cursor, GapLast);
      if (Range == nullptr) {
        Instance->Status = EFI_OUT_OF_RESOURCES;
        Instance->ReceivedBlocks =
            Restored <= Instance->ReceivedBlocks ? Instance->ReceivedBlocks - Restored : 0;
        return EFI_OUT_OF_RESOURCES;
      }
      InsertAfter(Prev, &Range->Link);
    }
    Restored += GapLast - Cursor + 1;
    if (GapLast == Last) {
      break;
    }
    Cursor = GapLast + 1; // the start of Entry, already missing
  }

  Instance->ReceivedBlocks =
      Restored <= Instance->ReceivedBlocks ? Instance->ReceivedBlocks - Restored : 0;
  return EFI_SUCCESS;
}

EFI_STATUS Zem4RrqFreeMissing(Zem4Instance *Instance) {
  LIST_ENTRY *Head = &Instance->RrqData->MissingList;
  while (!IsListEmpty(Head)) {
    LIST_ENTRY *Entry = Head->ForwardLink;
    RemoveEntryList(Entry);
    gBS->FreePool(RangeOf(Entry));
  }
  Instance->RrqData->MissingCursor = Head;
  return EFI_SUCCESS;
}

UINT32 Zem4RrqNextSaveBlock(const Zem4Instance *Instance) {
  return NextSave(Instance->RrqData);
}

EFI_STATUS Zem4RrqSaveBlk(Zem4Instance *Instance, UINT32 FirstBlock, UINT8 *Data, UINT32 Length) {
  Zem4Token *Token = Instance->Token;
  Zem4RrqData *RrqData = Instance->RrqData;
  UINT32 Blocks = BlocksIn(Length);

  if (FirstBlock == 0) {
    return EFI_SUCCESS; // no such block: nothing of the file
  }

  if (Token->Buffer != nullptr && Token->BufferSize != 0) {
    // Every block lands where it belongs in the file.
    UINT64 Offset = MultU64x64((UINT64)(FirstBlock - 1), ZEM4_BLOCK_SIZE);
    if (Offset > Token->BufferSize || Token->BufferSize - Offset < Length) {
      DiagLog(DIAG_ERROR, "Zem4RrqSaveBlk: block %d does not fit in the caller's buffer\n",
              (UINTN)FirstBlock);
      Instance->Status = EFI_BUFFER_TOO_SMALL;
      return EFI_BUFFER_TOO_SMALL;
    }
    if (Length != 0) {
      gBS->CopyMem(static_cast<UINT8 *>(Token->Buffer) + (UINTN)Offset, Data, Length);
    }
  } else if (Zem4RrqIsStream(Instance)) {
    // A stream takes the file strictly in order and every block once.
    UINT32 Next = NextSave(RrqData);
    UINT64 End = (UINT64)FirstBlock + Blocks;
    if (End <= Next) {
      return EFI_SUCCESS;
    }
    if (FirstBlock < Next) {
      UINT32 Skip = (Next - FirstBlock) * ZEM4_BLOCK_SIZE;
      Data += Skip;
      Length -= Skip;
      Blocks -= Next - FirstBlock;
      FirstBlock = Next;
    }
    if (FirstBlock > Next) {
      // Cannot go in order: not kept, asked for again in a later pass.
      UINT32 Last = (End - 1 > ZEM4_LAST_BLOCK_NUMBER) ? ZEM4_LAST_BLOCK_NUMBER : (UINT32)(End - 1);
      return Zem4RrqRestoreMissing(Instance, FirstBlock, Last);
    }
    RrqData->NextSaveBlock = (End > ZEM4_LAST_BLOCK_NUMBER) ? ZEM4_LAST_BLOCK_NUMBER : (UINT32)End;
  } else {
    return EFI_SUCCESS; // nobody takes the data
  }

  if (Token->CheckPacket == nullptr) {
    return EFI_SUCCESS;
  }
  EFI_STATUS Status = Zem4CallCheckPacket(Instance, Length, Data);
  if (Status == ZEM4_TRANSFER_GONE) {
    return Status; // the instance is not ours to touch any more
  }
  if (EFI_ERROR(Status)) {
    DiagLog(DIAG_ERROR, "Zem4RrqSaveBlk: user's check packet returns %r\n", Status);
    Instance->Status = EFI_ABORTED;
    return Status;
  }
  return EFI_SUCCESS;
}

EFI_STATUS Zem4RrqSaveSlots(Zem4Instance *Instance, UINT32 FirstSlot, UINT32 SlotCount,
                            const UINT32 *SlotBlock) {
  UINT8 Order[ZEM4_WINDOW_BLOCKS];
  UINT32 Count = 0;
  if (SlotCount > ZEM4_WINDOW_BLOCKS) {
    SlotCount = ZEM4_WINDOW_BLOCKS;
  }
  for (UINT32 Index = 0; Index < SlotCount; Index++) {
    UINT32 Slot = (FirstSlot + Index) % ZEM4_WINDOW_BLOCKS;
    if (Instance->SlotFilled[Slot] && SlotBlock[Slot] != 0) {
      Order[Count++] = (UINT8)Slot;
    }
  }
  // File order (insertion sort: at most 128 slots, usually already sorted).
  for (UINT32 Index = 1; Index < Count; Index++) {
    UINT8 Slot = Order[Index];
    UINT32 Probe = Index;
    while (Probe > 0 && SlotBlock[Order[Probe - 1]] > SlotBlock[Slot]) {
      Order[Probe] = Order[Probe - 1];
      Probe--;
    }
    Order[Probe] = Slot;
  }

  UINT32 Index = 0;
  while (Index < Count) {
    UINT8 Start = Order[Index];
    UINT32 Length = Instance->SlotLength[Start];
    UINT32 Next = Index + 1;
    // A run: consecutive block numbers in adjacent slots, all but the last full.
    while (Next < Count && SlotBlock[Order[Next]] == SlotBlock[Order[Next - 1]] + 1 &&
           Order[Next] == Order[Next - 1] + 1 &&
           Instance->SlotLength[Order[Next - 1]] == ZEM4_BLOCK_SIZE) {
      Length += Instance->SlotLength[Order[Next]];
      Next++;
    }
    EFI_STATUS Status =
        Zem4RrqSaveBlk(Instance, SlotBlock[Start],
                       Instance->WindowBuffer + (UINTN)Start * ZEM4_BLOCK_SIZE, Length);
    if (EFI_ERROR(Status)) {
      return Status;
    }
    // A block number held twice goes out once.
    UINT32 LastBlock = SlotBlock[Order[Next - 1]];
    while (Next < Count && SlotBlock[Order[Next]] == LastBlock) {
      Next++;
    }
    Index = Next;
  }
  return EFI_SUCCESS;
}
