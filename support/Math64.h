// 64-bit multiply and divide built from 32-bit operations only, so that the
// IA32 image needs no compiler runtime helper.
#ifndef ZEM4_SUPPORT_MATH64_H
#define ZEM4_SUPPORT_MATH64_H

#include "efi/UefiBase.h"

// Low 64 bits of the product.
UINT64 MultU64x64(UINT64 Multiplicand, UINT64 Multiplier);

// Quotient of Dividend / Divisor; the remainder is stored when Remainder is
// not NULL. A zero Divisor yields 0 with the remainder equal to Dividend.
UINT64 DivU64x64Remainder(UINT64 Dividend, UINT64 Divisor, UINT64 *Remainder);

#endif
