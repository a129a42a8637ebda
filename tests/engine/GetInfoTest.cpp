// GetInfo: the server's reply to the request comes back as a copy; after an
// OACK the download is cancelled at once, after an ERROR nothing is sent.
#include "support/Globals.h"
#include "tests/common/DriverFixture.h"

namespace zem4::test {
namespace {

class GetInfoTest : public DriverFixture {
protected:
  EFI_STATUS GetInfo(const char *file, UINT8 optionCount = 0, Zem4Option *options = nullptr) {
    return Proto()->GetInfo(Proto(), nullptr, const_cast<CHAR8 *>(file), nullptr, optionCount,
                            options, &length, &packet);
  }
  Bytes Copy() const {
    const auto *p = static_cast<const uint8_t *>(packet);
    return Bytes(p, p + length);
  }
  void FreeCopy() {
    if (packet != nullptr && packet != sentinel) {
      gBS->FreePool(packet);
    }
    packet = nullptr;
  }
  void TearDown() override {
    FreeCopy();
    DriverFixture::TearDown();
  }

  static inline VOID *const sentinel = reinterpret_cast<VOID *>(uintptr_t(0x5EED));
  UINT32 length = 0xDEADBEEF;
  VOID *packet = sentinel;
};

TEST_F(GetInfoTest, ArgumentsAreChecked) {
  ASSERT_EQ(ConfigureDefault(), EFI_SUCCESS);
  EXPECT_EQ(Proto()->GetInfo(nullptr, nullptr, const_cast<CHAR8 *>("f"), nullptr, 0, nullptr,
                             &length, &packet),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(Proto()->GetInfo(Proto(), nullptr, nullptr, nullptr, 0, nullptr, &length, &packet),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(Proto()->GetInfo(Proto(), nullptr, const_cast<CHAR8 *>("f"), nullptr, 0, nullptr,
                             nullptr, &packet),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(Proto()->GetInfo(Proto(), nullptr, const_cast<CHAR8 *>("f"), nullptr, 0, nullptr,
                             &length, nullptr),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(GetInfo("f", 1, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(CountLog("Zem4GetInfo: parameters error\n"), 5u);
  EXPECT_TRUE(ClientSends().empty());
}

TEST_F(GetInfoTest, OackIsCopiedAndTheDownloadCancelledAtOnce) {
  ScriptedServer server(Net(), kServerIp, kServerPort);
  const Bytes oack = OackPacket({{"tsize", "123456"}});
  server.Expect(RrqPacket("boot.efi", {{"tsize", "0"}})).ReplyFrom(6001, oack);
  ASSERT_EQ(ConfigureDefault(), EFI_SUCCESS);
  Zem4Option tsize{const_cast<CHAR8 *>("tsize"), const_cast<CHAR8 *>("0")};
  const host::Time100ns start = Now();
  EXPECT_EQ(GetInfo("boot.efi", 1, &tsize), EFI_SUCCESS);
  EXPECT_LT(Now() - start, 50 * kMs);
  EXPECT_EQ(Copy(), oack);
  // The server hears of the cancellation, at the port that answered.
  auto sends = ClientSends();
  ASSERT_EQ(sends.size(), 2u);
  EXPECT_EQ(sends[1].datagram.payload, ErrorPacket(0, "User caceled download"));
  EXPECT_EQ(sends[1].datagram.dstPort, 6001);
  EXPECT_EQ(Probe().State(), TransferState::Idle);
  // Nothing more afterwards.
  RunFor(10 * kSecond);
  EXPECT_EQ(ClientSends().size(), 2u);
  EXPECT_TRUE(server.Failures().empty());
}

TEST_F(GetInfoTest, ErrorIsCopiedAndAnsweredWithNothing) {
  ScriptedServer server(Net(), kServerIp, kServerPort);
  const Bytes error = ErrorPacket(1, "File not found");
  server.Expect(RrqPacket("missing")).Reply(error);
  ASSERT_EQ(ConfigureDefault(), EFI_SUCCESS);
  EXPECT_EQ(GetInfo("missing"), EFI_TFTP_ERROR);
  EXPECT_EQ(Copy(), error);
  RunFor(10 * kSecond);
  EXPECT_EQ(ClientSends().size(), 1u);
}

TEST_F(GetInfoTest, ErrorCodeNineIsNotReady) {
  ScriptedServer server(Net(), kServerIp, kServerPort);
  const Bytes error = ErrorPacket(9, "busy");
  server.Expect(RrqPacket("later")).Reply(error);
  ASSERT_EQ(ConfigureDefault(), EFI_SUCCESS);
  EXPECT_EQ(GetInfo("later"), EFI_NOT_READY);
  EXPECT_EQ(Copy(), error);
}

TEST_F(GetInfoTest, SilenceReturnsTheTransferStatusAndTouchesNothing) {
  ASSERT_EQ(ConfigureDefault(), EFI_SUCCESS);
  const host::Time100ns start = Now();
  EXPECT_EQ(GetInfo("nobody"), EFI_TIMEOUT);
  EXPECT_EQ(Now() - start, 303 * kSecond + 500 * kMs);
  EXPECT_EQ(length, 0xDEADBEEFu);
  EXPECT_EQ(packet, sentinel);
  EXPECT_EQ(ClientSends().size(), 101u);
}

TEST_F(GetInfoTest, AbortWithoutAReplyIsNotSuccess) {
  ASSERT_EQ(ConfigureDefault(), EFI_SUCCESS);
  EFI_EVENT timer =
      Fw().CreateHostEvent(EVT_TIMER | EVT_NOTIFY_SIGNAL, TPL_CALLBACK,
                           [this](EFI_EVENT) { Proto()->Configure(Proto(), nullptr); });
  gBS->SetTimer(timer, TimerRelative, 1 * kSecond);
  EXPECT_EQ(GetInfo("nobody"), EFI_ABORTED);
  EXPECT_EQ(packet, sentinel);
  Fw().CloseEvent(timer);
}

TEST_F(GetInfoTest, ReplyThatCannotBeCopiedIsOutOfResources) {
  ScriptedServer server(Net(), kServerIp, kServerPort);
  const Bytes oack = OackPacket({{"tsize", "1"}});
  // The copy is the driver's first allocation once the request is out.
  server.SetHandler([&](ScriptedServer &s, const ScriptedServer::Received &r) {
    if (r.datagram.payload == RrqPacket("f")) {
      Fw().Faults().FailNth("AllocatePool", Fw().Faults().Count("AllocatePool") + 1,
                            EFI_OUT_OF_RESOURCES);
      s.SendFrom(6001, r.datagram.src, r.datagram.srcPort, oack);
    }
  });
  ASSERT_EQ(ConfigureDefault(), EFI_SUCCESS);
  EXPECT_EQ(GetInfo("f"), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Fw().Faults().Injected(), 1u);
  EXPECT_EQ(packet, sentinel);
  EXPECT_EQ(length, 0xDEADBEEFu);
  EXPECT_EQ(Probe().State(), TransferState::Idle);
}

TEST_F(GetInfoTest, ForeignReplyIsAProtocolErrorAndStillCopied) {
  const Bytes ack = Ack8Packet(1);
  GetInfoCapture capture =
      CaptureGetInfoReply(Proto(), ack.data(), UINT32(ack.size()), &length, &packet);
  EXPECT_EQ(capture.returned, EFI_ABORTED);
  EXPECT_EQ(capture.status, EFI_PROTOCOL_ERROR);
  EXPECT_TRUE(capture.captured);
  EXPECT_EQ(Copy(), ack);
}

} // namespace
} // namespace zem4::test
