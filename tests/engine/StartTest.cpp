// Transfer start-up: the request on the wire and where it goes, its
// retransmission, the wait for an address, blocking and event-driven calls.
#include "support/Globals.h"
#include "tests/common/DriverFixture.h"

namespace zem4::test {
namespace {

class StartTest : public DriverFixture {
protected:
  EFI_STATUS Start(Zem4Token &token, const char *file = "boot.efi",
                   Zem4OverrideData *override = nullptr) {
    PrepareToken(token, done_, file);
    token.CheckPacket = AcceptData;
    token.OverrideData = override;
    return Proto()->ReadFile(Proto(), &token);
  }
  std::vector<host::CaptureRecord> Requests() const {
    std::vector<host::CaptureRecord> out;
    for (const auto &record : ClientSends()) {
      if (record.datagram.payload.size() >= 2 && record.datagram.payload[1] == 1) {
        out.push_back(record);
      }
    }
    return out;
  }
};

TEST_F(StartTest, RequestWithoutOptionsGoesToTheConfiguredServer) {
  ASSERT_EQ(ConfigureDefault(), EFI_SUCCESS);
  Zem4Token &token = token_;
  ASSERT_EQ(Start(token), EFI_SUCCESS);
  RunFor(10 * kMs);
  auto sends = ClientSends();
  ASSERT_EQ(sends.size(), 1u);
  EXPECT_EQ(sends[0].datagram.payload, RrqPacket("boot.efi"));
  EXPECT_EQ(sends[0].datagram.dst, kServerIp);
  EXPECT_EQ(sends[0].datagram.dstPort, kServerPort);
  EXPECT_EQ(sends[0].datagram.src, kClientIp);
}

TEST_F(StartTest, RequestCarriesTheOptionsUnchangedAndNoModeString) {
  ASSERT_EQ(ConfigureDefault(), EFI_SUCCESS);
  Zem4Option options[] = {
      {const_cast<CHAR8 *>("multicast"), const_cast<CHAR8 *>("1")},
      {const_cast<CHAR8 *>("tsize"), const_cast<CHAR8 *>("0")},
  };
  Zem4Token &token = token_;
  PrepareToken(token, done_, "a");
  token.CheckPacket = AcceptData;
  token.ModeStr = const_cast<CHAR8 *>("octet");
  token.OptionCount = 2;
  token.OptionList = options;
  ASSERT_EQ(Proto()->ReadFile(Proto(), &token), EFI_SUCCESS);
  RunFor(10 * kMs);
  auto sends = ClientSends();
  ASSERT_EQ(sends.size(), 1u);
  const Bytes expected = {0x00, 0x01, 'a', 0x00, 'm', 'u', 'l', 't', 'i', 'c',  'a', 's',
                          't',  0x00, '1', 0x00, 't', 's', 'i', 'z', 'e', 0x00, '0', 0x00};
  EXPECT_EQ(sends[0].datagram.payload, expected) << Hex(sends[0].datagram.payload);
}

TEST_F(StartTest, ServerPortZeroMeansTheDefaultPort) {
  Zem4ConfigData config = DefaultConfig();
  config.InitialServerPort = 0;
  ASSERT_EQ(Proto()->Configure(Proto(), &config), EFI_SUCCESS);
  Zem4Token &token = token_;
  ASSERT_EQ(Start(token), EFI_SUCCESS);
  RunFor(10 * kMs);
  ASSERT_EQ(ClientSends().size(), 1u);
  EXPECT_EQ(ClientSends()[0].datagram.dstPort, 5568);
}

TEST_F(StartTest, OverrideDataRedirectsTheRequest) {
  Zem4ConfigData config = DefaultConfig();
  config.InitialServerPort = 7777;
  ASSERT_EQ(Proto()->Configure(Proto(), &config), EFI_SUCCESS);
  const host::Ipv4 other(127, 0, 1, 9);
  Zem4OverrideData override{};
  override.ServerIp = EfiIp(other);
  override.ServerPort = 6969;
  Zem4Token &token = token_;
  ASSERT_EQ(Start(token, "boot.efi", &override), EFI_SUCCESS);
  RunFor(10 * kMs);
  ASSERT_EQ(ClientSends().size(), 1u);
  EXPECT_EQ(ClientSends()[0].datagram.dst, other);
  EXPECT_EQ(ClientSends()[0].datagram.dstPort, 6969);
  EXPECT_EQ(Proto()->Configure(Proto(), nullptr), EFI_SUCCESS);

  // An override port of 0 is the default port, not the configured one.
  override.ServerPort = 0;
  ASSERT_EQ(Proto()->Configure(Proto(), &config), EFI_SUCCESS);
  Net().ClearCapture();
  ASSERT_EQ(Proto()->ReadFile(Proto(), &token), EFI_SUCCESS);
  RunFor(10 * kMs);
  ASSERT_EQ(ClientSends().size(), 1u);
  EXPECT_EQ(ClientSends()[0].datagram.dst, other);
  EXPECT_EQ(ClientSends()[0].datagram.dstPort, 5568);
}

TEST_F(StartTest, RequestIsRepeatedEveryThreeSecondsThenTimesOut) {
  ASSERT_EQ(ConfigureDefault(), EFI_SUCCESS);
  // An override time-out does not change Init mode's own period.
  Zem4OverrideData override{};
  override.ServerIp = EfiIp(kServerIp);
  override.TimeoutValue = 1;
  override.TryCount = 5;
  Zem4Token &token = token_;
  const host::Time100ns start = Now();
  ASSERT_EQ(Start(token, "boot.efi", &override), EFI_SUCCESS);
  ASSERT_TRUE(RunUntil([&] { return done_.count > 0; }, 400 * kSecond));
  EXPECT_EQ(done_.count, 1);
  EXPECT_EQ(done_.status, EFI_TIMEOUT);
  auto requests = Requests();
  ASSERT_EQ(requests.size(), 101u);
  for (size_t i = 0; i < requests.size(); i++) {
    EXPECT_EQ(requests[i].time - start, i * 3 * kSecond) << "request " << i;
    EXPECT_EQ(requests[i].datagram.payload, RrqPacket("boot.efi"));
  }
  EXPECT_EQ(ClientSends().size(), 101u);
  // 101 periods, then the half second of the silent shutdown.
  EXPECT_EQ(done_.time - start, 303 * kSecond + 500 * kMs);
  EXPECT_EQ(CountLog("Zem4RrqInitTimer: too many retries to send request\n"), 1u);
  EXPECT_EQ(Probe().State(), TransferState::Idle);
  EXPECT_TRUE(Probe().Done());
}

TEST_F(StartTest, ReplyPortIsAdoptedWhileTheRequestIsOutstanding) {
  ScriptedServer server(Net(), kServerIp, kServerPort);
  server.Expect(RrqPacket("boot.efi")).ReplyFrom(6001, OackPacket({{"tsize", "10"}}));
  // The first repair list goes to the port that answered.
  server.Expect(RplPacket(1, {{1, 0xFFFFFFFF}}))
      .ReplyFrom(6002, ErrorPacket(2, "Access violation"));
  ASSERT_EQ(ConfigureDefault(), EFI_SUCCESS);
  Zem4Token &token = token_;
  ASSERT_EQ(Start(token), EFI_SUCCESS);
  ASSERT_TRUE(RunUntil([&] { return done_.count > 0; }, 10 * kSecond));
  EXPECT_TRUE(server.Failures().empty()) << server.Failures().front();
  ASSERT_EQ(server.Log().size(), 2u);
  EXPECT_EQ(server.Log()[1].datagram.dstPort, 6001);
  // A packet from yet another port later on is still handled, without
  // moving the server port.
  EXPECT_EQ(done_.status, EFI_TFTP_ERROR);
  EXPECT_EQ(Probe().ServerPort(), 6001);
}

TEST_F(StartTest, BlockingReadFileReturnsTheTokenStatus) {
  ScriptedServer server(Net(), kServerIp, kServerPort);
  server.Expect(RrqPacket("boot.efi")).Reply(ErrorPacket(1, "File not found"));
  ASSERT_EQ(ConfigureDefault(), EFI_SUCCESS);
  Zem4Token &token = token_;
  token.Filename = const_cast<CHAR8 *>("boot.efi");
  token.CheckPacket = AcceptData;
  token.Status = EFI_SUCCESS;
  EXPECT_EQ(Proto()->ReadFile(Proto(), &token), EFI_TFTP_ERROR);
  EXPECT_EQ(token.Status, EFI_TFTP_ERROR);
  EXPECT_EQ(Probe().State(), TransferState::Idle);
  EXPECT_TRUE(Probe().Done());
  EXPECT_EQ(CountLog("Zem4RrqInitRcvError: received an error packet(1) from server\n"), 1u);
}

TEST_F(StartTest, EventDrivenReadFileReturnsAtOnceAndSignalsOnce) {
  ScriptedServer server(Net(), kServerIp, kServerPort);
  server.Expect(RrqPacket("boot.efi")).Reply(ErrorPacket(9, "Not ready"));
  host::FaultProfile slow;
  slow.delay = 100 * kMs;
  Net().SetDefaultProfile(slow);
  ASSERT_EQ(ConfigureDefault(), EFI_SUCCESS);
  Zem4Token &token = token_;
  const host::Time100ns start = Now();
  ASSERT_EQ(Start(token), EFI_SUCCESS);
  EXPECT_EQ(Now(), start);
  EXPECT_EQ(Probe().State(), TransferState::RrqSent);
  EXPECT_EQ(done_.count, 0);
  ASSERT_TRUE(RunUntil([&] { return done_.count > 0; }, 10 * kSecond));
  RunFor(10 * kSecond);
  EXPECT_EQ(done_.count, 1);
  EXPECT_EQ(done_.status, EFI_NOT_READY);
  EXPECT_EQ(token.Status, EFI_NOT_READY);
}

class AddressWaitTest : public StartTest {
protected:
  // A second controller, whose default address comes late.
  static constexpr host::Ipv4 kLateIp{127, 0, 1, 3};
  void UseDelay(host::Time100ns delay, host::Ipv4 address = kLateIp) {
    UseNewController(address, delay);
    ConfigureDefaultSetting();
  }
  void ConfigureDefaultSetting() {
    Zem4ConfigData config = DefaultConfig();
    config.UseDefaultSetting = TRUE;
    config.StationIp = EfiIp(host::Ipv4(0, 0, 0, 0));
    config.SubnetMask = EfiIp(host::Ipv4(0, 0, 0, 0));
    ASSERT_EQ(Proto()->Configure(Proto(), &config), EFI_SUCCESS);
  }
};

TEST_F(AddressWaitTest, WaitRunsOutAfterThreeTimeoutsOfTheOverrideOrOfTheLastStart) {
  UseDelay(700 * kSecond);
  // Without override data the time-out is the one the last start left (on a
  // new child, the default 3 s); with it, its own (0: the default). 100 s x 3
  // is 3e9 units of 100 ns: past what 32 bits (signed or not) hold.
  const struct {
    bool override;
    UINT16 timeout;
    host::Time100ns wait;
  } rows[] = {{false, 0, 9 * kSecond}, {true, 2, 6 * kSecond},     {false, 0, 6 * kSecond},
              {true, 0, 9 * kSecond},  {true, 100, 300 * kSecond}, {false, 0, 300 * kSecond}};
  for (const auto &row : rows) {
    Zem4OverrideData override{};
    override.TimeoutValue = row.timeout;
    ClearLogs();
    const host::Time100ns start = Now();
    EXPECT_EQ(Start(token_, "boot.efi", row.override ? &override : nullptr), EFI_NO_MAPPING);
    EXPECT_EQ(Now() - start, row.wait) << "override " << row.override << ", " << row.timeout;
    std::vector<std::string> logs = Logs();
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0].rfind("Udp->Configure return No mapping,UdpIo=", 0), 0u) << logs[0];
  }
  EXPECT_EQ(Probe().State(), TransferState::Idle);
  EXPECT_FALSE(Probe().HoldsWindow());
  EXPECT_TRUE(ClientSends().empty());
  EXPECT_EQ(done_.count, 0);
}

