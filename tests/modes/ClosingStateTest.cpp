// The closing states, whatever the mode that entered them: while an error
// packet lingers (ERROR_SENT) data hears it again, an OACK is ignored, and an
// RPLACK stops the receive only in RPL mode; the lingering ends 2 s later.
#include "tests/modes/ModesFixture.h"

namespace zem4::test {
namespace {

struct ClosingCase {
  const char *name;
  void (*reach)(ModesFixture &); // brings the transfer into ERROR_SENT
  Bytes error;                   // the error packet it sent
  bool rplAckStops;              // an RPLACK stops the receive
};

class ClosingStateTest : public ModesFixture, public ::testing::WithParamInterface<ClosingCase> {
public:
  using ModesFixture::Accept;
  using ModesFixture::EnterActive;
  using ModesFixture::FromServer;
  using ModesFixture::Instance;
  using ModesFixture::Probe;
  using ModesFixture::RunUntil;
};

ClosingStateTest &Of(ModesFixture &f) {
  return static_cast<ClosingStateTest &>(f);
}

bool ErrorSent(ModesFixture &f) {
  return Of(f).RunUntil([&] { return Of(f).Probe().State() == TransferState::ErrorSent; },
                        400 * kSecond);
}

const ClosingCase kModes[] = {
    {"InitMalformedOack",
     [](ModesFixture &f) {
       Of(f).FromServer(OackPacket({{"tsize", "12x"}}));
       ASSERT_TRUE(ErrorSent(f));
     },
     ErrorPacket(4, "Mal-formed OACK packet"), false},
    {"RplTimeouts",
     [](ModesFixture &f) {
       Of(f).Accept();
       ASSERT_TRUE(ErrorSent(f));
     },
     ErrorPacket(0, "Too many timeouts"), true},
    {"ActiveTimeouts",
     [](ModesFixture &f) {
       Of(f).EnterActive(Data8Packet(1, 1, 1032, 0x11));
       ASSERT_TRUE(ErrorSent(f));
     },
     ErrorPacket(0, "Too many timeouts"), false},
};

TEST_P(ClosingStateTest, TheLingeringErrorAnswersAlikeInEveryMode) {
  const ClosingCase &c = GetParam();
  Start(Caller::Stream);
  c.reach(*this);
  ASSERT_EQ(Probe().State(), TransferState::ErrorSent);
  ASSERT_EQ(Sent().back().payload, c.error);
  const uint32_t mode = Probe().Download()->Mode;

  FromServer(Data8Packet(2, 2, 1032, 0x22));
  EXPECT_EQ(SentOne(), c.error) << "data hears the error again";
  FromServer(OackPacket());
  EXPECT_TRUE(Sent().empty()) << "an OACK is ignored";
  EXPECT_EQ(Probe().State(), TransferState::ErrorSent);
  EXPECT_EQ(Probe().Download()->Mode, mode);

  FromServer(RplAckPacket(2));
  EXPECT_TRUE(Sent().empty());
  FromServer(Data8Packet(3, 3, 1032, 0x33));
  if (c.rplAckStops) {
    EXPECT_TRUE(Sent().empty()) << "the RPLACK stopped the receive";
  } else {
    EXPECT_EQ(SentOne(), c.error) << "the receive goes on after the RPLACK";
  }
  // The lingering ends in the silent shutdown, then the transfer ends.
  ASSERT_TRUE(RunToEnd(3 * kSecond));
  EXPECT_NE(done_.status, EFI_SUCCESS);
  EXPECT_TRUE(Sent().empty());
}

INSTANTIATE_TEST_SUITE_P(Modes, ClosingStateTest, ::testing::ValuesIn(kModes),
                         [](const ::testing::TestParamInfo<ClosingCase> &info) {
                           return std::string(info.param.name);
                         });

// In TIME_WAIT the first datagram for a handler stops the receive, in every
// mode, and nothing is answered until the transfer ends at its timer.
class TimeWaitTest : public ModesFixture, public ::testing::WithParamInterface<int> {};

TEST_P(TimeWaitTest, FirstDatagramStopsTheReceive) {
  Start(Caller::Stream);
  if (GetParam() == 1) {
    Accept();
  }
  if (GetParam() == 2) {
    EnterActive(Data8Packet(1, 1, 1032, 0x11));
  }
  Sent();
  InstanceRig(Proto()).InjectStatus(EFI_ABORTED);
  Zem4RrqSilentShutdown(Instance());
  const Bytes unknown{0x00, 0x63};
  const char *ignored = "Zem4RrqRxCallback: Get an unexpected packet, opcode=99, ignore it.\n";
  FromServer(unknown); // no handler's: the receive goes on
  EXPECT_EQ(CountLog(ignored), 1u);
  FromServer(Data8Packet(2, 2, 1032, 0x22));
  FromServer(unknown);
  EXPECT_EQ(CountLog(ignored), 1u) << "the DATA8 stopped the receive";
  EXPECT_TRUE(Sent().empty());
  ASSERT_TRUE(RunToEnd(kSecond));
  EXPECT_EQ(done_.status, EFI_ABORTED);
  EXPECT_EQ(Controller().Unrecycled(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, TimeWaitTest, ::testing::Values(0, 1, 2), [](const ::testing::TestParamInfo<int> &info) {
      return std::string(info.param == 0 ? "Init" : info.param == 1 ? "Rpl" : "Active");
    });

} // namespace
} // namespace zem4::test
