// ReadFile and ReadDirectory: every argument and state check, in its order,
// and that a refused call leaves no trace (nothing sent, UDP4 untouched).
#include "host/FaultInjector.h"
#include "support/Globals.h"
#include "tests/common/DriverFixture.h"

namespace zem4::test {
namespace {

class ReadFileCheckTest : public DriverFixture {
protected:
  // A token that passes every check.
  void ValidToken(Zem4Token &token) {
    token = Zem4Token{};
    token.Filename = const_cast<CHAR8 *>("boot.efi");
    token.Event = MakeEvent(completion_);
    token.CheckPacket = AcceptData;
    completion_.token = &token;
  }
  uint64_t UdpCalls() const {
    uint64_t total = 0;
    for (const auto &[name, count] : fw_->Faults().Counts()) {
      if (name.rfind("Udp4.", 0) == 0) {
        total += count;
      }
    }
    return total;
  }
  Completion completion_;
};

TEST_F(ReadFileCheckTest, NullThisOrTokenIsLogged) {
  Zem4Token &token = token_;
  ValidToken(token);
  EXPECT_EQ(Proto()->ReadFile(nullptr, &token), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Proto()->ReadFile(Proto(), nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Proto()->ReadDirectory(Proto(), nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(CountLog("Zem.Read function called with invalid paramter.\n"), 3u);
}

TEST_F(ReadFileCheckTest, ChecksComeInTheirOrder) {
  // Unconfigured and with a null file name: the token check wins, unlogged.
  Zem4Token &token = token_;
  ValidToken(token);
  token.Filename = nullptr;
  EXPECT_EQ(Proto()->ReadFile(Proto(), &token), EFI_INVALID_PARAMETER);

  ValidToken(token);
  token.OptionCount = 1;
  EXPECT_EQ(Proto()->ReadFile(Proto(), &token), EFI_INVALID_PARAMETER);
  EXPECT_TRUE(Logs().empty());

  // The option check comes before the buffer check and the state checks.
  Zem4Option restart{const_cast<CHAR8 *>("Restart"), const_cast<CHAR8 *>("1")};
  ValidToken(token);
  token.CheckPacket = nullptr;
  token.OptionCount = 1;
  token.OptionList = &restart;
  EXPECT_EQ(Proto()->ReadFile(Proto(), &token), EFI_UNSUPPORTED);
  std::vector<std::string> logs = Logs();
  ASSERT_EQ(logs.size(), 2u);
  EXPECT_EQ(logs[0], "Zem4CheckOption(504): Unsupported\n");
  EXPECT_EQ(logs[1], "Zem4InitPrivate: failed to check option\n");

  // Without CheckPacket a non-empty buffer is needed, before the state checks.
  ValidToken(token);
  token.CheckPacket = nullptr;
  EXPECT_EQ(Proto()->ReadFile(Proto(), &token), EFI_INVALID_PARAMETER);
  UINT8 buffer[8];
  token.Buffer = buffer;
  EXPECT_EQ(Proto()->ReadFile(Proto(), &token), EFI_INVALID_PARAMETER);
  token.BufferSize = sizeof(buffer);
  EXPECT_EQ(Proto()->ReadFile(Proto(), &token), EFI_NOT_STARTED);
  // With CheckPacket, a null buffer is fine.
  ValidToken(token);
  EXPECT_EQ(Proto()->ReadFile(Proto(), &token), EFI_NOT_STARTED);

  // Override data is checked last.
  ASSERT_EQ(ConfigureDefault(), EFI_SUCCESS);
  Zem4OverrideData override{};
  override.ServerIp = EfiIp(host::Ipv4(224, 1, 1, 1));
  ValidToken(token);
  token.OverrideData = &override;
  EXPECT_EQ(Proto()->ReadFile(Proto(), &token), EFI_INVALID_PARAMETER);
  override.ServerIp = EfiIp(kServerIp);
  override.GatewayIp = EfiIp(host::Ipv4(127, 0, 9, 1)); // outside the station's subnet
  EXPECT_EQ(Proto()->ReadFile(Proto(), &token), EFI_INVALID_PARAMETER);
  override.GatewayIp = EfiIp(host::Ipv4(240, 0, 0, 1)); // class E; the subnet test comes first
  EXPECT_EQ(Proto()->ReadFile(Proto(), &token), EFI_INVALID_PARAMETER);

  EXPECT_EQ(UdpCalls(), 0u);
  EXPECT_TRUE(ClientSends().empty());
  EXPECT_EQ(completion_.count, 0);
}

TEST_F(ReadFileCheckTest, OverrideGatewayIsNotCheckedWithDefaultSetting) {
  Zem4ConfigData config = DefaultConfig();
  config.UseDefaultSetting = TRUE;
  ASSERT_EQ(Proto()->Configure(Proto(), &config), EFI_SUCCESS);
  Zem4OverrideData override{};
  override.ServerIp = EfiIp(kServerIp);
  override.GatewayIp = EfiIp(host::Ipv4(250, 0, 0, 1));
  const struct {
    const char *what;
    Zem4OverrideData *override;
    host::Ipv4 server;
    EFI_STATUS expected;
  } cases[] = {
      {"class E gateway", &override, kServerIp, EFI_SUCCESS},
      {"class D server", &override, host::Ipv4(230, 0, 0, 1), EFI_INVALID_PARAMETER},
      {"no override", nullptr, kServerIp, EFI_SUCCESS},
  };
  for (const auto &c : cases) {
    override.ServerIp = EfiIp(c.server);
    Zem4Token &token = token_;
    ValidToken(token);
    token.OverrideData = c.override;
    const uint64_t udpBefore = UdpCalls();
    EXPECT_EQ(Proto()->ReadFile(Proto(), &token), c.expected) << c.what;
    if (c.expected == EFI_SUCCESS) {
      EXPECT_EQ(Probe().State(), TransferState::RrqSent) << c.what;
      EXPECT_EQ(Proto()->Configure(Proto(), nullptr), EFI_SUCCESS);
      ASSERT_EQ(Proto()->Configure(Proto(), &config), EFI_SUCCESS);
    } else {
      EXPECT_EQ(UdpCalls(), udpBefore) << c.what << ": refused before UDP4 is touched";
      EXPECT_EQ(Probe().State(), TransferState::Idle) << c.what;
    }
  }
}

TEST_F(ReadFileCheckTest, SecondReadFileIsDeniedAndLeavesTheFirstAlone) {
  ScriptedServer server(Net(), kServerIp, kServerPort);
  server.Expect(RrqPacket("boot.efi"));
  ASSERT_EQ(ConfigureDefault(), EFI_SUCCESS);
  Zem4Token &first = token_;
  ValidToken(first);
  ASSERT_EQ(Proto()->ReadFile(Proto(), &first), EFI_SUCCESS);
  Completion second;
  Zem4Token other;
  PrepareToken(other, second, "other");
  other.CheckPacket = AcceptData;
  EXPECT_EQ(Proto()->ReadFile(Proto(), &other), EFI_ACCESS_DENIED);
  Zem4ConfigData config = DefaultConfig();
  EXPECT_EQ(Proto()->Configure(Proto(), &config), EFI_ACCESS_DENIED);
  EXPECT_EQ(Probe().Token(), &first);
  EXPECT_EQ(Probe().State(), TransferState::RrqSent);
  RunFor(1 * kSecond);
  EXPECT_TRUE(server.ScriptDone());
  EXPECT_TRUE(server.Failures().empty());
  EXPECT_EQ(Proto()->Configure(Proto(), nullptr), EFI_SUCCESS);
  EXPECT_EQ(completion_.count, 1);
  EXPECT_EQ(completion_.status, EFI_ABORTED);
  EXPECT_EQ(second.count, 0);
}

TEST_F(ReadFileCheckTest, ReadDirectoryChecksThenRefusesWithoutTouchingUdp) {
  Zem4Token &token = token_;
  ValidToken(token);
  token.Filename = nullptr;
  EXPECT_EQ(Proto()->ReadDirectory(Proto(), &token), EFI_INVALID_PARAMETER);
  ValidToken(token);
  EXPECT_EQ(Proto()->ReadDirectory(Proto(), &token), EFI_NOT_STARTED);
  ASSERT_EQ(ConfigureDefault(), EFI_SUCCESS);
  // A directory read needs no data sink: the buffer check is ReadFile's.
  token.CheckPacket = nullptr;
  EXPECT_EQ(Proto()->ReadDirectory(Proto(), &token), EFI_UNSUPPORTED);
  EXPECT_EQ(UdpCalls(), 0u);
  EXPECT_EQ(Probe().State(), TransferState::Idle);
  RunFor(1 * kSecond);
  EXPECT_TRUE(ClientSends().empty());
  EXPECT_EQ(completion_.count, 0);
}

TEST_F(ReadFileCheckTest, BlockingCallAtCallbackLevelOrAboveIsRefused) {
  ASSERT_EQ(ConfigureDefault(), EFI_SUCCESS);
  Zem4Token &token = token_;
  ValidToken(token);
  token.Event = nullptr;
  for (EFI_TPL tpl : {EFI_TPL(TPL_CALLBACK), EFI_TPL(TPL_NOTIFY)}) {
    EFI_TPL old = gBS->RaiseTPL(tpl);
    EXPECT_EQ(Proto()->ReadFile(Proto(), &token), EFI_INVALID_PARAMETER);
    gBS->RestoreTPL(old);
  }
  EXPECT_EQ(Probe().State(), TransferState::Idle);
  EXPECT_EQ(UdpCalls(), 0u);
  // GetInfo always blocks.
  UINT32 length = 0;
  VOID *packet = nullptr;
  EFI_TPL old = gBS->RaiseTPL(TPL_CALLBACK);
  EXPECT_EQ(Proto()->GetInfo(Proto(), nullptr, const_cast<CHAR8 *>("f"), nullptr, 0, nullptr,
                             &length, &packet),
            EFI_INVALID_PARAMETER);
  gBS->RestoreTPL(old);
  EXPECT_EQ(packet, nullptr);
  // An event-driven call at TPL_CALLBACK is fine: it does not wait.
  Completion done;
  Zem4Token async;
  PrepareToken(async, done, "f");
  async.CheckPacket = AcceptData;
  old = gBS->RaiseTPL(TPL_CALLBACK);
  EXPECT_EQ(Proto()->ReadFile(Proto(), &async), EFI_SUCCESS);
  gBS->RestoreTPL(old);
  EXPECT_EQ(Proto()->Configure(Proto(), nullptr), EFI_SUCCESS);
  EXPECT_EQ(done.count, 1);
}

// A buffer whose end (Buffer + BufferSize) lies beyond the address space:
// the size cannot be what the caller has, and block offsets would wrap.
TEST_F(ReadFileCheckTest, ABufferWhoseEndDoesNotFitTheAddressSpaceIsRefused) {
  ASSERT_EQ(ConfigureDefault(), EFI_SUCCESS);
  static UINT8 storage[64];
  const UINT64 room = UINT64(UINTN(~UINTN(0)) - reinterpret_cast<UINTN>(storage));
  const struct {
    UINT64 size;
    EFI_STATUS expected;
  } cases[] = {
      {room, EFI_SUCCESS},                      // ends on the last address
      {room + 1, EFI_INVALID_PARAMETER},        // one past it
      {room + 1 + 1032, EFI_INVALID_PARAMETER}, // wraps to just past one block
      {~UINT64(0), EFI_INVALID_PARAMETER},
  };
  for (const auto &c : cases) {
    Zem4Token &token = token_;
    ValidToken(token);
    token.CheckPacket = nullptr;
    token.Buffer = storage;
    token.BufferSize = c.size;
    const uint64_t udpBefore = UdpCalls();
    EXPECT_EQ(Proto()->ReadFile(Proto(), &token), c.expected) << c.size;
    if (c.expected == EFI_SUCCESS) {
      EXPECT_EQ(Proto()->Configure(Proto(), nullptr), EFI_SUCCESS);
      ASSERT_EQ(ConfigureDefault(), EFI_SUCCESS);
    } else {
      EXPECT_EQ(UdpCalls(), udpBefore) << "refused before UDP4 is touched";
      EXPECT_EQ(Probe().State(), TransferState::Idle);
    }
  }
}

} // namespace
} // namespace zem4::test