TEST_F(AddressWaitTest, FixedAddressDoesNotWait) {
  UseNewController(kLateIp, 60 * kSecond);
  Zem4ConfigData config = DefaultConfig();
  config.StationIp = EfiIp(kLateIp);
  ASSERT_EQ(Proto()->Configure(Proto(), &config), EFI_SUCCESS);
  Zem4Token &token = token_;
  const host::Time100ns start = Now();
  ASSERT_EQ(Start(token), EFI_SUCCESS);
  EXPECT_EQ(Now(), start);
  RunFor(10 * kMs);
  ASSERT_EQ(Requests().size(), 1u);
  EXPECT_EQ(Fw().Faults().Count("Udp4.GetModeData"), 0u);
}

// Something a boot manager's own timer does while ReadFile waits for an
// address: run at TPL_CALLBACK from inside the wait's polling.
VOID EFIAPI RunClosure(EFI_EVENT, VOID *Context) {
  (*static_cast<std::function<void()> *>(Context))();
}

TEST_F(AddressWaitTest, CallsDuringTheWaitFindTheChildBusy) {
  enum class Act { DestroyChild, ConfigureNull, NestedReadFile };
  const struct {
    const char *name;
    Act act;
    EFI_STATUS inner; // what the call inside the wait returns
    EFI_STATUS outer; // what the waiting ReadFile returns
    size_t requests;  // requests on the wire afterwards
  } cases[] = {
      {"DestroyChild", Act::DestroyChild, EFI_SUCCESS, EFI_ABORTED, 0},
      {"Configure with no data", Act::ConfigureNull, EFI_SUCCESS, EFI_ABORTED, 0},
      {"a nested ReadFile", Act::NestedReadFile, EFI_ACCESS_DENIED, EFI_SUCCESS, 1},
  };
  uint8_t station = 20;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    UseDelay(5 * kSecond, host::Ipv4(127, 0, 1, station++));
    Net().ClearCapture();
    Completion nested;
    Zem4Token nestedToken;
    PrepareToken(nestedToken, nested, "nested.efi");
    nestedToken.CheckPacket = AcceptData;
    EFI_STATUS inner = EFI_NOT_READY;
    Zem4Instance *waiting = Instance();
    std::function<void()> body = [&] {
      switch (c.act) {
      case Act::DestroyChild:
        instance_ = nullptr;
        inner =
            host_->DestroyChild(controllerHandle_, InstanceProbe(ProtoOf(waiting)).ChildHandle());
        break;
      case Act::ConfigureNull:
        inner = ProtoOf(waiting)->Configure(ProtoOf(waiting), nullptr);
        break;
      case Act::NestedReadFile:
        inner = ProtoOf(waiting)->ReadFile(ProtoOf(waiting), &nestedToken);
        break;
      }
    };
    EFI_EVENT timer = nullptr;
    ASSERT_EQ(
        gBS->CreateEvent(EVT_TIMER | EVT_NOTIFY_SIGNAL, TPL_CALLBACK, RunClosure, &body, &timer),
        EFI_SUCCESS);
    ASSERT_EQ(gBS->SetTimer(timer, TimerRelative, 1 * kSecond), EFI_SUCCESS);
    PrepareToken(token_, done_, "boot.efi");
    token_.CheckPacket = AcceptData;
    const host::Time100ns start = Now();
    EXPECT_EQ(ProtoOf(waiting)->ReadFile(ProtoOf(waiting), &token_), c.outer);
    gBS->CloseEvent(timer);
    EXPECT_EQ(inner, c.inner);
    if (c.outer == EFI_ABORTED) {
      EXPECT_LT(Now() - start, 2 * kSecond) << "the wait ends with the call";
    }
    RunFor(2 * kSecond); // within the request's first period
    EXPECT_EQ(Requests().size(), c.requests);
    EXPECT_EQ(nested.count, 0);
    EXPECT_EQ(done_.count, 0) << "a refused start completes no token";
    if (instance_ != nullptr) {
      EXPECT_EQ(Proto()->Configure(Proto(), nullptr), EFI_SUCCESS);
      EXPECT_EQ(Probe().State(), TransferState::Idle);
      EXPECT_FALSE(Probe().HoldsWindow());
    }
    done_ = Completion{};
  }
}

