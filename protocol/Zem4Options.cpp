// Option lists: caller checks, packet splitting, OACK parsing, ParseOptions.
#include "protocol/Zem4Options.h"

#include "support/DiagLog.h"
#include "support/Globals.h"
#include "support/Zem4Tpl.h"
#include "zem4/Zem4.h"
#include "zem4/Zem4Wire.h"

CHAR8 *Zem4SupportedOptions[ZEM4_SUPPORTED_OPTION_COUNT] = {const_cast<CHAR8 *>(ZEM4_OPT_MULTICAST),
                                                            const_cast<CHAR8 *>(ZEM4_OPT_TSIZE)};
CHAR8 *Zem4UnsupportedOptions[ZEM4_UNSUPPORTED_OPTION_COUNT] = {
    const_cast<CHAR8 *>(ZEM4_OPT_RESTART), const_cast<CHAR8 *>(ZEM4_OPT_SESSION)};

namespace {

typedef EFI_STATUS (*Zem4OptionParse)(Zem4NegotiatedOptions *Options, const CHAR8 *Value);
typedef EFI_STATUS (*Zem4OptionCheck)(Zem4NegotiatedOptions *Options);

struct Zem4OptionEntry {
  const CHAR8 *Name;
  Zem4OptionParse Parse;
  Zem4OptionCheck Check;
};

inline BOOLEAN IsDigit(CHAR8 C) {
  return (BOOLEAN)(C >= '0' && C <= '9');
}

inline const CHAR8 *OptName(const Zem4Option *Pair) {
  return Pair->OptionStr;
}
inline const CHAR8 *OptValue(const Zem4Option *Pair) {
  return Pair->ValueStr;
}

// "tsize": one or more digits, nothing else, no overflow.
EFI_STATUS ParseTsize(Zem4NegotiatedOptions *Options, const CHAR8 *Value) {
  UINT64 Size = 0;
  UINTN Digits = 0;
  if (EFI_ERROR(Zem4AsciiToU64(Value, &Size, &Digits)) || Digits == 0 || Value[Digits] != '\0') {
    return EFI_INVALID_PARAMETER;
  }
  Options->Tsize = Size;
  return EFI_SUCCESS;
}

// "multicast": a.b.c.d,port,flag; each field followed by its separator.
EFI_STATUS ParseMulticast(Zem4NegotiatedOptions *Options, const CHAR8 *Value) {
  static const UINT64 Limit[ZEM4_MCAST_FIELDS] = {255, 255, 255, 255, 65535, 1};
  UINT64 Field[ZEM4_MCAST_FIELDS];

  if (!IsDigit(Value[0])) {
    return EFI_INVALID_PARAMETER;
  }
  const CHAR8 *Cursor = Value;
  for (UINT32 Index = 0; Index < ZEM4_MCAST_FIELDS; Index++) {
    UINTN Digits = 0;
    if (EFI_ERROR(Zem4AsciiToU64(Cursor, &Field[Index], &Digits)) || Field[Index] > Limit[Index]) {
      return EFI_INVALID_PARAMETER;
    }
    Cursor += Digits;
    if (*Cursor != ZEM4_MCAST_SEPARATORS[Index]) {
      return EFI_INVALID_PARAMETER;
    }
    Cursor++;
  }
  for (UINT32 Index = 0; Index < 4; Index++) {
    Options->McastIp.Addr[Index] = (UINT8)Field[Index];
  }
  Options->McastPort = (UINT16)Field[4];
  Options->McastRole = (Field[5] == 1) ? MCAST_ROLE_ACTIVE : MCAST_ROLE_PASSIVE;
  return EFI_SUCCESS;
}

EFI_STATUS CheckMulticast(Zem4NegotiatedOptions *Options) {
  return EFI_SUCCESS;
}

// Row k is bit k of OptionsSeen.
const Zem4OptionEntry Zem4OptionTable[] = {
    {ZEM4_OPT_TSIZE, ParseTsize, nullptr},
    {ZEM4_OPT_MULTICAST, ParseMulticast, CheckMulticast},
};
constexpr UINT32 ZEM4_OPTION_TABLE_ROWS = sizeof(Zem4OptionTable) / sizeof(Zem4OptionTable[0]);
constexpr UINT32 ZEM4_MULTICAST_ROW = 1;
static_assert(ZEM4_OPTION_BIT_TSIZE == (1ull << 0) && ZEM4_OPTION_BIT_MULTICAST == (1ull << 1));

// Line numbers the option check has always reported; callers grep for them.
constexpr UINTN ZEM4_CHECK_NULL_PAIR = 498;
constexpr UINTN ZEM4_CHECK_UNSUPPORTED = 504;
constexpr UINTN ZEM4_CHECK_MULTICAST = 514;
constexpr UINTN ZEM4_CHECK_VALUE = 533;

EFI_STATUS CheckFailed(UINTN Number, EFI_STATUS Status) {
  DiagLog(DIAG_ERROR, "%a(%d): %r\n", "Zem4CheckOption", Number, Status);
  return Status;
}

// Scans the pairs in [Start, End). Stores up to Capacity pairs into Pairs
// when given. Stops at the first incomplete pair (EFI_PROTOCOL_ERROR) and
// refuses a 256th pair the same way, so *Count never exceeds 255.
EFI_STATUS ScanPairs(const UINT8 *Start, const UINT8 *End, Zem4Option *Pairs, UINT32 Capacity,
                     UINT32 *Count) {
  const UINT8 *Cursor = Start;
  UINT32 Found = 0;
  while (Cursor != End) {
    const UINT8 *Name = Cursor;
    while (Cursor != End && *Cursor != 0) {
      Cursor++;
    }
    if (Cursor == End) {
      *Count = Found;
      return EFI_PROTOCOL_ERROR;
    }
    Cursor++;
    const UINT8 *Value = Cursor;
    while (Cursor != End && *Cursor != 0) {
      Cursor++;
    }
    if (Cursor == End) {
      *Count = Found;
      return EFI_PROTOCOL_ERROR;
    }
    Cursor++;
    if (Found == ZEM4_MAX_OPTION_PAIRS) {
      *Count = Found;
      return EFI_PROTOCOL_ERROR;
    }
    if (Pairs != nullptr && Found < Capacity) {
      // The pairs point into the caller's packet; nothing is copied.
      Pairs[Found].OptionStr = reinterpret_cast<CHAR8 *>(const_cast<UINT8 *>(Name));
      Pairs[Found].ValueStr = reinterpret_cast<CHAR8 *>(const_cast<UINT8 *>(Value));
    }
    Found++;
  }
  *Count = Found;
  return EFI_SUCCESS;
}

} // namespace

