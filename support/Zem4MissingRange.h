// One entry of a download's missing-block list: an inclusive range of block
// numbers that have not arrived. Here, below the modes that keep the list,
// because the RPL builder of transport/ reads it too.
#ifndef ZEM4_SUPPORT_MISSING_RANGE_H
#define ZEM4_SUPPORT_MISSING_RANGE_H

#include "efi/Uefi.h"
#include "support/List.h"

struct Zem4MissingRange {
  UINT32 First; // inclusive
  UINT32 Last;  // inclusive
  LIST_ENTRY Link;
};

#endif
