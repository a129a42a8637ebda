// The receive dispatch: length rules per opcode, short and unknown packets,
// fragmented datagrams, receive errors, server errors; every datagram is
// handed back to UDP4 (checked at teardown).
#include "protocol/Zem4Rrq.h"
#include "support/Globals.h"
#include "tests/common/DriverFixture.h"

#include <memory>

namespace zem4::test {
namespace {

class DispatchTest : public DriverFixture {
protected:
  void Start() {
    ASSERT_EQ(ConfigureDefault(), EFI_SUCCESS);
    PrepareToken(token_, done_, "boot.efi");
    token_.Context = &received;
    token_.CheckPacket = CollectData;
    ASSERT_EQ(Proto()->ReadFile(Proto(), &token_), EFI_SUCCESS);
  }

  bool Finished(host::Time100ns limit = 30 * kSecond) {
    return RunUntil([&] { return done_.count > 0; }, limit);
  }

  // Datagrams the client sent after its request, opcode by opcode.
  std::vector<uint16_t> ClientOpcodes() const {
    std::vector<uint16_t> out;
    for (const auto &record : ClientSends()) {
      const Bytes &p = record.datagram.payload;
      out.push_back(p.size() >= 2 ? static_cast<uint16_t>(p[0] << 8 | p[1]) : 0xFFFF);
    }
    return out;
  }

  // UDP4 completes the next receives with `statuses`, in order, as a NIC
  // error or an ICMP report would: with no receive data (the datagram that
  // made them stays queued for the receive after).
  void FailNextReceives(std::initializer_list<EFI_STATUS> statuses) {
    uint64_t n = Fw().Faults().Count("Udp4.ReceiveCompletion");
    for (EFI_STATUS status : statuses) {
      Fw().Faults().FailNth("Udp4.ReceiveCompletion", ++n, status);
    }
  }

