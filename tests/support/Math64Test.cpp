#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "support/Math64.h"

namespace {

// Values at the word boundaries and the extremes, where carries and the
// restoring division's overflow bit matter.
std::vector<UINT64> EdgeValues() {
  return {0ull,
          1ull,
          2ull,
          3ull,
          10ull,
          0xFFFFull,
          0x10000ull,
          0xFFFFFFFFull,
          0x100000000ull,
          0x100000001ull,
          0x1FFFFFFFFull,
          0x7FFFFFFFFFFFFFFFull,
          0x8000000000000000ull,
          0x8000000000000001ull,
          0xFFFFFFFF00000000ull,
          0xFFFFFFFFFFFFFFFEull,
          0xFFFFFFFFFFFFFFFFull,
          1000000007ull,
          0x123456789ABCDEF0ull};
}

// Random values of every bit length, so both the 32-bit fast path and the
// long division run.
std::vector<UINT64> RandomValues(size_t Count) {
  std::mt19937_64 Rng(20261207);
  std::vector<UINT64> Values;
  for (size_t Index = 0; Index < Count; Index++) {
    UINT64 Raw = Rng();
    Values.push_back(Raw >> (Rng() % 64));
  }
  return Values;
}

TEST(Math64, MultiplyMatchesNativeOnEdgesAndRandomValues) {
  std::vector<UINT64> Values = EdgeValues();
  std::vector<UINT64> More = RandomValues(400);
  Values.insert(Values.end(), More.begin(), More.end());
  for (UINT64 A : Values) {
    for (UINT64 B : Values) {
      unsigned __int128 Wide = static_cast<unsigned __int128>(A) * B;
      ASSERT_EQ(MultU64x64(A, B), static_cast<UINT64>(Wide)) << A << " * " << B;
    }
  }
}

TEST(Math64, MultiplyUsesTheHighWords) {
  EXPECT_EQ(MultU64x64(0x100000000ull, 0x100000000ull), 0ull); // 2^64 wraps
  EXPECT_EQ(MultU64x64(0xFFFFFFFFull, 0xFFFFFFFFull), 0xFFFFFFFE00000001ull);
  EXPECT_EQ(MultU64x64(0x123456789ull, 1000ull), 0x123456789ull * 1000ull);
  EXPECT_EQ(MultU64x64(0xFFFFFFFFFFFFFFFFull, 0xFFFFFFFFFFFFFFFFull), 1ull);
}

TEST(Math64, DivideMatchesNativeOnEdgesAndRandomValues) {
  std::vector<UINT64> Values = EdgeValues();
  std::vector<UINT64> More = RandomValues(400);
  Values.insert(Values.end(), More.begin(), More.end());
  for (UINT64 N : Values) {
    for (UINT64 D : Values) {
      if (D == 0) {
        continue;
      }
      UINT64 Remainder = 0xDEADBEEF;
      UINT64 Quotient = DivU64x64Remainder(N, D, &Remainder);
      ASSERT_EQ(Quotient, N / D) << N << " / " << D;
      ASSERT_EQ(Remainder, N % D) << N << " % " << D;
    }
  }
}

TEST(Math64, DivideByDivisorsWithTheTopBitSet) {
  // The partial remainder reaches the full 64 bits only on the last step.
  UINT64 Remainder = 0;
  EXPECT_EQ(DivU64x64Remainder(0xFFFFFFFFFFFFFFFFull, 0x8000000000000001ull, &Remainder), 1ull);
  EXPECT_EQ(Remainder, 0x7FFFFFFFFFFFFFFEull);
  EXPECT_EQ(DivU64x64Remainder(0xFFFFFFFFFFFFFFFFull, 0xC000000000000000ull, &Remainder), 1ull);
  EXPECT_EQ(Remainder, 0x3FFFFFFFFFFFFFFFull);
}

TEST(Math64, DivideWithoutRemainderPointerAndByZero) {
  EXPECT_EQ(DivU64x64Remainder(0x500000000ull, 0x100000000ull, nullptr), 5ull);
  EXPECT_EQ(DivU64x64Remainder(1000, 7, nullptr), 142ull);

  UINT64 Remainder = 0;
  EXPECT_EQ(DivU64x64Remainder(0x123456789ull, 0, &Remainder), 0ull);
  EXPECT_EQ(Remainder, 0x123456789ull);
  EXPECT_EQ(DivU64x64Remainder(77, 0, nullptr), 0ull);
}

} // namespace
