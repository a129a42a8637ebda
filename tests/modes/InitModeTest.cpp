// Init mode: the request's retransmission, server errors (in every mode) and
// the OACK decision.
#include "tests/modes/McastModeFixture.h"

namespace zem4::test {
namespace {

class InitModeTest : public ModesFixture {};

TEST_F(InitModeTest, RequestRepeatsEveryThreeSecondsAndTimesOutAfterTheHundredthRepeat) {
  Start();
  host::Time100ns started = Now();
  ASSERT_TRUE(RunToEnd(400 * kSecond));
  EXPECT_EQ(done_.status, EFI_TIMEOUT);
  EXPECT_EQ(done_.count, 1);

  std::vector<host::Datagram> sent = Sent();
  ASSERT_EQ(sent.size(), 100u); // 101 requests in all, the first taken by Start
  std::vector<host::CaptureRecord> all = ClientSends();
  ASSERT_EQ(all.size(), 101u);
  for (size_t i = 0; i < all.size(); i++) {
    EXPECT_EQ(all[i].datagram.payload, RrqPacket("file.bin")) << i;
    EXPECT_EQ(all[i].datagram.dst, kServerIp);
    EXPECT_EQ(all[i].datagram.dstPort, kServerPort);
    if (i > 0) {
      EXPECT_EQ(all[i].time - all[i - 1].time, 3 * kSecond) << i;
    }
  }
  // The 101st period ends it; the silent shutdown adds half a second.
  EXPECT_EQ(done_.time - started, 303 * kSecond + 500 * kMs);
  EXPECT_EQ(CountLog("Zem4RrqInitTimer: too many retries to send request\n"), 1u);
}

TEST_F(InitModeTest, TrafficWhileTheRequestIsOutKeepsItAlive) {
  Start();
  RunFor(299 * kSecond);
  // A data packet and an RPLACK are ignored but count as progress.
  FromServer(Data8Packet(1, 1, 4, 0xAB));
  EXPECT_EQ(Probe().RetryCount(), 0u);
  RunFor(30 * kSecond);
  FromServer(RplAckPacket(2));
  EXPECT_EQ(Probe().RetryCount(), 0u);
  EXPECT_EQ(Probe().State(), TransferState::RrqSent);
  RunFor(30 * kSecond);
  EXPECT_FALSE(Finished());
  EXPECT_TRUE(Sent().size() >= 100u);
}

// A server's ERROR in any mode ends the transfer with the mode's line, and
// nothing answers it. Error 9 is the server's "not now".
enum class Before { Request, Rpl, Active, Passive };

struct ServerErrorCase {
  const char *name;
  Before before;
  uint16_t code;
  const char *text;
  EFI_STATUS end;
  const char *line;
};

class ServerErrorTest : public McastModeTest,
                        public ::testing::WithParamInterface<ServerErrorCase> {};

TEST_P(ServerErrorTest, EndsTheTransferUnanswered) {
  const ServerErrorCase &c = GetParam();
  Start();
  switch (c.before) {
  case Before::Request:
    break;
  case Before::Rpl:
    ASSERT_NO_FATAL_FAILURE(Accept());
    break;
  case Before::Active:
    ASSERT_NO_FATAL_FAILURE(EnterActive(Full(1, 1)));
    break;
  case Before::Passive:
    ASSERT_NO_FATAL_FAILURE(EnterPassive());
    break;
  }
  Sent();
  FromServer(ErrorPacket(c.code, c.text));
  ASSERT_TRUE(RunToEnd(kSecond));
  EXPECT_EQ(done_.status, c.end);
  EXPECT_EQ(CountLog(c.line), 1u);
  EXPECT_TRUE(Sent().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Modes, ServerErrorTest,
    ::testing::Values(
        ServerErrorCase{"Init", Before::Request, 1, "File not found", EFI_TFTP_ERROR,
                        "Zem4RrqInitRcvError: received an error packet(1) from server\n"},
        ServerErrorCase{"InitNineIsNotReady", Before::Request, 9, "busy", EFI_NOT_READY,
                        "Zem4RrqInitRcvError: received an error packet(9) from server\n"},
        ServerErrorCase{"Rpl", Before::Rpl, 3, "full", EFI_TFTP_ERROR,
                        "Zem4RrqInitRcvError: received an error packet(3) from server\n"},
        ServerErrorCase{"Active", Before::Active, 2, "gone", EFI_TFTP_ERROR,
                        "Zem4RrqActiveRcvError: received an error packet(2) from server\n"},
        ServerErrorCase{"Passive", Before::Passive, 2, "no", EFI_TFTP_ERROR,
                        "Zem4RrqPassiveRcvError: received an error packet(2) from server\n"}),
    [](const ::testing::TestParamInfo<ServerErrorCase> &info) {
      return std::string(info.param.name);
    });

TEST_F(InitModeTest, OackWithoutOptionsSelectsUnicastAndListsEveryBlock) {
  Start();
  FromServer(OackPacket());
  EXPECT_EQ(Probe().State(), TransferState::Rpl);
  EXPECT_EQ(Probe().Download()->Mode, ZEM4_MODE_RPL);
  EXPECT_EQ(Progress().TotalBlocks, 4161791u);
  EXPECT_EQ(Probe().NextBlock(), 2u);
  std::vector<host::Datagram> sent = Sent();
  ASSERT_EQ(sent.size(), 1u);
  // RPL 1, the range 1..0xFFFFFFFF, to the port the OACK came from.
  EXPECT_EQ(Hex(sent[0].payload), "00 0a 00 00 00 01 00 00 00 00 01 00 00 00 ff ff ff ff");
  EXPECT_EQ(sent[0].dstPort, kDataPort);
  EXPECT_EQ(Probe().ServerPort(), kDataPort);

  // The repair list repeats on its 3-second timer.
  RunFor(7 * kSecond);
  std::vector<host::CaptureRecord> all = ClientSends();
  ASSERT_EQ(all.size(), 4u);
  for (size_t i = 2; i < 4; i++) {
    EXPECT_EQ(all[i].datagram.payload, RplPacket(1, {{1, 0xFFFFFFFFu}}));
    EXPECT_EQ(all[i].time - all[i - 1].time, 3 * kSecond);
  }
}

TEST_F(InitModeTest, TsizeGivesTheBlockCount) {
  const std::pair<const char *, uint32_t> cases[] = {{"2064", 2}, {"2065", 3}, {"0", 0}, {"1", 1}};
  for (const auto &[tsize, blocks] : cases) {
    SCOPED_TRACE(tsize);
    Start();
    FromServer(OackPacket({{"tsize", tsize}}));
    EXPECT_EQ(Progress().TotalBlocks, blocks);
    Zem4TransferStatus status{};
    ASSERT_EQ(Proto()->GetStatus(Proto(), &status), EFI_SUCCESS);
    EXPECT_EQ(status.TotalBlocks, blocks);
    ASSERT_EQ(Proto()->Configure(Proto(), nullptr), EFI_SUCCESS);
    ASSERT_TRUE(Finished());
    done_ = Completion{};
    Sent();
    server_.reset();
    server_ = std::make_unique<ScriptedServer>(Net(), kServerIp, kServerPort);
  }
}

TEST_F(InitModeTest, RepeatedOackIsIgnored) {
  Start();
  Accept();
  FromServer(OackPacket({{"tsize", "5"}}));
  EXPECT_EQ(Probe().State(), TransferState::Rpl);
  EXPECT_EQ(Progress().TotalBlocks, 4161791u);
  EXPECT_TRUE(Sent().empty());
}

TEST_F(InitModeTest, MalformedOackIsAnsweredRepeatedThenEndsWithDeviceError) {
  Start();
  FromServer(OackPacket({{"multicast", "not-a-group"}}));
  EXPECT_EQ(CountLog("Zem4RrqInitRcvOack: failed to parse the OACK packet\n"), 1u);
  EXPECT_EQ(Probe().State(), TransferState::ErrorSent);
  Bytes error = ErrorPacket(4, "Mal-formed OACK packet");
  std::vector<host::Datagram> sent = Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].payload, error);
  EXPECT_EQ(sent[0].dstPort, kDataPort);

  // Data in the next two seconds hears the same error again.
  RunFor(kSecond);
  FromServer(Data8Packet(1, 1, 1032, 1));
  EXPECT_EQ(SentOne(), error);
  // An OACK meanwhile changes nothing.
  FromServer(OackPacket());
  EXPECT_TRUE(Sent().empty());
  EXPECT_EQ(Probe().State(), TransferState::ErrorSent);

  ASSERT_TRUE(RunToEnd(5 * kSecond));
  EXPECT_EQ(done_.status, EFI_DEVICE_ERROR);
  EXPECT_TRUE(Sent().empty());
}

TEST_F(InitModeTest, ServerErrorWhileOurErrorLingersEndsWithTftpError) {
  Start();
  FromServer(OackPacket({{"multicast", "x"}}));
  Sent();
  FromServer(ErrorPacket(0, "whatever"));
  ASSERT_TRUE(RunToEnd(kSecond));
  EXPECT_EQ(done_.status, EFI_TFTP_ERROR);
}

} // namespace
} // namespace zem4::test