INTN Zem4AsciiStriCmp(const CHAR8 *Left, const CHAR8 *Right) {
  if (Left == nullptr || Right == nullptr) {
    return (Left == Right) ? 0 : 1;
  }
  for (;; Left++, Right++) {
    CHAR8 L = *Left;
    CHAR8 R = *Right;
    if (L >= 'A' && L <= 'Z') {
      L = (CHAR8)(L - 'A' + 'a');
    }
    if (R >= 'A' && R <= 'Z') {
      R = (CHAR8)(R - 'A' + 'a');
    }
    if (L != R) {
      return (INTN)(UINT8)L - (INTN)(UINT8)R;
    }
    if (L == '\0') {
      return 0;
    }
  }
}

EFI_STATUS Zem4AsciiToU64(const CHAR8 *String, UINT64 *Value, UINTN *Digits) {
  UINT64 Result = 0;
  UINTN Count = 0;
  EFI_STATUS Status = EFI_SUCCESS;
  for (; IsDigit(String[Count]); Count++) {
    UINT64 Digit = (UINT64)(String[Count] - '0');
    // Result * 10 + Digit must stay below 2^64; checked without a 64-bit
    // multiply or divide so the IA32 image needs no runtime helper.
    if (Result > 0x1999999999999999ull || (Result == 0x1999999999999999ull && Digit > 5)) {
      Status = EFI_INVALID_PARAMETER;
    }
    Result = (Result << 3) + (Result << 1) + Digit;
  }
  *Value = Result;
  if (Digits != nullptr) {
    *Digits = Count;
  }
  return Status;
}

