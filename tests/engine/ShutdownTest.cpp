// The end of a transfer: Configure with no data, the caller's cancellation,
// the silent shutdown with sends pending, and a caller that ends or restarts
// the transfer from inside its own routines.
#include "protocol/Zem4Rrq.h"
#include "support/Globals.h"
#include "tests/common/DriverFixture.h"
#include "transport/Zem4Packet.h"

#include <numeric>

namespace zem4::test {
namespace {

class ShutdownTest : public DriverFixture {
protected:
  // What the caller's routines do; set per test.
  std::function<EFI_STATUS(Zem4 *, Zem4Token *, UINT32, VOID *)> onData;
  std::function<EFI_STATUS(Zem4 *, Zem4Token *)> onTimer;
  Bytes received;
  int dataCalls = 0;
  int timerCalls = 0;

  static ShutdownTest *Self(Zem4Token *token) {
    return static_cast<ShutdownTest *>(token->Context);
  }

  static EFI_STATUS EFIAPI Data(Zem4 *This, Zem4Token *Token, UINT32 Length, VOID *Buffer) {
    ShutdownTest *self = Self(Token);
    self->dataCalls++;
    const auto *p = static_cast<const uint8_t *>(Buffer);
    self->received.insert(self->received.end(), p, p + Length);
    return self->onData ? self->onData(This, Token, Length, Buffer) : EFI_SUCCESS;
  }
  static EFI_STATUS EFIAPI Timer(Zem4 *This, Zem4Token *Token) {
    ShutdownTest *self = Self(Token);
    self->timerCalls++;
    return self->onTimer ? self->onTimer(This, Token) : EFI_SUCCESS;
  }

  void StartDownload(const char *file = "boot.efi") {
    ASSERT_EQ(ConfigureDefault(), EFI_SUCCESS);
    PrepareToken(token_, done_, file);
    token_.Context = this;
    token_.CheckPacket = Data;
    token_.TimeoutCallback = Timer;
    ASSERT_EQ(Proto()->ReadFile(Proto(), &token_), EFI_SUCCESS);
  }

  // A download whose caller's routine (the one `calls` counts) destroys the
  // child on its first call: the token completes once, aborted, and nothing
  // more reaches the caller.
  void DestroyTheChildFromInside(const int &calls, host::Time100ns limit) {
    StartDownload();
    ASSERT_TRUE(RunUntil([&] { return done_.count > 0; }, limit));
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(done_.status, EFI_ABORTED);
    RunFor(5 * kSecond);
    EXPECT_EQ(done_.count, 1);
  }
  void DestroyTheChildFromCheckPacket(size_t fileSize) {
    ScriptedServer server(Net(), kServerIp, kServerPort);
    server.SetHandler(FileResponder(File(fileSize), 6001));
    onData = [this](Zem4 *, Zem4Token *, UINT32, VOID *) {
      DestroyMainInstance();
      return EFI_SUCCESS;
    };
    DestroyTheChildFromInside(dataCalls, 30 * kSecond);
  }

