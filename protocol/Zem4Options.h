// Option lists: the check of the caller's options, the splitting of request
// and OACK packets into pairs, the negotiated values and the ParseOptions
// operation of the Zem4 protocol.
#ifndef ZEM4_OPTIONS_H_
#define ZEM4_OPTIONS_H_

#include "efi/Uefi.h"

struct Zem4Option;
struct Zem4;

// McastRole values.
#define MCAST_ROLE_UNICAST 1u
#define MCAST_ROLE_ACTIVE 2u
#define MCAST_ROLE_PASSIVE 3u

// Bits of OptionsSeen (bit k is row k of the option table).
#define ZEM4_OPTION_BIT_TSIZE 0x1ull
#define ZEM4_OPTION_BIT_MULTICAST 0x2ull

// What the last OACK said; one per instance.
struct Zem4NegotiatedOptions {
  UINT16 Timeout;         // seconds
  UINT16 BlockSize;       // 1032
  UINT16 BlockNumberSize; // 4
  UINT32 McastRole;       // MCAST_ROLE_*
  EFI_IPv4_ADDRESS McastIp;
  UINT16 McastPort; // host order
  UINT64 Tsize;
  UINT64 OptionsSeen;
};

// The two name lists GetModeData reports (two entries each).
#define ZEM4_SUPPORTED_OPTION_COUNT 2
#define ZEM4_UNSUPPORTED_OPTION_COUNT 2
extern CHAR8 *Zem4SupportedOptions[ZEM4_SUPPORTED_OPTION_COUNT];
extern CHAR8 *Zem4UnsupportedOptions[ZEM4_UNSUPPORTED_OPTION_COUNT];

// Case-insensitive ('A'-'Z' only) equality: 0 when equal. Two NULLs are equal.
INTN Zem4AsciiStriCmp(const CHAR8 *Left, const CHAR8 *Right);

// Decimal digits at String into *Value; returns EFI_INVALID_PARAMETER when
// the value does not fit in 64 bits. *Digits (optional) receives the count of
// digits consumed. An empty run yields 0.
EFI_STATUS Zem4AsciiToU64(const CHAR8 *String, UINT64 *Value, UINTN *Digits);

// Resets Timeout, BlockSize, BlockNumberSize, McastRole, Tsize, OptionsSeen;
// McastIp and McastPort keep what they held.
VOID Zem4ResetNegotiatedOptions(Zem4NegotiatedOptions *Options);

// The caller's list, before anything is sent.
EFI_STATUS Zem4CheckOption(Zem4Option *OptionList, UINT32 OptionCount);

// Splits a request (opcode 1) or OACK (opcode 6). With OptionList given, the
// pair array is allocated from pool and belongs to the caller (also on
// EFI_PROTOCOL_ERROR, where it holds the complete pairs before the fault).
// More than 255 pairs: EFI_PROTOCOL_ERROR with the first 255 (the 256th is
// treated like an incomplete pair). A failed allocation leaves list NULL and
// count 0.
EFI_STATUS Zem4ExtractOptions(const UINT8 *Packet, UINT32 PacketLen, Zem4Option **OptionList,
                              UINT32 *OptionCount);

// Resets Options to its defaults and applies the OACK's known options.
EFI_STATUS Zem4ParseOack(Zem4NegotiatedOptions *Options, const UINT8 *Packet, UINT32 PacketLen);

// The ParseOptions slot of the Zem4 protocol. This is not examined; the pair
// array comes from pool and the caller frees it (also on EFI_PROTOCOL_ERROR).
EFI_STATUS EFIAPI Zem4ParseOptions(Zem4 *This, UINT32 PacketLen, VOID *Packet, UINT32 *OptionCount,
                                   Zem4Option **OptionList);

#endif // ZEM4_OPTIONS_H_
