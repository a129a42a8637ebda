// Every Boot Services and UDP4 call a download makes, failing in turn: the
// token completes exactly once when ReadFile accepted the transfer and never
// when it refused it, the instance ends idle, and nothing is left behind.
#include "tests/common/FaultSweep.h"
#include "support/Globals.h"
#include "tests/common/DriverFixture.h"
#include "tests/common/InstanceProbe.h"

#include <set>
#include <string>

namespace zem4::test {
namespace {

// A small file: request, OACK, repair list, three data blocks, FIN.
const size_t kFileSize = 2 * 1032 + 5;
const EFI_STATUS kUnset = SweepOutcome::kUnset;

class FaultSweepTest : public SweptFixture<DriverFixture> {
protected:
  static Bytes File() {
    Bytes file(kFileSize);
    for (size_t i = 0; i < file.size(); i++) {
      file[i] = static_cast<uint8_t>(i * 13 + 1);
    }
    return file;
  }

  // One download by a caller that polls; `call` fails at its nth use during
  // the transfer (n = 0: nothing fails).
  SweepOutcome Download(const std::string &call, uint64_t nth) {
    SweepOutcome out;
    done_ = Completion{};
    ScriptedServer server(Net(), kServerIp, kServerPort);
    const Bytes file = File();
    server.SetHandler(FileResponder(file, 6001));
    EXPECT_EQ(ConfigureDefault(), EFI_SUCCESS);
    PrepareToken(token_, done_, "boot.efi");
    token_.Context = &received_;
    token_.CheckPacket = CollectData;
    token_.Status = kUnset;
    received_.clear();

    const CallCounts before = Fw().Faults().Counts();
    ArmSweepFault(Fw().Faults(), call, nth);
    out.readFile = Proto()->ReadFile(Proto(), &token_);
    const host::Time100ns deadline = Now() + 700 * kSecond;
    // Bounded in time and in polls: a transfer with no timer left would
    // otherwise spin here for ever.
    int polls = 0;
    for (;
         !EFI_ERROR(out.readFile) && token_.Status == kUnset && Now() < deadline && polls < 100'000;
         polls++) {
      if (EFI_ERROR(Proto()->Poll(Proto()))) {
        Fw().Tick();
        Fw().AdvanceIdle();
      }
    }
    RunFor(10 * kSecond); // a second completion would show here
    Fw().Faults().Clear();
    out.calls = CallsSince(Fw().Faults(), before);
    out.completions = done_.count;
    out.tokenStatus = token_.Status;
    out.idle = InstanceProbe(Proto()).Idle();
    out.fileComplete = received_ == file;
    return out;
  }

  Bytes received_;
};

const std::set<std::string> kFailable = {"AllocatePool", "FreePool", "CreateEvent",
                                         "CloseEvent",   "SetTimer", "SignalEvent"};

TEST_F(FaultSweepTest, EveryCallOfADownloadFailingInTurn) {
  const SweepOutcome clean = Download("", 0);
  ASSERT_NO_FATAL_FAILURE(ExpectCleanRun(clean));

  const CallCounts plan = SweepPlan(clean.calls, kFailable, "Udp4.");
  // The sweep covers what a transfer really does.
  for (const char *call : {"AllocatePool", "CreateEvent", "SetTimer", "Udp4.Configure",
                           "Udp4.Transmit", "Udp4.Receive", "Udp4.Poll"}) {
    EXPECT_GT(plan.count(call), 0u) << call;
  }

  Restart(true);
  // The poll loop makes Poll calls without end; a handful is enough.
  const size_t runs = SweepEachCall(plan, 8, [&](const std::string &call, uint64_t n) {
    ExpectSoundEnd(call, Download(call, n));
  });
  EXPECT_GT(runs, 20u);
}

TEST_F(FaultSweepTest, EveryCallOfGetInfoFailingInTurn) {
  const Bytes oack = OackPacket({{"tsize", "4096"}});
  // GetInfo blocks; the copy it hands back is freed here whatever it says.
  auto run = [&](const std::string &call, uint64_t nth, CallCounts *calls) {
    ScriptedServer server(Net(), kServerIp, kServerPort);
    server.SetHandler([&](ScriptedServer &s, const ScriptedServer::Received &r) {
      if (r.datagram.payload.size() > 1 && r.datagram.payload[1] == 1) {
        s.SendFrom(6001, r.datagram.src, r.datagram.srcPort, oack);
      }
    });
    EXPECT_EQ(ConfigureDefault(), EFI_SUCCESS);
    const CallCounts before = Fw().Faults().Counts();
    ArmSweepFault(Fw().Faults(), call, nth);
    UINT32 length = 0;
    VOID *packet = nullptr;
    EFI_STATUS status = Proto()->GetInfo(Proto(), nullptr, const_cast<CHAR8 *>("boot.efi"), nullptr,
                                         0, nullptr, &length, &packet);
    Fw().Faults().Clear();
    if (calls != nullptr) {
      *calls = CallsSince(Fw().Faults(), before);
    }
    if (packet != nullptr) {
      EXPECT_EQ(Bytes(static_cast<uint8_t *>(packet), static_cast<uint8_t *>(packet) + length),
                oack);
      gBS->FreePool(packet);
    }
    // A copy is handed back exactly when GetInfo reports the OACK.
    EXPECT_EQ(status == EFI_SUCCESS, packet != nullptr);
    EXPECT_TRUE(InstanceProbe(Proto()).Idle());
    RunFor(5 * kSecond);
    return status;
  };

  CallCounts calls;
  ASSERT_EQ(run("", 0, &calls), EFI_SUCCESS);
  Restart(true);
  const size_t runs =
      SweepEachCall(SweepPlan(calls, kFailable, "Udp4."), 8,
                    [&](const std::string &call, uint64_t n) { run(call, n, nullptr); });
  EXPECT_GT(runs, 20u);
}

} // namespace
} // namespace zem4::test