VOID Zem4ResetNegotiatedOptions(Zem4NegotiatedOptions *Options) {
  Options->Timeout = ZEM4_DEFAULT_TIMEOUT;
  Options->BlockSize = (UINT16)ZEM4_BLOCK_SIZE;
  Options->BlockNumberSize = (UINT16)ZEM4_BLOCK_NUMBER_SIZE;
  Options->McastRole = MCAST_ROLE_UNICAST;
  Options->Tsize = ZEM4_DEFAULT_TSIZE;
  Options->OptionsSeen = 0;
}

EFI_STATUS Zem4CheckOption(Zem4Option *OptionList, UINT32 OptionCount) {
  for (UINT32 Index = 0; Index < OptionCount; Index++) {
    const CHAR8 *Name = OptName(&OptionList[Index]);
    const CHAR8 *Value = OptValue(&OptionList[Index]);
    if (Name == nullptr || Value == nullptr) {
      return CheckFailed(ZEM4_CHECK_NULL_PAIR, EFI_INVALID_PARAMETER);
    }
    if (Zem4AsciiStriCmp(Name, ZEM4_OPT_RESTART) == 0 ||
        Zem4AsciiStriCmp(Name, ZEM4_OPT_SESSION) == 0) {
      return CheckFailed(ZEM4_CHECK_UNSUPPORTED, EFI_UNSUPPORTED);
    }
    if (Zem4AsciiStriCmp(Name, ZEM4_OPT_MULTICAST) == 0 && Zem4AsciiStriCmp(Value, "0") != 0 &&
        Zem4AsciiStriCmp(Value, "1") != 0) {
      return CheckFailed(ZEM4_CHECK_MULTICAST, EFI_INVALID_PARAMETER);
    }
    for (UINT32 Row = 0; Row < ZEM4_OPTION_TABLE_ROWS; Row++) {
      if (Row == ZEM4_MULTICAST_ROW || Zem4AsciiStriCmp(Name, Zem4OptionTable[Row].Name) != 0) {
        continue;
      }
      Zem4NegotiatedOptions Scratch;
      Zem4ResetNegotiatedOptions(&Scratch);
      if (EFI_ERROR(Zem4OptionTable[Row].Parse(&Scratch, Value))) {
        return CheckFailed(ZEM4_CHECK_VALUE, EFI_INVALID_PARAMETER);
      }
    }
  }
  return EFI_SUCCESS;
}

