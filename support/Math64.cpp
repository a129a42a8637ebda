// Only 32-bit multiplies and divides appear here; 64-bit values are handled as
// (high, low) word pairs so that no compiler runtime routine is ever needed.
#include "support/Math64.h"

namespace {

struct Pair {
  UINT32 Hi;
  UINT32 Lo;
};

inline Pair Split(UINT64 Value) {
  return Pair{static_cast<UINT32>(Value >> 32), static_cast<UINT32>(Value)};
}

inline UINT64 Join(Pair Value) {
  return (static_cast<UINT64>(Value.Hi) << 32) | static_cast<UINT64>(Value.Lo);
}

// Full 32 x 32 -> 64 product from 16-bit pieces, each partial product fitting
// in 32 bits.
Pair Mul32x32(UINT32 A, UINT32 B) {
  UINT32 ALo = A & 0xFFFF;
  UINT32 AHi = A >> 16;
  UINT32 BLo = B & 0xFFFF;
  UINT32 BHi = B >> 16;

  UINT32 LoLo = ALo * BLo;
  UINT32 HiLo = AHi * BLo;
  UINT32 LoHi = ALo * BHi;
  UINT32 HiHi = AHi * BHi;

  // Middle column: carries from the low word plus both cross terms' low halves.
  UINT32 Middle = (LoLo >> 16) + (HiLo & 0xFFFF) + (LoHi & 0xFFFF);
  Pair Result;
  Result.Lo = (Middle << 16) | (LoLo & 0xFFFF);
  Result.Hi = HiHi + (HiLo >> 16) + (LoHi >> 16) + (Middle >> 16);
  return Result;
}

inline BOOLEAN Below(Pair A, Pair B) {
  return (A.Hi < B.Hi || (A.Hi == B.Hi && A.Lo < B.Lo)) ? TRUE : FALSE;
}

inline Pair Subtract(Pair A, Pair B) {
  Pair Result;
  Result.Lo = A.Lo - B.Lo;
  Result.Hi = A.Hi - B.Hi - (A.Lo < B.Lo ? 1u : 0u);
  return Result;
}

inline Pair ShiftLeftOne(Pair A) {
  return Pair{(A.Hi << 1) | (A.Lo >> 31), A.Lo << 1};
}

inline UINT32 BitAt(Pair A, UINT32 Bit) {
  return Bit >= 32 ? (A.Hi >> (Bit - 32)) & 1u : (A.Lo >> Bit) & 1u;
}

inline UINT32 HighestBit(Pair A) {
  UINT32 Word = A.Hi != 0 ? A.Hi : A.Lo;
  UINT32 Bit = A.Hi != 0 ? 32u : 0u;
  while (Word >>= 1) {
    Bit++;
  }
  return Bit;
}

} // namespace

UINT64 MultU64x64(UINT64 Multiplicand, UINT64 Multiplier) {
  Pair A = Split(Multiplicand);
  Pair B = Split(Multiplier);
  Pair Result = Mul32x32(A.Lo, B.Lo);
  // The cross terms only reach the high word; their own high halves overflow.
  Result.Hi += A.Lo * B.Hi + A.Hi * B.Lo;
  return Join(Result);
}

UINT64 DivU64x64Remainder(UINT64 Dividend, UINT64 Divisor, UINT64 *Remainder) {
  Pair N = Split(Dividend);
  Pair D = Split(Divisor);

  if (D.Hi == 0 && D.Lo == 0) {
    if (Remainder != nullptr) {
      *Remainder = Dividend;
    }
    return 0;
  }

  if (N.Hi == 0 && D.Hi == 0) {
    if (Remainder != nullptr) {
      *Remainder = N.Lo % D.Lo;
    }
    return N.Lo / D.Lo;
  }

  // Restoring binary long division from the dividend's highest set bit.
  Pair Quotient = {0, 0};
  Pair Rest = {0, 0};
  if (!Below(N, D)) {
    for (INT32 Bit = static_cast<INT32>(HighestBit(N)); Bit >= 0; Bit--) {
      // Rest never exceeds the dividend bits taken so far, so the shift
      // cannot overflow.
      Rest = ShiftLeftOne(Rest);
      Rest.Lo |= BitAt(N, static_cast<UINT32>(Bit));
      Quotient = ShiftLeftOne(Quotient);
      if (!Below(Rest, D)) {
        Rest = Subtract(Rest, D);
        Quotient.Lo |= 1u;
      }
    }
  } else {
    Rest = N;
  }

  if (Remainder != nullptr) {
    *Remainder = Join(Rest);
  }
  return Join(Quotient);
}
