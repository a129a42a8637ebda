// The missing-block list of a download and the hand-over of file data to the
// caller (block saving).
//
// MissingList (in Zem4RrqData) is an ascending list of disjoint inclusive
// ranges of block numbers that have not arrived; it starts as 1..0xFFFFFFFF.
// MissingCursor designates the list head or one entry's Link.
//
// Block saving always knows where a run belongs in the file:
//  - a caller with Buffer and BufferSize gets block b at offset (b - 1) * 1032;
//    a block that does not fit ends the transfer with EFI_BUFFER_TOO_SMALL;
//  - a caller with only CheckPacket receives the file strictly in order; a run
//    that does not start where the previous one ended is not handed over and
//    its blocks go back into the missing-block list for a later pass;
//  - no block is handed over twice;
//  - CheckPacket, when given, is called for every run and may refuse it.
#ifndef ZEM4_MISSING_H_
#define ZEM4_MISSING_H_

#include "efi/Uefi.h"
#include "support/List.h"
#include "support/Zem4MissingRange.h"

struct Zem4Instance;
struct Zem4RrqData;

// Download start: MissingList = {1..0xFFFFFFFF}, MissingCursor = the head,
// the in-order hand-over point = block 1. EFI_OUT_OF_RESOURCES (list left
// empty and valid) when the first range cannot be allocated.
EFI_STATUS Zem4RrqCreateMissing(Zem4RrqData *RrqData);

// Takes Number out of the list, searching from the first entry; the cursor is
// neither read nor moved. Active mode.
EFI_STATUS Zem4RrqSaveLostBlk(Zem4Instance *Instance, UINT32 Number, BOOLEAN *WasMissing);

// The same, searching from the entry after MissingCursor only, and moving the
// cursor. Passive mode.
EFI_STATUS Zem4RrqSaveLostBlkAtCursor(Zem4Instance *Instance, UINT32 Number, BOOLEAN *WasMissing);

// Puts First..Last back into the list (blocks that were taken out but could
// not be kept); ReceivedBlocks goes down by the blocks that were not missing.
// The cursor keeps designating the same entry.
EFI_STATUS Zem4RrqRestoreMissing(Zem4Instance *Instance, UINT32 First, UINT32 Last);

// Frees every entry; the list is left empty.
EFI_STATUS Zem4RrqFreeMissing(Zem4Instance *Instance);

// Hands Length bytes at Data, the run of blocks FirstBlock, FirstBlock + 1,
// ... (every block but the last one 1032 bytes), to the caller. A run of
// Length 0 is the empty last block FirstBlock.
//  EFI_SUCCESS            handed over, or dropped by the rules above;
//  EFI_BUFFER_TOO_SMALL   a block does not fit the caller's Buffer
//                         (Status = EFI_BUFFER_TOO_SMALL);
//  CheckPacket's error    the caller refused (logged, Status = EFI_ABORTED);
//  ZEM4_TRANSFER_GONE     the transfer ended inside CheckPacket: touch nothing.
// Hand over only blocks that were still missing when they arrived (the
// WasMissing of the list update); a stream is protected against repeats
// anyway, a Buffer caller's CheckPacket is not.
EFI_STATUS Zem4RrqSaveBlk(Zem4Instance *Instance, UINT32 FirstBlock, UINT8 *Data, UINT32 Length);

// Flushes window slots: the filled slots among SlotCount slots starting at
// FirstSlot (ring of 128) are handed over in file order, as runs of
// consecutive block numbers held in adjacent slots. SlotBlock[i] is the block
// number in slot i; 0 marks a slot that is filled for ordering only and holds
// nothing to hand over (a block that was no longer missing). Stops at the
// first failure and returns it (ZEM4_TRANSFER_GONE included). The slots are
// not cleared here.
EFI_STATUS Zem4RrqSaveSlots(Zem4Instance *Instance, UINT32 FirstSlot, UINT32 SlotCount,
                            const UINT32 *SlotBlock);

// Next block the caller expects in order (streaming callers); 1 at start.
UINT32 Zem4RrqNextSaveBlock(const Zem4Instance *Instance);

#endif // ZEM4_MISSING_H_