EFI_STATUS Zem4ExtractOptions(const UINT8 *Packet, UINT32 PacketLen, Zem4Option **OptionList,
                              UINT32 *OptionCount) {
  if (OptionList != nullptr) {
    *OptionList = nullptr;
  }
  UINT16 Opcode = 0;
  if (Packet == nullptr || OptionCount == nullptr ||
      !Zem4WireGetOpcode(Packet, PacketLen, &Opcode)) {
    return EFI_INVALID_PARAMETER;
  }

  const UINT8 *End = Packet + PacketLen;
  const UINT8 *Start;
  if (Opcode == ZEM4_OP_RRQ) {
    Start = Packet + ZEM4_RRQ_FILENAME_OFFSET;
    while (Start != End && *Start != 0) {
      Start++;
    }
    if (Start == End) {
      return EFI_INVALID_PARAMETER;
    }
    Start++;
  } else if (Opcode == ZEM4_OP_OACK) {
    Start = Packet + ZEM4_OACK_OPTIONS_OFFSET;
  } else {
    return EFI_INVALID_PARAMETER;
  }

  UINT32 Count = 0;
  EFI_STATUS Status = ScanPairs(Start, End, nullptr, 0, &Count);
  *OptionCount = Count;
  if (Count == 0 || OptionList == nullptr) {
    return Status;
  }

  VOID *Array = nullptr;
  EFI_STATUS AllocStatus =
      gBS->AllocatePool(EfiBootServicesData, (UINTN)Count * sizeof(Zem4Option), &Array);
  if (EFI_ERROR(AllocStatus)) {
    // No list: a count without one would describe pairs nobody can read.
    *OptionCount = 0;
    return AllocStatus;
  }
  UINT32 Stored = 0;
  Status = ScanPairs(Start, End, static_cast<Zem4Option *>(Array), Count, &Stored);
  *OptionList = static_cast<Zem4Option *>(Array);
  *OptionCount = Stored;
  return Status;
}

EFI_STATUS Zem4ParseOack(Zem4NegotiatedOptions *Options, const UINT8 *Packet, UINT32 PacketLen) {
  Zem4Option *Pairs = nullptr;
  UINT32 Count = 0;
  EFI_STATUS Status = Zem4ExtractOptions(Packet, PacketLen, &Pairs, &Count);
  if (EFI_ERROR(Status)) {
    if (Pairs != nullptr) {
      gBS->FreePool(Pairs);
    }
    return EFI_INVALID_PARAMETER;
  }

  Zem4ResetNegotiatedOptions(Options);
  if (Count == 0) {
    return EFI_SUCCESS;
  }

  for (UINT32 Index = 0; Index < Count; Index++) {
    for (UINT32 Row = 0; Row < ZEM4_OPTION_TABLE_ROWS; Row++) {
      if (Zem4AsciiStriCmp(OptName(&Pairs[Index]), Zem4OptionTable[Row].Name) != 0) {
        continue;
      }
      Status = Zem4OptionTable[Row].Parse(Options, OptValue(&Pairs[Index]));
      if (EFI_ERROR(Status)) {
        gBS->FreePool(Pairs);
        return Status;
      }
      Options->OptionsSeen |= (1ull << Row);
      break;
    }
  }

  for (UINT32 Row = 0; Row < ZEM4_OPTION_TABLE_ROWS; Row++) {
    if ((Options->OptionsSeen & (1ull << Row)) != 0 && Zem4OptionTable[Row].Check != nullptr) {
      Status = Zem4OptionTable[Row].Check(Options);
      if (EFI_ERROR(Status)) {
        break;
      }
    }
  }
  gBS->FreePool(Pairs);
  return Status;
}

EFI_STATUS EFIAPI Zem4ParseOptions(Zem4 *This, UINT32 PacketLen, VOID *Packet, UINT32 *OptionCount,
                                   Zem4Option **OptionList) {
  // The list comes from pool memory, which is not to be had above TPL_NOTIFY.
  if (Zem4CalledAbove(TPL_NOTIFY)) {
    return EFI_INVALID_PARAMETER;
  }
  if (PacketLen <= ZEM4_OPCODE_SIZE || Packet == nullptr || OptionCount == nullptr ||
      OptionList == nullptr) {
    DiagLog(DIAG_NOTICE, "Zem4ParseOptions: Parameter invalid.\n");
    DiagLog(DIAG_NOTICE,
            "Zem4ParseOptions: PacketLen %d, Packet %x,OptionCount %x, OptionList %x\n",
            (UINTN)PacketLen, (UINTN)Packet, (UINTN)OptionCount, (UINTN)OptionList);
    return EFI_INVALID_PARAMETER;
  }
  return Zem4ExtractOptions(static_cast<const UINT8 *>(Packet), PacketLen, OptionList, OptionCount);
}
