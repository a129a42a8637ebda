#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "efi/Uefi.h"
#include "support/DiagLog.h"
#include "support/Globals.h"

namespace {

// A minimal firmware: LocateProtocol only, and a debug-message table that
// records what it is asked and what it emits.
struct Emitted {
  UINT32 Level;
  std::u16string Tag;
  std::u16string Text;
};

struct FakeFirmware {
  EFI_BOOT_SERVICES BootServices{};
  EFI_DEBUG_MESSAGE_PROTOCOL Service{};
  EFI_STATUS LocateStatus = EFI_SUCCESS;
  bool HandOutNull = false;
  int LocateCalls = 0;
  EFI_GUID LastGuid{};
  std::vector<UINT32> EnabledQueries;
  std::vector<std::pair<UINTN, UINTN>> QueryWords;
  UINT32 DisabledLevel = 0xFFFFFFFF;
  std::vector<Emitted> Lines;
};

FakeFirmware *Current = nullptr;

EFI_STATUS EFIAPI FakeLocateProtocol(const EFI_GUID *Protocol, VOID *Registration,
                                     VOID **Interface) {
  Current->LocateCalls++;
  Current->LastGuid = *Protocol;
  if (Registration != nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  if (EFI_ERROR(Current->LocateStatus)) {
    *Interface = nullptr;
    return Current->LocateStatus;
  }
  *Interface = Current->HandOutNull ? nullptr : &Current->Service;
  return EFI_SUCCESS;
}

BOOLEAN EFIAPI FakeIsLevelEnabled(UINT32 Level, UINTN Word1, UINTN Word2) {
  Current->EnabledQueries.push_back(Level);
  Current->QueryWords.emplace_back(Word1, Word2);
  return Level == Current->DisabledLevel ? FALSE : TRUE;
}

EFI_STATUS EFIAPI FakeEmit(UINT32 Level, CHAR16 *Tag, CHAR16 *Text) {
  Current->Lines.push_back({Level, Tag, Text});
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI FakeOther() {
  return EFI_UNSUPPORTED;
}

class DiagLogTest : public ::testing::Test {
protected:
  void SetUp() override {
    Firmware.BootServices.LocateProtocol = FakeLocateProtocol;
    Firmware.Service.Entry0 = FakeOther;
    Firmware.Service.Entry1 = FakeOther;
    Firmware.Service.IsLevelEnabled = FakeIsLevelEnabled;
    Firmware.Service.Entry3 = FakeOther;
    Firmware.Service.Entry4 = FakeOther;
    Firmware.Service.Entry5 = FakeOther;
    Firmware.Service.Emit = FakeEmit;
    Current = &Firmware;
    SavedBS = gBS;
    gBS = &Firmware.BootServices;
    DiagLogReset();
  }

  void TearDown() override {
    DiagLogReset();
    gBS = SavedBS;
    Current = nullptr;
  }

  FakeFirmware Firmware;
  EFI_BOOT_SERVICES *SavedBS = nullptr;
};

TEST_F(DiagLogTest, EmitsOneWideLineUnderTheSourceTag) {
  UINTN Count = DiagLog(DIAG_ERROR, "x\n");
  ASSERT_EQ(Firmware.Lines.size(), 1u);
  EXPECT_EQ(Firmware.Lines[0].Level, DIAG_ERROR);
  EXPECT_EQ(Firmware.Lines[0].Tag, u"TORBELIX");
  EXPECT_EQ(Firmware.Lines[0].Text, u"x\r\n");
  EXPECT_EQ(Count, 4u);
  EXPECT_EQ(Firmware.EnabledQueries, std::vector<UINT32>{DIAG_ERROR});
  EXPECT_EQ(Firmware.QueryWords[0], (std::pair<UINTN, UINTN>(0, 0)));
}

TEST_F(DiagLogTest, FormatsDriverMessages) {
  DiagLog(DIAG_ERROR, "Zem4SendPacket: UdpIo->Transmit returned with %r.\n", EFI_NO_MAPPING);
  DiagLog(DIAG_NOTICE, "%a(%d): %r\n", "Zem4CheckOption", static_cast<UINTN>(211), EFI_UNSUPPORTED);
  DiagLog(DIAG_ERROR, "block %d of %x: %r\n", static_cast<UINTN>(65535), static_cast<UINTN>(0xBEEF),
          EFIERR(30));
  ASSERT_EQ(Firmware.Lines.size(), 3u);
  EXPECT_EQ(Firmware.Lines[0].Text,
            u"Zem4SendPacket: UdpIo->Transmit returned with No mapping.\r\n");
  EXPECT_EQ(Firmware.Lines[1].Level, DIAG_NOTICE);
  EXPECT_EQ(Firmware.Lines[1].Text, u"Zem4CheckOption(211): Unsupported\r\n");
  EXPECT_EQ(Firmware.Lines[2].Text, sizeof(UINTN) == 8
                                        ? u"block 65535 of BEEF: 800000000000001E\r\n"
                                        : u"block 65535 of BEEF: 000000008000001E\r\n");
}

TEST_F(DiagLogTest, LocatesTheServiceByItsGuidOnceAndForgetsItOnReset) {
  DiagLog(DIAG_ERROR, "one");
  DiagLog(DIAG_ERROR, "two");
  EXPECT_EQ(Firmware.LocateCalls, 1);
  const EFI_GUID Expected = {
      0x5B1B31A2, 0x9563, 0x11D3, {0x8F, 0x3F, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3C}};
  EXPECT_EQ(std::memcmp(&Firmware.LastGuid, &Expected, sizeof(EFI_GUID)), 0);

  DiagLogReset();
  DiagLog(DIAG_ERROR, "three");
  EXPECT_EQ(Firmware.LocateCalls, 2);
  EXPECT_EQ(Firmware.Lines.size(), 3u);
}

TEST_F(DiagLogTest, MissingServiceReturnsTheLocateStatusAndRetriesNextTime) {
  Firmware.LocateStatus = EFI_NOT_FOUND;
  EXPECT_EQ(DiagLog(DIAG_ERROR, "lost\n"), EFI_NOT_FOUND);
  EXPECT_EQ(DiagLog(DIAG_ERROR, "lost\n"), EFI_NOT_FOUND);
  EXPECT_EQ(Firmware.LocateCalls, 2);
  EXPECT_TRUE(Firmware.Lines.empty());
  EXPECT_TRUE(Firmware.EnabledQueries.empty());

  Firmware.LocateStatus = EFI_SUCCESS;
  EXPECT_EQ(DiagLog(DIAG_ERROR, "found\n"), 8u);
  ASSERT_EQ(Firmware.Lines.size(), 1u);
  EXPECT_EQ(Firmware.Lines[0].Text, u"found\r\n");
}

TEST_F(DiagLogTest, SuccessWithoutAnInterfaceIsNotCached) {
  Firmware.HandOutNull = true;
  EXPECT_EQ(DiagLog(DIAG_ERROR, "x"), EFI_NOT_FOUND);
  Firmware.HandOutNull = false;
  EXPECT_EQ(DiagLog(DIAG_ERROR, "x"), 2u);
  EXPECT_EQ(Firmware.LocateCalls, 2);
}

TEST_F(DiagLogTest, NoBootServicesIsRefusedNotACrash) {
  gBS = nullptr;
  EXPECT_TRUE(EFI_ERROR(DiagLog(DIAG_ERROR, "x")));
  EXPECT_EQ(Firmware.LocateCalls, 0);
}

TEST_F(DiagLogTest, DisabledLevelDoesNoFormattingWork) {
  Firmware.DisabledLevel = DIAG_NOTICE;
  // Formatting would read through this pointer; a disabled level must not.
  const CHAR8 *Poison = reinterpret_cast<const CHAR8 *>(static_cast<uintptr_t>(0x10));
  EXPECT_EQ(DiagLog(DIAG_NOTICE, "%a %r\n", Poison, EFI_ABORTED), 0u);
  EXPECT_TRUE(Firmware.Lines.empty());
  EXPECT_EQ(Firmware.EnabledQueries, std::vector<UINT32>{DIAG_NOTICE});

  EXPECT_EQ(DiagLog(DIAG_ERROR, "%r", EFI_ABORTED), 8u);
  EXPECT_EQ(Firmware.Lines.size(), 1u);
}

TEST_F(DiagLogTest, FormatOf320CharactersIsEmittedAnd321Dropped) {
  std::string Fits(320, 'f');
  EXPECT_EQ(DiagLog(DIAG_ERROR, Fits.c_str()), 320u); // 319 characters and the terminator
  ASSERT_EQ(Firmware.Lines.size(), 1u);
  EXPECT_EQ(Firmware.Lines[0].Text, std::u16string(319, u'f'));

  std::string TooLong(321, 'g');
  EXPECT_EQ(DiagLog(DIAG_ERROR, TooLong.c_str()), 0u);
  EXPECT_EQ(Firmware.Lines.size(), 1u);
}

TEST_F(DiagLogTest, LongOutputIsCutToTheLineAndTerminated) {
  std::string Long(1000, 'z');
  EXPECT_EQ(DiagLog(DIAG_ERROR, "%a\n", Long.c_str()), 320u);
  ASSERT_EQ(Firmware.Lines.size(), 1u);
  EXPECT_EQ(Firmware.Lines[0].Text, std::u16string(319, u'z'));

  // The line end itself is cut when only its first half fits.
  std::string Head(318, 'h');
  DiagLog(DIAG_ERROR, "%a\n", Head.c_str());
  EXPECT_EQ(Firmware.Lines[1].Text, std::u16string(318, u'h') + u"\r");
}

TEST_F(DiagLogTest, FormatBytesAreWidenedWithoutConversion) {
  DiagLog(DIAG_ERROR, "caf\xE9 \xFF");
  ASSERT_EQ(Firmware.Lines.size(), 1u);
  EXPECT_EQ(Firmware.Lines[0].Text, std::u16string(u"caf\u00E9 \u00FF"));
}

} // namespace
