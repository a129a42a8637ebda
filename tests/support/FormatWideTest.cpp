#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "efi/Uefi.h"
#include "support/FormatWide.h"

namespace {

constexpr CHAR16 Guard = 0xBEEF;
constexpr size_t GuardSlots = 32;

struct Result {
  std::u16string Text;
  UINTN Count;
};

// Formats into Capacity slots followed by a guard zone; fails the test if any
// slot past the capacity changed or the output is unterminated.
template <typename... Args> Result Format(UINTN Capacity, const CHAR16 *Fmt, Args... Arguments) {
  std::vector<CHAR16> Buffer(Capacity + GuardSlots, Guard);
  UINTN Count = FormatWideArgs(Buffer.data(), Capacity, Fmt, Arguments...);
  for (size_t Index = Capacity; Index < Buffer.size(); Index++) {
    EXPECT_EQ(Buffer[Index], Guard) << "write past capacity at " << Index;
  }
  Result Out{std::u16string(), Count};
  if (Capacity == 0) {
    return Out;
  }
  size_t Length = 0;
  while (Length < Capacity && Buffer[Length] != 0) {
    Length++;
  }
  EXPECT_LT(Length, Capacity) << "unterminated output";
  Out.Text.assign(Buffer.data(), Length);
  EXPECT_EQ(Count, Length + 1) << "count is characters plus terminator";
  return Out;
}

template <typename... Args> std::u16string F(const CHAR16 *Fmt, Args... Arguments) {
  return Format(320, Fmt, Arguments...).Text;
}

UINTN W(UINTN Value) {
  return Value;
}
UINTN Signed(INTN Value) {
  return static_cast<UINTN>(Value);
}

TEST(FormatWide, LineFeedBecomesCarriageReturnLineFeed) {
  Result Out = Format(320, u"x\n");
  EXPECT_EQ(Out.Text, u"x\r\n");
  EXPECT_EQ(Out.Count, 4u);
  EXPECT_EQ(F(u"\n\nab\n"), u"\r\n\r\nab\r\n");
  EXPECT_EQ(F(u"a\rb"), u"a\rb"); // a lone CR is copied as it is
}

TEST(FormatWide, DecimalSignedWithWidthAndPadding) {
  EXPECT_EQ(F(u"%d", W(0)), u"0");
  EXPECT_EQ(F(u"%d", W(42)), u"42");
  EXPECT_EQ(F(u"%d", Signed(-42)), u"-42");
  EXPECT_EQ(F(u"[%5d]", W(42)), u"[   42]");
  EXPECT_EQ(F(u"[%05d]", W(42)), u"[00042]");
  EXPECT_EQ(F(u"[%05d]", Signed(-42)), u"[-0042]");
  EXPECT_EQ(F(u"[%5d]", Signed(-42)), u"[  -42]");
  EXPECT_EQ(F(u"[%2d]", W(12345)), u"[12345]"); // never cut to the width
  EXPECT_EQ(F(u"[%0d]", W(7)), u"[7]");
  EXPECT_EQ(F(u"%d", Signed(INTPTR_MIN)),
            sizeof(UINTN) == 8 ? u"-9223372036854775808" : u"-2147483648");
  EXPECT_EQ(F(u"%d", Signed(INTPTR_MAX)),
            sizeof(UINTN) == 8 ? u"9223372036854775807" : u"2147483647");
}

TEST(FormatWide, LongModifierReadsSixtyFourBits) {
  EXPECT_EQ(F(u"%ld|%d", static_cast<long long>(INT64_MIN), W(5)), u"-9223372036854775808|5");
  EXPECT_EQ(F(u"%Ld", 1234567890123456789ll), u"1234567890123456789");
  EXPECT_EQ(F(u"%lx|%x", 0x123456789ABCDEF0ull, W(0xAB)), u"123456789ABCDEF0|AB");
  EXPECT_EQ(F(u"%lX", 0xFull), u"000000000000000F");
  EXPECT_EQ(F(u"%ld", 18446744073709551615ull), u"-1");
}

TEST(FormatWide, HexUpperCaseWithoutPrefix) {
  EXPECT_EQ(F(u"%x", W(0)), u"0");
  EXPECT_EQ(F(u"%x", W(0xabcdef)), u"ABCDEF");
  EXPECT_EQ(F(u"[%08x]", W(0xabc)), u"[00000ABC]");
  EXPECT_EQ(F(u"[%8x]", W(0xabc)), u"[     ABC]");
  EXPECT_EQ(F(u"%x", W(UINTPTR_MAX)), sizeof(UINTN) == 8 ? u"FFFFFFFFFFFFFFFF" : u"FFFFFFFF");
}

TEST(FormatWide, BigXIsSixteenZeroPaddedDigits) {
  EXPECT_EQ(F(u"%X", W(0x1F)), u"000000000000001F");
  EXPECT_EQ(F(u"%X", W(0)), u"0000000000000000");
  EXPECT_EQ(F(u"%4X", W(0x1F)), u"000000000000001F"); // the width of X is fixed
}

TEST(FormatWide, WideAndNarrowStringsWithNullAndRightPadding) {
  EXPECT_EQ(F(u"%s|%S", u"wide", u"WIDE"), u"wide|WIDE");
  EXPECT_EQ(F(u"%s", static_cast<const CHAR16 *>(nullptr)), u"<null string>");
  EXPECT_EQ(F(u"%a", "narrow"), u"narrow");
  EXPECT_EQ(F(u"%a", static_cast<const CHAR8 *>(nullptr)), u"<null string>");
  EXPECT_EQ(F(u"[%6a]", "ab"), u"[ab    ]");
  EXPECT_EQ(F(u"[%6s]", u"ab"), u"[ab    ]");
  EXPECT_EQ(F(u"[%1a]", "abc"), u"[abc]");
  EXPECT_EQ(F(u"[%a]", ""), u"[]");
  // Bytes are zero-extended, not sign-extended or converted.
  EXPECT_EQ(F(u"%a", "\xE9\xFF"), std::u16string(u"\u00E9\u00FF"));
}

TEST(FormatWide, CharacterTakesTheLowSixteenBits) {
  EXPECT_EQ(F(u"%c", W('A')), u"A");
  EXPECT_EQ(F(u"%c", W(0x10042)), u"B");
  EXPECT_EQ(F(u"%c", W(0x263A)), std::u16string(u"\u263A"));
}

TEST(FormatWide, GuidAndTime) {
  EXPECT_EQ(F(u"%g", &gEfiDebugMessageProtocolGuid), u"5B1B31A2-9563-11D3-8F3F-00A0C969723C");
  EXPECT_EQ(F(u"%g", &gEfiLoadedImageDevicePathProtocolGuid),
            u"BC62157E-3E33-4FEC-9920-2D3B36D750DF");
  EXPECT_EQ(F(u"[%g]", static_cast<const EFI_GUID *>(nullptr)), u"[]");

  EFI_TIME Time{};
  Time.Year = 2026;
  Time.Month = 12;
  Time.Day = 7;
  Time.Hour = 8;
  Time.Minute = 5;
  Time.Second = 59;
  EXPECT_EQ(F(u"%t", &Time), u"12/07/2026  08:05");
  Time.Year = 999;
  Time.Month = 1;
  EXPECT_EQ(F(u"%t", &Time), u"01/07/0999  08:05");
  EXPECT_EQ(F(u"[%t]", static_cast<const EFI_TIME *>(nullptr)), u"[]");
}

TEST(FormatWide, StatusNamesForEveryTableRow) {
  struct Row {
    EFI_STATUS Status;
    const CHAR16 *Text;
  };
  const Row Rows[] = {
      {EFI_SUCCESS, u"Success"},
      {EFI_LOAD_ERROR, u"Load Error"},
      {EFI_INVALID_PARAMETER, u"Invalid Parameter"},
      {EFI_UNSUPPORTED, u"Unsupported"},
      {EFI_BAD_BUFFER_SIZE, u"Bad Buffer Size"},
      {EFI_BUFFER_TOO_SMALL, u"Buffer Too Small"},
      {EFI_NOT_READY, u"Not Ready"},
      {EFI_DEVICE_ERROR, u"Device Error"},
      {EFI_WRITE_PROTECTED, u"Write Protected"},
      {EFI_OUT_OF_RESOURCES, u"Out of Resources"},
      {EFI_VOLUME_CORRUPTED, u"Volume Corrupt"},
      {EFI_VOLUME_FULL, u"Volume Full"},
      {EFI_NO_MEDIA, u"No Media"},
      {EFI_MEDIA_CHANGED, u"Media changed"},
      {EFI_NOT_FOUND, u"Not Found"},
      {EFI_ACCESS_DENIED, u"Access Denied"},
      {EFI_NO_RESPONSE, u"No Response"},
      {EFI_NO_MAPPING, u"No mapping"},
      {EFI_TIMEOUT, u"Time out"},
      {EFI_NOT_STARTED, u"Not started"},
      {EFI_ALREADY_STARTED, u"Already started"},
      {EFI_ABORTED, u"Aborted"},
      {EFI_ICMP_ERROR, u"ICMP Error"},
      {EFI_TFTP_ERROR, u"TFTP Error"},
      {EFI_PROTOCOL_ERROR, u"Protocol Error"},
      {EFI_WARN_UNKNOWN_GLYPH, u"Warning Unknown Glyph"},
      {EFI_WARN_DELETE_FAILURE, u"Warning Delete Failure"},
      {EFI_WARN_WRITE_FAILURE, u"Warning Write Failure"},
      {EFI_WARN_BUFFER_TOO_SMALL, u"Warning Buffer Too Small"},
  };
  for (const Row &Entry : Rows) {
    EXPECT_EQ(F(u"%r", Entry.Status), Entry.Text) << std::hex << Entry.Status;
  }
  // The native error bit is the top bit of the machine word.
  EXPECT_EQ(EFI_INVALID_PARAMETER, (static_cast<UINTN>(1) << (sizeof(UINTN) * 8 - 1)) | 2);
}

TEST(FormatWide, UnknownStatusIsSixteenHexDigits) {
  const bool Wide = sizeof(UINTN) == 8;
  EXPECT_EQ(F(u"%r", EFIERR(25)), Wide ? u"8000000000000019" : u"0000000080000019");
  EXPECT_EQ(F(u"%r", EFI_WARN_STALE_DATA), u"0000000000000005");
  // The table's end row has no text: the bare error bit is unknown too.
  EXPECT_EQ(F(u"%r", EFI_ERROR_BIT), Wide ? u"8000000000000000" : u"0000000080000000");
  // The IA32 spelling of a code is not the native one on a 64-bit build.
  if (Wide) {
    EXPECT_EQ(F(u"%r", W(0x80000002)), u"0000000080000002");
  }
  EXPECT_EQ(StatusName(EFIERR(24)), std::string("Protocol Error"));
  EXPECT_EQ(StatusName(EFIERR(25)), nullptr);
}

TEST(FormatWide, CompositeRoutineLineStatus) {
  EXPECT_EQ(F(u"%a(%d): %r\n", "Zem4CheckOption", W(123), EFI_INVALID_PARAMETER),
            u"Zem4CheckOption(123): Invalid Parameter\r\n");
}

TEST(FormatWide, FlagsAreAcceptedAndOtherCharactersCopied) {
  EXPECT_EQ(F(u"[%-5d][%+d][% d][%,d]", W(42), W(7), W(8), W(1000)), u"[   42][7][8][1000]");
  EXPECT_EQ(F(u"100%%"), u"100%");
  EXPECT_EQ(F(u"%q%5z"), u"qz");
  EXPECT_EQ(F(u"[%*d]", W(6), W(42)), u"[    42]");
  EXPECT_EQ(F(u"[%0*d]", W(4), W(42)), u"[0042]");
  // A directive cut short by the end of the format stops there.
  EXPECT_EQ(F(u"abc%"), u"abc");
  EXPECT_EQ(F(u"abc%l"), u"abc");
  EXPECT_EQ(F(u"abc%05"), u"abc");
}

TEST(FormatWide, ArgumentsAreConsumedOnePerDirective) {
  // Each directive takes exactly its words; a miscount shifts what follows.
  EXPECT_EQ(F(u"%d %x %a %r %ld %c %s %d", W(1), W(0x2), "three", EFI_ABORTED, 5ll, W('6'),
              u"seven", W(8)),
            u"1 2 three Aborted 5 6 seven 8");
  EXPECT_EQ(F(u"%*a|%d", W(4), "x", W(9)), u"x   |9");
}

TEST(FormatWide, OutputIsCutAtCapacityAndTerminated) {
  EXPECT_EQ(Format(5, u"abcdefgh").Text, u"abcd");
  EXPECT_EQ(Format(5, u"abcdefgh").Count, 5u);
  EXPECT_EQ(Format(1, u"abc").Text, u"");
  EXPECT_EQ(Format(1, u"abc").Count, 1u);

  // Capacity 0: nothing is written at all.
  CHAR16 Untouched[2] = {Guard, Guard};
  EXPECT_EQ(FormatWideArgs(Untouched, 0, u"abc"), 0u);
  EXPECT_EQ(Untouched[0], Guard);
}

TEST(FormatWide, NoDirectiveRunsPastTheBuffer) {
  // Every kind of multi-character output, started one slot before the end.
  EXPECT_EQ(Format(3, u"a\n").Text, u"a\r");
  EXPECT_EQ(Format(4, u"ab%r", EFI_INVALID_PARAMETER).Text, u"abI");
  EXPECT_EQ(Format(4, u"ab%r", EFIERR(99)).Text, sizeof(UINTN) == 8 ? u"ab8" : u"ab0");
  EXPECT_EQ(Format(4, u"ab%a", "long text").Text, u"abl");
  EXPECT_EQ(Format(4, u"ab%s", u"long text").Text, u"abl");
  EXPECT_EQ(Format(4, u"ab%a", static_cast<const CHAR8 *>(nullptr)).Text, u"ab<");
  EXPECT_EQ(Format(4, u"ab%10d", W(5)).Text, u"ab ");
  EXPECT_EQ(Format(4, u"ab%010d", W(5)).Text, u"ab0");
  EXPECT_EQ(Format(4, u"ab%-9a", "").Text, u"ab ");
  EXPECT_EQ(Format(4, u"ab%X", W(5)).Text, u"ab0");
  EXPECT_EQ(Format(4, u"ab%g", &gEfiUdp4ProtocolGuid).Text, u"ab3");
  EXPECT_EQ(Format(5, u"ab%d", Signed(-123)).Text, u"ab-1");
  EXPECT_EQ(Format(8, u"%*d", W(UINTPTR_MAX), W(1)).Text, u"       ");
  EXPECT_EQ(Format(8, u"%999999999999999999999d", W(1)).Text, u"       ");
  EXPECT_EQ(Format(8, u"%t", &gEfiUdp4ProtocolGuid).Count, 8u);
}

TEST(FormatWide, EmptyAndNullFormats) {
  EXPECT_EQ(Format(4, u"").Text, u"");
  EXPECT_EQ(Format(4, u"").Count, 1u);
  EXPECT_EQ(Format(4, static_cast<const CHAR16 *>(nullptr)).Count, 1u);
}

} // namespace