  static Bytes File(size_t size) {
    Bytes file(size);
    for (size_t i = 0; i < size; i++) {
      file[i] = static_cast<uint8_t>(i * 7 + i / 1032);
    }
    return file;
  }
};

TEST_F(ShutdownTest, WholeSmallDownloadReachesTheCaller) {
  ScriptedServer server(Net(), kServerIp, kServerPort);
  Bytes file = File(3000);
  server.SetHandler(FileResponder(file, 6001));
  StartDownload();
  ASSERT_TRUE(RunUntil([&] { return done_.count > 0; }, 30 * kSecond)) << Net().Describe();
  EXPECT_EQ(done_.status, EFI_SUCCESS);
  EXPECT_EQ(received, file);
  EXPECT_EQ(done_.count, 1);
}

TEST_F(ShutdownTest, ConfigureWithoutDataAbortsARunningTransferSilently) {
  ScriptedServer server(Net(), kServerIp, kServerPort);
  server.Expect(RrqPacket("boot.efi"));
  StartDownload();
  RunFor(1 * kSecond);
  ASSERT_EQ(Probe().State(), TransferState::RrqSent);
  EXPECT_EQ(Proto()->Configure(Proto(), nullptr), EFI_SUCCESS);
  EXPECT_EQ(done_.count, 1);
  EXPECT_EQ(done_.status, EFI_ABORTED);
  EXPECT_EQ(Probe().State(), TransferState::Idle);
  EXPECT_FALSE(Probe().Configured());
  EXPECT_FALSE(Probe().HoldsRequest());
  EXPECT_FALSE(Probe().HoldsWindow());
  RunFor(10 * kSecond);
  EXPECT_EQ(ClientSends().size(), 1u);
  EXPECT_EQ(done_.count, 1);
  // Unconfigured now: nothing starts until Configure again.
  Completion again;
  Zem4Token other;
  PrepareToken(other, again, "x");
  other.CheckPacket = Data;
  other.Context = this;
  EXPECT_EQ(Proto()->ReadFile(Proto(), &other), EFI_NOT_STARTED);
}

TEST_F(ShutdownTest, BlockingReadFileReturnsAbortedWhenConfiguredAwayOrDestroyed) {
  ScriptedServer server(Net(), kServerIp, kServerPort);
  for (bool destroy : {false, true}) {
    SCOPED_TRACE(destroy ? "destroyed" : "configured away");
    ASSERT_EQ(ConfigureDefault(), EFI_SUCCESS);
    // Not the last child: its UDP4 child goes with it.
    Zem4Instance *sibling = CreateInstance();
    // Another component drops the configuration from a timer of its own, or
    // destroys the child from one due at once, which fires at the wait's next
    // call into the firmware, outside UDP4's Poll.
    EFI_EVENT destroyer = Fw().CreateHostEvent(EVT_TIMER | EVT_NOTIFY_SIGNAL, TPL_CALLBACK,
                                               [this](EFI_EVENT) { DestroyMainInstance(); });
    EFI_EVENT timer =
        Fw().CreateHostEvent(EVT_TIMER | EVT_NOTIFY_SIGNAL, TPL_CALLBACK, [&](EFI_EVENT) {
          destroy ? (void)gBS->SetTimer(destroyer, TimerRelative, 0)
                  : (void)Proto()->Configure(Proto(), nullptr);
        });
    gBS->SetTimer(timer, TimerRelative, 4 * kSecond);
    token_ = Zem4Token{};
    token_.Filename = const_cast<CHAR8 *>("boot.efi");
    token_.Context = this;
    token_.CheckPacket = Data;
    const host::Time100ns start = Now();
    const size_t sendsBefore = ClientSends().size();
    EXPECT_EQ(Proto()->ReadFile(Proto(), &token_), EFI_ABORTED);
    EXPECT_EQ(Now() - start, 4 * kSecond);
    EXPECT_EQ(token_.Status, EFI_ABORTED);
    // The request and its one retransmission at 3 s, nothing more.
    EXPECT_EQ(ClientSends().size() - sendsBefore, 2u);
    Fw().CloseEvent(timer);
    Fw().CloseEvent(destroyer);
    DestroyInstance(sibling);
  }
}

TEST_F(ShutdownTest, TimeoutCallbackCancelsWithinHalfASecondWithNothingSent) {
  ScriptedServer server(Net(), kServerIp, kServerPort);
  server.Expect(RrqPacket("boot.efi"));
  onTimer = [](Zem4 *, Zem4Token *) { return EFI_ABORTED; };
  const host::Time100ns start = Now();
  StartDownload();
  ASSERT_TRUE(RunUntil([&] { return done_.count > 0; }, 10 * kSecond));
  EXPECT_EQ(timerCalls, 1);
  EXPECT_EQ(done_.status, EFI_ABORTED);
  // Asked at the first period (3 s); the shutdown takes at most 500 ms more.
  EXPECT_GE(done_.time - start, 3 * kSecond);
  EXPECT_LE(done_.time - start, 3 * kSecond + 500 * kMs);
  EXPECT_EQ(ClientSends().size(), 1u);
  EXPECT_EQ(CountLog("Zem4RrqTimer: User cancled the download process\n"), 1u);
  RunFor(10 * kSecond);
  EXPECT_EQ(timerCalls, 1);
  EXPECT_EQ(done_.count, 1);
}

TEST_F(ShutdownTest, TimeoutCallbackIsNotAskedWhileAnErrorLingers) {
  ScriptedServer server(Net(), kServerIp, kServerPort);
  // A malformed OACK (its value lacks the NUL) is answered with an error
  // packet; the two seconds after it are the error's, not the caller's.
  Bytes bad = OackPacket({{"tsize", "10"}});
  bad.pop_back();
  server.Expect(RrqPacket("boot.efi")).Reply(bad);
  StartDownload();
  ASSERT_TRUE(RunUntil([&] { return done_.count > 0; }, 10 * kSecond));
  EXPECT_EQ(done_.status, EFI_DEVICE_ERROR);
  EXPECT_EQ(timerCalls, 0);
}

TEST_F(ShutdownTest, SilentShutdownWaitsForPendingSendsOrItsTimer) {
  ScriptedServer server(Net(), kServerIp, kServerPort);
  server.Expect(RrqPacket("boot.efi"));
  StartDownload();
  RunFor(1 * kSecond);
  ASSERT_EQ(Probe().PendingSends(), 0u);

  // Two sends in flight, then the shutdown: the second completion finishes.
  EFI_TPL old = gBS->RaiseTPL(TPL_CALLBACK);
  Zem4Packet *request = Probe().RequestPacket();
  ASSERT_EQ(Zem4ResendPacket(request, Instance(), Zem4PacketInFlight(request), Zem4RrqSendComplete),
            EFI_SUCCESS);
  ASSERT_EQ(Zem4ResendPacket(request, Instance(), Zem4PacketInFlight(request), Zem4RrqSendComplete),
            EFI_SUCCESS);
  EXPECT_EQ(Probe().PendingSends(), 2u);
  Zem4RrqSilentShutdown(Instance());
  const host::Time100ns start = Now();
  gBS->RestoreTPL(old);
  ASSERT_TRUE(RunUntil([&] { return done_.count > 0; }, 1 * kSecond));
  EXPECT_LT(done_.time - start, 500 * kMs);
  EXPECT_EQ(done_.status, EFI_SUCCESS);
  EXPECT_EQ(Probe().PendingSends(), 0u);
  RunFor(2 * kSecond);
  EXPECT_EQ(done_.count, 1);
  EXPECT_EQ(ClientSends().size(), 3u);
}

TEST_F(ShutdownTest, SilentShutdownWithoutSendsEndsAtItsTimer) {
  ScriptedServer server(Net(), kServerIp, kServerPort);
  StartDownload();
  RunFor(1 * kSecond);
  EFI_TPL old = gBS->RaiseTPL(TPL_CALLBACK);
  InstanceRig(Proto()).InjectStatus(EFI_TIMEOUT);
  Zem4RrqSilentShutdown(Instance());
  const host::Time100ns start = Now();
  gBS->RestoreTPL(old);
  ASSERT_TRUE(RunUntil([&] { return done_.count > 0; }, 2 * kSecond));
  EXPECT_EQ(done_.time - start, 500 * kMs);
  EXPECT_EQ(done_.status, EFI_TIMEOUT);
  RunFor(2 * kSecond);
  EXPECT_EQ(done_.count, 1);
}

TEST(SetTimerTest, PeriodsBeyond429SecondsAreNotCutShort) {
  DriverHost host;
  ASSERT_EQ(host.Load(), EFI_SUCCESS);
  int fired = 0;
  EFI_EVENT timer = host.Fw().CreateHostEvent(EVT_TIMER | EVT_NOTIFY_SIGNAL, TPL_CALLBACK,
                                              [&](EFI_EVENT) { fired++; });
  const host::Time100ns start = host.Fw().Now();
  Zem4SetTimer(430, timer, 250);
  host.RunUntil([&] { return fired > 0; }, 1000 * kSecond);
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(host.Fw().Now() - start, 430 * kSecond + 250 * kMs);
  // Re-arming replaces the previous period.
  Zem4SetTimer(5, timer, 0);
  Zem4SetTimer(0, timer, 20);
  const host::Time100ns again = host.Fw().Now();
  host.RunUntil([&] { return fired > 1; }, 10 * kSecond);
  EXPECT_EQ(host.Fw().Now() - again, 20 * kMs);
  host.RunUntil([] { return false; }, 10 * kSecond);
  EXPECT_EQ(fired, 2);
  host.Fw().CloseEvent(timer);
  EXPECT_TRUE(host.TearDown().empty());
}

TEST_F(ShutdownTest, CheckPacketMayDropTheConfiguration) {
  ScriptedServer server(Net(), kServerIp, kServerPort);
  server.SetHandler(FileResponder(File(70 * 1032), 6001));
  onData = [this](Zem4 *This, Zem4Token *, UINT32, VOID *) {
    EXPECT_EQ(This->Configure(This, nullptr), EFI_SUCCESS);
    return EFI_SUCCESS;
  };
  StartDownload();
  ASSERT_TRUE(RunUntil([&] { return done_.count > 0; }, 30 * kSecond));
  EXPECT_EQ(dataCalls, 1);
  EXPECT_EQ(done_.status, EFI_ABORTED);
  EXPECT_EQ(Probe().State(), TransferState::Idle);
  RunFor(5 * kSecond);
  EXPECT_EQ(done_.count, 1);
  EXPECT_EQ(dataCalls, 1);
}

TEST_F(ShutdownTest, CheckPacketMayDestroyTheChild) {
  DestroyTheChildFromCheckPacket(70 * 1032);
}

TEST_F(ShutdownTest, CheckPacketMayDestroyTheChildDuringTheFinFlush) {
  // Too short for a half window: the data reaches the caller at the FIN.
  DestroyTheChildFromCheckPacket(3 * 1032 + 1);
}

TEST_F(ShutdownTest, CheckPacketRefusalEndsTheTransferAborted) {
  ScriptedServer server(Net(), kServerIp, kServerPort);
  server.SetHandler(FileResponder(File(3 * 1032 + 1), 6001));
  onData = [](Zem4 *, Zem4Token *, UINT32, VOID *) { return EFI_VOLUME_FULL; };
  StartDownload();
  ASSERT_TRUE(RunUntil([&] { return done_.count > 0; }, 30 * kSecond));
  EXPECT_EQ(done_.status, EFI_ABORTED);
  EXPECT_EQ(CountLog("Zem4RrqSaveBlk: user's check packet returns Volume Full\n"), 1u);
}

TEST_F(ShutdownTest, TimeoutCallbackMayDestroyTheChild) {
  ScriptedServer server(Net(), kServerIp, kServerPort);
  onTimer = [this](Zem4 *, Zem4Token *) {
    DestroyMainInstance();
    return EFI_SUCCESS;
  };
  ASSERT_NO_FATAL_FAILURE(DestroyTheChildFromInside(timerCalls, 10 * kSecond));
  EXPECT_EQ(ClientSends().size(), 1u);
}

TEST_F(ShutdownTest, TokenEventAboveCallbackCannotStartTheNextTransfer) {
  ScriptedServer server(Net(), kServerIp, kServerPort);
  server.Expect(RrqPacket("first")).Reply(ErrorPacket(1, "File not found"));
  ASSERT_EQ(ConfigureDefault(), EFI_SUCCESS);

  Completion second;
  Zem4Token next;
  PrepareToken(next, second, "second");
  next.CheckPacket = Data;
  next.Context = this;
  EFI_STATUS restart = EFI_NOT_READY;
  // A notification above TPL_CALLBACK runs inside the finish itself, where a
  // new transfer would have to call UDP4 above its limit: it is refused.
  Completion first;
  first.onSignal = [&] { restart = Proto()->ReadFile(Proto(), &next); };
  token_ = Zem4Token{};
  token_.Filename = const_cast<CHAR8 *>("first");
  token_.Context = this;
  token_.CheckPacket = Data;
  token_.Event = MakeEvent(first, TPL_NOTIFY);
  first.token = &token_;
  ASSERT_EQ(Proto()->ReadFile(Proto(), &token_), EFI_SUCCESS);
  ASSERT_TRUE(RunUntil([&] { return first.count > 0; }, 10 * kSecond));
  RunFor(5 * kSecond);
  EXPECT_EQ(first.count, 1);
  EXPECT_EQ(first.status, EFI_TFTP_ERROR);
  EXPECT_EQ(restart, EFI_INVALID_PARAMETER);
  EXPECT_EQ(second.count, 0);
  EXPECT_EQ(Probe().State(), TransferState::Idle);
  EXPECT_EQ(ClientSends().size(), 1u) << "only the first request went out";
  EXPECT_TRUE(server.Failures().empty());
  EXPECT_TRUE(server.ScriptDone());

  // The same token, started again at TPL_CALLBACK or below, goes ahead.
  server.Expect(RrqPacket("second")).Reply(ErrorPacket(2, "Access violation"));
  ASSERT_EQ(Proto()->ReadFile(Proto(), &next), EFI_SUCCESS);
  ASSERT_TRUE(RunUntil([&] { return second.count > 0; }, 10 * kSecond));
  EXPECT_EQ(second.status, EFI_TFTP_ERROR);
}

} // namespace
} // namespace zem4::test
