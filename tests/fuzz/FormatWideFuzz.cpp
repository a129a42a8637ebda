// Fuzzes FormatWide: any format, any argument words, any small capacity must
// leave everything outside the buffer untouched and end the output with a
// terminator. Pointer directives get pointers to strings and records this
// harness owns; every other argument is a raw input word.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "efi/Uefi.h"
#include "support/FormatWide.h"

namespace {

constexpr size_t Slots = 24;
constexpr size_t GuardChars = 64;
constexpr CHAR16 GuardValue = 0xA5C3;

enum class Kind { Number, WideString, NarrowString, Guid, Time };

struct Reader {
  const uint8_t *Data;
  size_t Size;
  size_t Offset = 0;

  uint8_t Byte() { return Offset < Size ? Data[Offset++] : 0; }
  UINTN Word() {
    UINTN Value = 0;
    for (size_t Index = 0; Index < sizeof(UINTN); Index++) {
      Value = (Value << 8) | Byte();
    }
    return Value;
  }
};

// Which argument each directive reads, following the formatter's grammar.
// The format is cut where it would need more than Slots arguments.
std::vector<Kind> ScanArguments(std::vector<CHAR16> &Format) {
  std::vector<Kind> Kinds;
  size_t Index = 0;
  while (Format[Index] != 0) {
    size_t Start = Index;
    if (Format[Index++] != u'%') {
      continue;
    }
    std::vector<Kind> Directive;
    for (;; Index++) {
      CHAR16 Char = Format[Index];
      if (Char == u'-' || Char == u'+' || Char == u' ' || Char == u',' || Char == u'l' ||
          Char == u'L' || (Char >= u'0' && Char <= u'9')) {
        continue;
      }
      if (Char == u'*') {
        Directive.push_back(Kind::Number);
        continue;
      }
      break;
    }
    switch (Format[Index]) {
    case u's':
    case u'S':
      Directive.push_back(Kind::WideString);
      break;
    case u'a':
      Directive.push_back(Kind::NarrowString);
      break;
    case u'g':
      Directive.push_back(Kind::Guid);
      break;
    case u't':
      Directive.push_back(Kind::Time);
      break;
    case u'c':
    case u'x':
    case u'X':
    case u'd':
    case u'r':
      Directive.push_back(Kind::Number);
      break;
    default:
      break;
    }
    if (Kinds.size() + Directive.size() > Slots) {
      Format[Start] = 0;
      break;
    }
    Kinds.insert(Kinds.end(), Directive.begin(), Directive.end());
    if (Format[Index] != 0) {
      Index++;
    }
  }
  return Kinds;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  Reader In{Data, Size};
  const UINTN Capacity = In.Byte() % 48;
  const size_t FormatLength = In.Byte();

  // Exactly sized heap copies, so any read past their ends is caught too.
  std::vector<CHAR16> Format;
  for (size_t Index = 0; Index < FormatLength; Index++) {
    Format.push_back(static_cast<CHAR16>(In.Byte()));
  }
  Format.push_back(0);
  std::vector<Kind> Kinds = ScanArguments(Format);

  const size_t TextLength = In.Byte() % 80;
  std::vector<CHAR16> Wide;
  std::vector<CHAR8> Narrow;
  for (size_t Index = 0; Index < TextLength; Index++) {
    uint8_t Byte = In.Byte();
    Wide.push_back(Byte == 0 ? u'.' : static_cast<CHAR16>(Byte | (Byte << 8)));
    Narrow.push_back(Byte == 0 ? '.' : static_cast<CHAR8>(Byte));
  }
  Wide.push_back(0);
  Narrow.push_back(0);
  EFI_GUID *Guid = static_cast<EFI_GUID *>(std::malloc(sizeof(EFI_GUID)));
  EFI_TIME *Time = static_cast<EFI_TIME *>(std::malloc(sizeof(EFI_TIME)));
  for (size_t Index = 0; Index < sizeof(EFI_GUID); Index++) {
    reinterpret_cast<uint8_t *>(Guid)[Index] = In.Byte();
  }
  for (size_t Index = 0; Index < sizeof(EFI_TIME); Index++) {
    reinterpret_cast<uint8_t *>(Time)[Index] = In.Byte();
  }

  UINTN Arguments[Slots] = {};
  for (size_t Index = 0; Index < Kinds.size(); Index++) {
    UINTN Word = In.Word();
    bool Null = (Word & 3) == 0; // a quarter of the pointers are null
    switch (Kinds[Index]) {
    case Kind::Number:
      Arguments[Index] = Word;
      break;
    case Kind::WideString:
      Arguments[Index] = Null ? 0 : reinterpret_cast<UINTN>(Wide.data());
      break;
    case Kind::NarrowString:
      Arguments[Index] = Null ? 0 : reinterpret_cast<UINTN>(Narrow.data());
      break;
    case Kind::Guid:
      Arguments[Index] = Null ? 0 : reinterpret_cast<UINTN>(Guid);
      break;
    case Kind::Time:
      Arguments[Index] = Null ? 0 : reinterpret_cast<UINTN>(Time);
      break;
    }
  }

  std::vector<CHAR16> Storage(GuardChars + Capacity + GuardChars, GuardValue);
  CHAR16 *Buffer = Storage.data() + GuardChars;
  UINTN Count = FormatWideArgs(
      Buffer, Capacity, Format.data(), Arguments[0], Arguments[1], Arguments[2], Arguments[3],
      Arguments[4], Arguments[5], Arguments[6], Arguments[7], Arguments[8], Arguments[9],
      Arguments[10], Arguments[11], Arguments[12], Arguments[13], Arguments[14], Arguments[15],
      Arguments[16], Arguments[17], Arguments[18], Arguments[19], Arguments[20], Arguments[21],
      Arguments[22], Arguments[23]);

  for (size_t Index = 0; Index < GuardChars; Index++) {
    if (Storage[Index] != GuardValue || Buffer[Capacity + Index] != GuardValue) {
      std::abort(); // written outside the buffer
    }
  }
  if (Capacity == 0) {
    if (Count != 0) {
      std::abort();
    }
  } else if (Count == 0 || Count > Capacity || Buffer[Count - 1] != 0) {
    // The terminator sits right after the counted characters, inside the
    // buffer. (A %c of 0 may put an earlier NUL in the text; that is data.)
    std::abort();
  }

  std::free(Guid);
  std::free(Time);
  return 0;
}
