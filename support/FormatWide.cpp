// Wide-character formatter. Every character goes through one bounded writer,
// so no directive (width, string, status name, line end) can run past the
// buffer, and one slot is always kept for the terminator.
#include "support/FormatWide.h"
#include "support/Math64.h"

namespace {

struct StatusRow {
  EFI_STATUS Code;
  const CHAR8 *Text;
};

// Searched in order; the row holding the bare error bit ends the table.
const StatusRow StatusNames[] = {
    {EFI_SUCCESS, "Success"},
    {EFI_LOAD_ERROR, "Load Error"},
    {EFI_INVALID_PARAMETER, "Invalid Parameter"},
    {EFI_UNSUPPORTED, "Unsupported"},
    {EFI_BAD_BUFFER_SIZE, "Bad Buffer Size"},
    {EFI_BUFFER_TOO_SMALL, "Buffer Too Small"},
    {EFI_NOT_READY, "Not Ready"},
    {EFI_DEVICE_ERROR, "Device Error"},
    {EFI_WRITE_PROTECTED, "Write Protected"},
    {EFI_OUT_OF_RESOURCES, "Out of Resources"},
    {EFI_VOLUME_CORRUPTED, "Volume Corrupt"},
    {EFI_VOLUME_FULL, "Volume Full"},
    {EFI_NO_MEDIA, "No Media"},
    {EFI_MEDIA_CHANGED, "Media changed"},
    {EFI_NOT_FOUND, "Not Found"},
    {EFI_ACCESS_DENIED, "Access Denied"},
    {EFI_NO_RESPONSE, "No Response"},
    {EFI_NO_MAPPING, "No mapping"},
    {EFI_TIMEOUT, "Time out"},
    {EFI_NOT_STARTED, "Not started"},
    {EFI_ALREADY_STARTED, "Already started"},
    {EFI_ABORTED, "Aborted"},
    {EFI_ICMP_ERROR, "ICMP Error"},
    {EFI_TFTP_ERROR, "TFTP Error"},
    {EFI_PROTOCOL_ERROR, "Protocol Error"},
    {EFI_WARN_UNKNOWN_GLYPH, "Warning Unknown Glyph"},
    {EFI_WARN_DELETE_FAILURE, "Warning Delete Failure"},
    {EFI_WARN_WRITE_FAILURE, "Warning Write Failure"},
    {EFI_WARN_BUFFER_TOO_SMALL, "Warning Buffer Too Small"},
    {EFI_ERROR_BIT, nullptr},
};

const CHAR8 HexDigits[] = "0123456789ABCDEF";
const CHAR8 NullString[] = "<null string>";

// Widths beyond any buffer are pointless; saturating keeps the parse finite.
const UINTN WidthLimit = 0x10000;

class Writer {
public:
  Writer(CHAR16 *Buffer, UINTN Capacity) : Buffer_(Buffer), Limit_(Capacity - 1) {}

  // False once the buffer is full (the terminator's slot is never used).
  bool Put(CHAR16 Char) {
    if (Count_ >= Limit_) {
      return false;
    }
    Buffer_[Count_++] = Char;
    return true;
  }

  bool Full() const { return Count_ >= Limit_; }

  UINTN Finish() {
    Buffer_[Count_] = 0;
    return Count_ + 1;
  }

  void Repeat(CHAR16 Char, UINTN Times) {
    while (Times-- != 0 && Put(Char)) {
    }
  }

  // Narrow text, bytes zero-extended, then blanks up to Width.
  void Narrow(const CHAR8 *Text, UINTN Width) {
    UINTN Written = 0;
    for (; Text[Written] != 0; Written++) {
      if (!Put(static_cast<CHAR16>(static_cast<UINT8>(Text[Written])))) {
        return;
      }
    }
    if (Width > Written) {
      Repeat(u' ', Width - Written);
    }
  }

  void Wide(const CHAR16 *Text, UINTN Width) {
    UINTN Written = 0;
    for (; Text[Written] != 0; Written++) {
      if (!Put(Text[Written])) {
        return;
      }
    }
    if (Width > Written) {
      Repeat(u' ', Width - Written);
    }
  }