TEST_F(AddressWaitTest, FromCallbackLevelTheStartCannotWaitAndSaysSoAtOnce) {
  UseDelay(5 * kSecond);
  const host::Time100ns start = Now();
  EFI_TPL old = gBS->RaiseTPL(TPL_CALLBACK);
  EXPECT_EQ(Start(token_), EFI_NO_MAPPING);
  EXPECT_EQ(Now(), start);
  gBS->RestoreTPL(old);
  std::vector<std::string> logs = Logs();
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_EQ(logs[0].rfind("Udp->Configure return No mapping,UdpIo=", 0), 0u) << logs[0];
  EXPECT_EQ(Probe().State(), TransferState::Idle);
  EXPECT_FALSE(Probe().HoldsWindow());
  EXPECT_EQ(done_.count, 0);

  // From the caller's own level the same token waits and goes out.
  ASSERT_EQ(Proto()->ReadFile(Proto(), &token_), EFI_SUCCESS);
  EXPECT_GE(Now() - start, 5 * kSecond);
  RunFor(10 * kMs);
  EXPECT_EQ(Requests().size(), 1u);
}

// The address is seen by Configure succeeding, so neither published layout
// of the IPv4 mode data is read, and both kinds of stack serve.
class AddressLayoutTest : public AddressWaitTest,
                          public ::testing::WithParamInterface<host::Ip4ModeLayout> {};

TEST_P(AddressLayoutTest, TheWaitEndsWhenTheAddressComes) {
  UseDelay(5 * kSecond);
  Controller().SetIp4ModeLayout(GetParam());
  Zem4Token &token = token_;
  const host::Time100ns start = Now();
  ASSERT_EQ(Start(token), EFI_SUCCESS);
  EXPECT_GE(Now() - start, 5 * kSecond);
  EXPECT_LT(Now() - start, 6 * kSecond);
  EXPECT_EQ(Fw().Faults().Count("Udp4.GetModeData"), 0u);
  RunFor(10 * kMs);
  ASSERT_EQ(Requests().size(), 1u);
  EXPECT_EQ(Requests()[0].datagram.src, kLateIp);
  EXPECT_EQ(Probe().State(), TransferState::RrqSent);
}

INSTANTIATE_TEST_SUITE_P(Layouts, AddressLayoutTest,
                         ::testing::Values(host::Ip4ModeLayout::Current,
                                           host::Ip4ModeLayout::Uefi20),
                         [](const ::testing::TestParamInfo<host::Ip4ModeLayout> &info) {
                           return std::string(
                               info.param == host::Ip4ModeLayout::Current ? "Current" : "Uefi20");
                         });

} // namespace
} // namespace zem4::test