  Bytes received;
};

TEST_F(DispatchTest, DatagramsShorterThanAnOpcodeAreDroppedAndTheReceivePostedAgain) {
  for (const Bytes &runt : {Bytes{0x05}, Bytes{}}) {
    SCOPED_TRACE(runt.size());
    ScriptedServer server(Net(), kServerIp, kServerPort);
    server.Expect(RrqPacket("boot.efi")).Reply(runt).Reply(ErrorPacket(1, "File not found"));
    done_ = Completion{};
    ClearLogs();
    Start();
    ASSERT_TRUE(Finished());
    EXPECT_EQ(CountLog("Zem4RrqRxCallback: Get a packet which is too short " +
                       std::to_string(runt.size()) + ", ignore it\n"),
              1u);
    EXPECT_EQ(done_.status, EFI_TFTP_ERROR);
  }
}

TEST_F(DispatchTest, ErrorShorterThanFiveBytesIsDroppedSilently) {
  ScriptedServer server(Net(), kServerIp, kServerPort);
  server.Expect(RrqPacket("boot.efi"))
      .Reply(Bytes{0x00, 0x05, 0x00, 0x01})
      .Reply(Bytes{0x00, 0x05, 0x00, 0x02, 0x00}); // 5 bytes, empty message
  Start();
  ASSERT_TRUE(Finished());
  EXPECT_EQ(done_.status, EFI_TFTP_ERROR);
  std::vector<std::string> logs = Logs();
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_EQ(logs[0], "Zem4RrqInitRcvError: received an error packet(2) from server\n");
}

TEST_F(DispatchTest, ServerErrorCodeNineIsNotReady) {
  ScriptedServer server(Net(), kServerIp, kServerPort);
  server.Expect(RrqPacket("boot.efi")).Reply(Bytes{0x00, 0x05, 0x00, 0x09, 0x00});
  Start();
  ASSERT_TRUE(Finished());
  EXPECT_EQ(done_.status, EFI_NOT_READY);
}

TEST_F(DispatchTest, ErrorCodeNineAfterTheFileIsCompleteChangesNothing) {
  ScriptedServer server(Net(), kServerIp, kServerPort);
  auto responder = std::make_shared<FileResponder>(Bytes(100, 0x42), 6001);
  bool errorSent = false;
  server.SetHandler([&, responder](ScriptedServer &s, const ScriptedServer::Received &r) {
    (*responder)(s, r);
    if (responder->FinSent() && !errorSent) {
      errorSent = true;
      s.SendFrom(6001, r.datagram.src, r.datagram.srcPort, ErrorPacket(9, "late"));
    }
  });
  Start();
  ASSERT_TRUE(Finished());
  EXPECT_TRUE(errorSent);
  EXPECT_EQ(done_.status, EFI_SUCCESS);
  EXPECT_EQ(received, Bytes(100, 0x42));
}

TEST_F(DispatchTest, OackOfTwoBytesIsHandled) {
  ScriptedServer server(Net(), kServerIp, kServerPort);
  server.Expect(RrqPacket("boot.efi")).Reply(OackPacket());
  server.Expect(RplPacket(1, {{1, 0xFFFFFFFF}})).Reply(ErrorPacket(4, "stop"));
  Start();
  ASSERT_TRUE(Finished());
  EXPECT_TRUE(server.Failures().empty()) << server.Failures().front();
  EXPECT_EQ(done_.status, EFI_TFTP_ERROR);
}

TEST_F(DispatchTest, DataOutsideItsLengthsIsDroppedSilently) {
  ScriptedServer server(Net(), kServerIp, kServerPort);
  server.Expect(RrqPacket("boot.efi")).Reply(OackPacket({{"tsize", "0"}}));
  server.Expect(RplPacket(1, {{1, 0xFFFFFFFF}}))
      .Reply(Bytes{0x00, 0x08, 0, 0, 0, 1, 0, 0, 0}) // 9 bytes
      .Reply(Data8Packet(1, 1, 1033, 0x11))          // 1043 bytes
      .Reply(Bytes{0x00, 0x0E, 0, 0, 0, 0, 0})       // FIN of 7 bytes
      .Reply(Bytes{0x00, 0x0B, 0, 0, 0})             // RPLACK of 5 bytes
      .Reply(Data8Packet(1, 1, 0, 0));               // 10 bytes: the empty last block
  server.Expect(Ack8Packet(2)).Reply(FinPacket(0));
  Start();
  ASSERT_TRUE(Finished());
  EXPECT_TRUE(server.Failures().empty()) << server.Failures().front();
  EXPECT_EQ(done_.status, EFI_SUCCESS);
  EXPECT_TRUE(received.empty());
  // Nothing about the dropped ones in the log.
  EXPECT_TRUE(Logs().empty()) << Logs().front();
  EXPECT_EQ(ClientOpcodes(), (std::vector<uint16_t>{1, 10, 9}));
}

TEST_F(DispatchTest, FullSizeDataIsAccepted) {
  ScriptedServer server(Net(), kServerIp, kServerPort);
  Bytes block(1032, 0x5A);
  server.Expect(RrqPacket("boot.efi")).Reply(OackPacket({{"tsize", "1032"}}));
  server.Expect(RplPacket(1, {{1, 0xFFFFFFFF}}))
      .Reply(Data8Packet(1, 1, block)) // 1042 bytes: not the end of the file
      .Reply(Data8Packet(2, 2, 0, 0));
  server.Expect(Ack8Packet(2));
  server.Expect(Ack8Packet(3)).Reply(FinPacket(0));
  Start();
  ASSERT_TRUE(Finished());
  EXPECT_TRUE(server.Failures().empty()) << server.Failures().front();
  EXPECT_EQ(done_.status, EFI_SUCCESS);
  EXPECT_EQ(received, block);
}

TEST_F(DispatchTest, RplAckOfSixBytesOrMoreIsHandled) {
  ScriptedServer server(Net(), kServerIp, kServerPort);
  server.Expect(RrqPacket("boot.efi")).Reply(OackPacket());
  // An RPLACK resets the retry count: the repair list is repeated at 3 s
  // after the OACK, not earlier, and the RPLACK itself asks for nothing new
  // (the list went out whole).
  server.Expect(RplPacket(1, {{1, 0xFFFFFFFF}})).Reply(Bytes{0x00, 0x0B, 0, 0, 0, 2, 0xEE, 0xEE});
  server.Expect(RplPacket(1, {{1, 0xFFFFFFFF}})).Reply(ErrorPacket(0, "done"));
  Start();
  ASSERT_TRUE(Finished());
  EXPECT_TRUE(server.Failures().empty()) << server.Failures().front();
  ASSERT_EQ(server.Log().size(), 3u);
  EXPECT_EQ(server.Log()[2].time - server.Log()[1].time, 3 * kSecond);
}

TEST_F(DispatchTest, UnknownOpcodesAreLoggedAndIgnored) {
  ScriptedServer server(Net(), kServerIp, kServerPort);
  server.Expect(RrqPacket("boot.efi"))
      .Reply(Bytes{0x00, 0x03, 0x00, 0x01, 'x'})
      .Reply(Bytes{0x00, 0x04, 0x00, 0x01})
      .Reply(Bytes{0x00, 0x07})
      .Reply(Bytes{0xFF, 0xFF, 0x01})
      .Reply(ErrorPacket(1, "File not found"));
  Start();
  ASSERT_TRUE(Finished());
  EXPECT_EQ(done_.status, EFI_TFTP_ERROR);
  for (const char *op : {"3", "4", "7", "65535"}) {
    std::string line =
        std::string("Zem4RrqRxCallback: Get an unexpected packet, opcode=") + op + ", ignore it.\n";
    EXPECT_EQ(CountLog(line), 1u) << line;
  }
}

TEST_F(DispatchTest, FragmentedDatagramsAreLinearised) {
  host::FaultProfile split;
  split.fragment = 1.0;
  split.maxFragments = 5;
  host::FlowMatch toClient;
  toClient.dst = kClientIp;
  Net().AddFlowProfile(toClient, split);
  ScriptedServer server(Net(), kServerIp, kServerPort);
  Bytes file(3 * 1032 + 17);
  for (size_t i = 0; i < file.size(); i++) {
    file[i] = static_cast<uint8_t>(i ^ (i >> 8));
  }
  server.SetHandler(FileResponder(file, 6001));
  Start();
  ASSERT_TRUE(Finished());
  EXPECT_GT(Net().Stats().fragmented, 4u);
  EXPECT_EQ(done_.status, EFI_SUCCESS);
  EXPECT_EQ(received, file);
}

TEST_F(DispatchTest, ToleratedReceiveErrorsRepostTheReceive) {
  ScriptedServer server(Net(), kServerIp, kServerPort);
  Start();
  RunFor(10 * kMs);
  // An error completion carries no receive data: it must not be looked at.
  // The one-byte datagram behind them is dropped once it comes through.
  FailNextReceives({EFI_TIMEOUT, EFI_ABORTED, EFI_ICMP_ERROR});
  server.Send(kClientIp, ClientSends()[0].datagram.srcPort, Bytes{0x05});
  RunFor(10 * kMs);
  EXPECT_EQ(Fw().Faults().Injected(), 3u);
  EXPECT_EQ(Probe().State(), TransferState::RrqSent);
  EXPECT_EQ(CountLog("Zem4RrqRxCallback: receive failed, token's status is Time out\n"), 1u);
  EXPECT_EQ(CountLog("Zem4RrqRxCallback: receive failed, token's status is Aborted\n"), 1u);
  EXPECT_EQ(CountLog("Zem4RrqRxCallback: receive failed, token's status is ICMP Error\n"), 1u);
  // The port still receives.
  server.Send(kClientIp, ClientSends()[0].datagram.srcPort, ErrorPacket(1, "x"));
  ASSERT_TRUE(Finished());
  EXPECT_EQ(done_.status, EFI_TFTP_ERROR);
}

TEST_F(DispatchTest, AReceiveErrorAfterTheEndKeepsTheStatus) {
  ScriptedServer server(Net(), kServerIp, kServerPort);
  Start();
  Zem4RrqSilentShutdown(Instance()); // ended well, its receive still posted
  FailNextReceives({EFI_PORT_UNREACHABLE});
  server.Send(kClientIp, ClientSends().back().datagram.srcPort, ErrorPacket(1, "unread"));
  ASSERT_TRUE(Finished());
  EXPECT_EQ(done_.status, EFI_SUCCESS);
  EXPECT_EQ(Fw().Faults().Injected(), 1u);
}

TEST_F(DispatchTest, MulticastErrorCompletionIsNotReadForItsPort) {
  ScriptedServer server(Net(), kServerIp, kServerPort);
  Start();
  RunFor(10 * kMs);
  // As if the multicast port's receive completed with an error: the status
  // decides before any receive data (there is none) is looked at.
  Zem4RrqData *rrq = Probe().Download();
  rrq->McastRxContext.Signature = ZEM4_RX_CONTEXT_SIGNATURE;
  rrq->McastRxContext.Instance = Instance();
  rrq->McastRxContext.RxToken.Status = EFI_NO_MEDIA;
  rrq->McastRxContext.RxToken.Packet.RxData =
      reinterpret_cast<EFI_UDP4_RECEIVE_DATA *>(uintptr_t(0x10));
  EFI_TPL old = gBS->RaiseTPL(TPL_CALLBACK);
  Zem4RrqRxCallback(nullptr, &rrq->McastRxContext);
  gBS->RestoreTPL(old);
  EXPECT_EQ(CountLog("Ignore the useless packet"), 0u);
  ASSERT_TRUE(Finished());
  EXPECT_EQ(done_.status, EFI_ICMP_ERROR);
}

TEST_F(DispatchTest, OtherReceiveErrorsEndTheTransfer) {
  struct Case {
    EFI_STATUS receive;
    EFI_STATUS result;
  };
  ScriptedServer server(Net(), kServerIp, kServerPort);
  for (Case c : {Case{EFI_DEVICE_ERROR, EFI_DEVICE_ERROR}, Case{EFI_NO_MEDIA, EFI_ICMP_ERROR},
                 Case{EFI_PORT_UNREACHABLE, EFI_ICMP_ERROR}}) {
    done_ = Completion{};
    Start();
    RunFor(10 * kMs);
    FailNextReceives({c.receive});
    server.Send(kClientIp, ClientSends().back().datagram.srcPort, ErrorPacket(1, "unread"));
    ASSERT_TRUE(RunUntil([&] { return Probe().State() == TransferState::TimeWait; }, kSecond));
    const host::Time100ns start = Now();
    ASSERT_TRUE(Finished());
    EXPECT_EQ(done_.status, c.result);
    EXPECT_EQ(done_.time - start, 500 * kMs);
    Net().ClearCapture();
  }
}

} // namespace
} // namespace zem4::test