  // Magnitude in Base (10 or 16), at least one digit, padded on the left to
  // Width with '0' or blanks; Negative adds a leading '-' counted in Width.
  void Number(UINT64 Magnitude, UINT32 Base, bool Negative, UINTN Width, bool ZeroPad) {
    CHAR16 Digits[20];
    UINTN Length = 0;
    do {
      UINT32 Digit;
      if (Base == 16) {
        Digit = static_cast<UINT32>(Magnitude) & 0xF;
        Magnitude >>= 4;
      } else {
        UINT64 Rest = 0;
        Magnitude = DivU64x64Remainder(Magnitude, Base, &Rest);
        Digit = static_cast<UINT32>(Rest);
      }
      Digits[Length++] = static_cast<CHAR16>(HexDigits[Digit]);
    } while (Magnitude != 0);

    UINTN Total = Length + (Negative ? 1 : 0);
    UINTN Pad = Width > Total ? Width - Total : 0;
    if (!ZeroPad) {
      Repeat(u' ', Pad);
    }
    if (Negative && !Put(u'-')) {
      return;
    }
    if (ZeroPad) {
      Repeat(u'0', Pad);
    }
    while (Length != 0) {
      if (!Put(Digits[--Length])) {
        return;
      }
    }
  }

private:
  CHAR16 *Buffer_;
  UINTN Limit_;
  UINTN Count_ = 0;
};

void Guid(Writer &Out, const EFI_GUID *Value) {
  Out.Number(Value->Data1, 16, false, 8, true);
  Out.Put(u'-');
  Out.Number(Value->Data2, 16, false, 4, true);
  Out.Put(u'-');
  Out.Number(Value->Data3, 16, false, 4, true);
  Out.Put(u'-');
  for (UINTN Index = 0; Index < 8; Index++) {
    if (Index == 2) {
      Out.Put(u'-');
    }
    Out.Number(Value->Data4[Index], 16, false, 2, true);
  }
}

void Time(Writer &Out, const EFI_TIME *Value) {
  Out.Number(Value->Month, 10, false, 2, true);
  Out.Put(u'/');
  Out.Number(Value->Day, 10, false, 2, true);
  Out.Put(u'/');
  Out.Number(Value->Year, 10, false, 4, true);
  Out.Put(u' ');
  Out.Put(u' ');
  Out.Number(Value->Hour, 10, false, 2, true);
  Out.Put(u':');
  Out.Number(Value->Minute, 10, false, 2, true);
}

} // namespace

const CHAR8 *StatusName(EFI_STATUS Status) {
  for (const StatusRow *Row = StatusNames; Row->Code != EFI_ERROR_BIT; Row++) {
    if (Row->Code == Status) {
      return Row->Text;
    }
  }
  return nullptr;
}

