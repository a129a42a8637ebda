// The driver's diagnostic log against this firmware's debug-message service:
// the real table entries, locate failures and the level mask.
#include "tests/common/FirmwareFixture.h"

#include "support/DiagLog.h"

namespace zem4::test {
namespace {

class DiagLogOnFirmware : public FirmwareFixture {};

TEST_F(DiagLogOnFirmware, LinesArriveWithTagLevelAndCrLf) {
  const UINTN n =
      DiagLog(DIAG_ERROR, "Zem4SendPacket: UdpIo->Transmit returned with %r.\n", EFI_NO_MAPPING);
  ASSERT_EQ(Fw().Debug().Lines().size(), 1u);
  const auto &line = Fw().Debug().Lines()[0];
  EXPECT_EQ(line.level, DIAG_ERROR);
  EXPECT_EQ(line.Tag(), "TORBELIX");
  EXPECT_EQ(line.Text(), "Zem4SendPacket: UdpIo->Transmit returned with No mapping.\r\n");
  EXPECT_EQ(n, line.text.size() + 1) << "count includes the terminator";
}

TEST_F(DiagLogOnFirmware, DisabledLevelIsAskedButNotEmitted) {
  Fw().Debug().EnableLevel(DIAG_NOTICE, false);
  const uint64_t asked = Fw().Debug().EnabledQueries();
  EXPECT_EQ(DiagLog(DIAG_NOTICE, "ignored %d\n", 5), 0u);
  EXPECT_EQ(Fw().Debug().EnabledQueries(), asked + 1);
  EXPECT_TRUE(Fw().Debug().Lines().empty());
  DiagLog(DIAG_ERROR, "kept\n");
  EXPECT_EQ(Fw().Debug().Texts(), (std::vector<std::string>{"kept\r\n"}));
}

TEST_F(DiagLogOnFirmware, MissingServiceIsLookedUpAgainOnTheNextCall) {
  ASSERT_EQ(Fw().SetDebugServiceInstalled(false), EFI_SUCCESS);
  EXPECT_EQ(DiagLog(DIAG_ERROR, "lost\n"), EFI_NOT_FOUND);
  Fw().Faults().FailNext("LocateProtocol", EFI_OUT_OF_RESOURCES);
  ASSERT_EQ(Fw().SetDebugServiceInstalled(true), EFI_SUCCESS);
  EXPECT_EQ(DiagLog(DIAG_ERROR, "lost too\n"), EFI_OUT_OF_RESOURCES);
  EXPECT_TRUE(Fw().Debug().Lines().empty());
  DiagLog(DIAG_ERROR, "found\n");
  DiagLog(DIAG_ERROR, "cached\n");
  EXPECT_EQ(Fw().Debug().Texts(), (std::vector<std::string>{"found\r\n", "cached\r\n"}));
  EXPECT_EQ(Fw().Faults().Count("LocateProtocol"), 3u) << "located once, then cached";
}

} // namespace
} // namespace zem4::test