namespace {

// What the flags, width and length of one directive asked for.
struct Directive {
  bool ZeroPad = false;
  bool Long = false;
  UINTN Width = 0;
};

// Reads the flags, width and length after a '%'; Cursor is left on the
// conversion character.
Directive ParseDirective(const CHAR16 *&Cursor, va_list *Ap) {
  Directive Spec;
  for (;; Cursor++) {
    CHAR16 Flag = *Cursor;
    if (Flag == u'-' || Flag == u'+' || Flag == u' ' || Flag == u',') {
      continue;
    }
    if (Flag == u'0') {
      Spec.ZeroPad = true;
      continue;
    }
    if (Flag >= u'1' && Flag <= u'9') {
      Spec.Width = 0;
      while (*Cursor >= u'0' && *Cursor <= u'9') {
        Spec.Width = Spec.Width * 10 + static_cast<UINTN>(*Cursor - u'0');
        if (Spec.Width > WidthLimit) {
          Spec.Width = WidthLimit;
        }
        Cursor++;
      }
      Cursor--;
      continue;
    }
    if (Flag == u'*') {
      Spec.Width = va_arg(*Ap, UINTN);
      if (Spec.Width > WidthLimit) {
        Spec.Width = WidthLimit;
      }
      continue;
    }
    if (Flag == u'l' || Flag == u'L') {
      Spec.Long = true;
      continue;
    }
    return Spec;
  }
}

// The numeric conversions: x, X, d and r.
void Numeric(Writer &Out, CHAR16 Conversion, const Directive &Spec, va_list *Ap) {
  if (Conversion == u'd') {
    INT64 Value = Spec.Long ? va_arg(*Ap, long long) : static_cast<INTN>(va_arg(*Ap, UINTN));
    bool Negative = Value < 0;
    UINT64 Magnitude = static_cast<UINT64>(Value);
    if (Negative) {
      Magnitude = 0 - Magnitude;
    }
    Out.Number(Magnitude, 10, Negative, Spec.Width, Spec.ZeroPad);
    return;
  }
  if (Conversion == u'r') {
    EFI_STATUS Status =
        Spec.Long ? static_cast<EFI_STATUS>(va_arg(*Ap, unsigned long long)) : va_arg(*Ap, UINTN);
    const CHAR8 *Name = StatusName(Status);
    if (Name != nullptr) {
      Out.Narrow(Name, 0);
    } else {
      Out.Number(Status, 16, false, 16, true);
    }
    return;
  }
  UINT64 Value = Spec.Long ? va_arg(*Ap, unsigned long long) : va_arg(*Ap, UINTN);
  if (Conversion == u'X') {
    Out.Number(Value, 16, false, 16, true);
  } else {
    Out.Number(Value, 16, false, Spec.Width, Spec.ZeroPad);
  }
}

// One conversion with its argument; an unknown one is written as it is.
void Convert(Writer &Out, CHAR16 Conversion, const Directive &Spec, va_list *Ap) {
  switch (Conversion) {
  case u's':
  case u'S': {
    const CHAR16 *Text = va_arg(*Ap, const CHAR16 *);
    if (Text == nullptr) {
      Out.Narrow(NullString, Spec.Width);
    } else {
      Out.Wide(Text, Spec.Width);
    }
    return;
  }
  case u'a': {
    const CHAR8 *Text = va_arg(*Ap, const CHAR8 *);
    Out.Narrow(Text == nullptr ? NullString : Text, Spec.Width);
    return;
  }
  case u'c':
    Out.Put(static_cast<CHAR16>(va_arg(*Ap, UINTN) & 0xFFFF));
    return;
  case u'x':
  case u'X':
  case u'd':
  case u'r':
    Numeric(Out, Conversion, Spec, Ap);
    return;
  case u'g': {
    const EFI_GUID *Value = va_arg(*Ap, const EFI_GUID *);
    if (Value != nullptr) {
      Guid(Out, Value);
    }
    return;
  }
  case u't': {
    const EFI_TIME *Value = va_arg(*Ap, const EFI_TIME *);
    if (Value != nullptr) {
      Time(Out, Value);
    }
    return;
  }
  default:
    Out.Put(Conversion);
    return;
  }
}

} // namespace

UINTN FormatWide(CHAR16 *Buffer, UINTN Capacity, const CHAR16 *Format, va_list Args) {
  if (Buffer == nullptr || Capacity == 0) {
    return 0;
  }
  Writer Out(Buffer, Capacity);
  if (Format == nullptr) {
    return Out.Finish();
  }

  // va_list may be an array type; copy so va_arg works on a local object.
  va_list Ap;
  va_copy(Ap, Args);

  const CHAR16 *Cursor = Format;
  while (*Cursor != 0 && !Out.Full()) {
    CHAR16 Char = *Cursor++;
    if (Char == u'\n') {
      Out.Put(u'\r');
      Out.Put(u'\n');
      continue;
    }
    if (Char != u'%') {
      Out.Put(Char);
      continue;
    }
    Directive Spec = ParseDirective(Cursor, &Ap);
    CHAR16 Conversion = *Cursor;
    if (Conversion == 0) {
      break; // the format ended inside a directive
    }
    Cursor++;
    Convert(Out, Conversion, Spec, &Ap);
  }

  va_end(Ap);
  return Out.Finish();
}

UINTN FormatWideArgs(CHAR16 *Buffer, UINTN Capacity, const CHAR16 *Format, ...) {
  va_list Args;
  va_start(Args, Format);
  UINTN Count = FormatWide(Buffer, Capacity, Format, Args);
  va_end(Args);
  return Count;
}
