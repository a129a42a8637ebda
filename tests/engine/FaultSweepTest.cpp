// Every Boot Services and UDP4 call a download makes, failing in turn: the
// token completes exactly once when ReadFile accepted the transfer and never
// when it refused it, the instance ends idle, and nothing is left behind.
#include "support/Globals.h"
#include "tests/common/DriverFixture.h"

#include <map>
#include <set>
#include <string>

namespace zem4::test {
namespace {

// A small file: request, OACK, repair list, three data blocks, FIN.
const size_t kFileSize = 2 * 1032 + 5;
const EFI_STATUS kUnset = 0x7777;

class FaultSweepTest : public DriverFixture {
protected:
  static EFI_STATUS EFIAPI Collect(Zem4 *, Zem4Token *Token, UINT32 Length, VOID *Data) {
    auto *self = static_cast<FaultSweepTest *>(Token->Context);
    const auto *p = static_cast<const uint8_t *>(Data);
    self->received_.insert(self->received_.end(), p, p + Length);
    return EFI_SUCCESS;
  }

  static Bytes File() {
    Bytes file(kFileSize);
    for (size_t i = 0; i < file.size(); i++) {
      file[i] = static_cast<uint8_t>(i * 13 + 1);
    }
    return file;
  }

  // Which status a failing call reports.
  static EFI_STATUS FailureFor(const std::string &call) {
    if (call == "AllocatePool" || call == "CreateEvent") {
      return EFI_OUT_OF_RESOURCES;
    }
    if (call == "SetTimer" || call == "CloseEvent" || call == "FreePool" || call == "SignalEvent") {
      return EFI_INVALID_PARAMETER;
    }
    return EFI_DEVICE_ERROR;
  }

  // Calls that only fail in a firmware that refuses a valid release: what
  // they would have released stays behind, so leaks are not counted then.
  static bool IsRelease(const std::string &call) {
    return call == "FreePool" || call == "CloseEvent" || call == "SignalEvent";
  }

  struct Outcome {
    EFI_STATUS readFile = kUnset;
    int completions = 0;
    EFI_STATUS tokenStatus = kUnset;
    UINT32 state = 0;
    bool fileComplete = false;
    std::map<std::string, uint64_t, std::less<>> calls;
  };

  // One download by a caller that polls; `call` fails at its nth use during
  // the transfer (n = 0: nothing fails).
  Outcome Download(const std::string &call, uint64_t nth) {
    Outcome out;
    done_ = Completion{};
    ScriptedServer server(Net(), kServerIp, kServerPort);
    const Bytes file = File();
    server.SetHandler(FileResponder(file, 6001));
    EXPECT_EQ(ConfigureDefault(), EFI_SUCCESS);
    PrepareToken(token_, done_, "boot.efi");
    token_.Context = this;
    token_.CheckPacket = Collect;
    token_.Status = kUnset;
    received_.clear();

    auto before = Fw().Faults().Counts();
    if (nth != 0) {
      Fw().Faults().FailNth(call, Fw().Faults().Count(call) + nth, FailureFor(call));
    }
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
    for (const auto &[name, count] : Fw().Faults().Counts()) {
      auto it = before.find(name);
      uint64_t delta = count - (it == before.end() ? 0 : it->second);
      if (delta != 0) {
        out.calls[name] = delta;
      }
    }
    out.completions = done_.count;
    out.tokenStatus = token_.Status;
    out.state = Instance()->State;
    out.fileComplete = received_ == file;
    return out;
  }

  Bytes received_;
};

TEST_F(FaultSweepTest, EveryCallOfADownloadFailingInTurn) {
  const Outcome clean = Download("", 0);
  ASSERT_EQ(clean.readFile, EFI_SUCCESS);
  ASSERT_EQ(clean.completions, 1);
  ASSERT_EQ(clean.tokenStatus, EFI_SUCCESS);
  ASSERT_TRUE(clean.fileComplete);

  const std::set<std::string> failable = {"AllocatePool", "FreePool", "CreateEvent",
                                          "CloseEvent",   "SetTimer", "SignalEvent"};
  std::map<std::string, uint64_t> plan;
  for (const auto &[name, count] : clean.calls) {
    if (failable.count(name) != 0 || name.rfind("Udp4.", 0) == 0) {
      plan[name] = count;
    }
  }
  // The sweep covers what a transfer really does.
  for (const char *call : {"AllocatePool", "CreateEvent", "SetTimer", "Udp4.Configure",
                           "Udp4.Transmit", "Udp4.Receive", "Udp4.Poll"}) {
    EXPECT_GT(plan[call], 0u) << call;
  }

  TearDown();
  SetUp();
  size_t runs = 0;
  for (const auto &[call, count] : plan) {
    // The poll loop makes Poll calls without end; a handful is enough.
    uint64_t limit = call == "Udp4.Poll" ? std::min<uint64_t>(count, 8) : count;
    for (uint64_t n = 1; n <= limit; n++) {
      SCOPED_TRACE(call + " #" + std::to_string(n));
      const Outcome run = Download(call, n);
      runs++;
      if (EFI_ERROR(run.readFile)) {
        EXPECT_EQ(run.completions, 0);
        EXPECT_EQ(run.tokenStatus, kUnset);
      } else if (call == "SignalEvent") {
        // The refused signal may have been the token's own: the status is
        // there all the same.
        EXPECT_LE(run.completions, 1);
        EXPECT_NE(run.tokenStatus, kUnset);
      } else {
        EXPECT_EQ(run.completions, 1);
        EXPECT_NE(run.tokenStatus, kUnset);
        // A transfer that reports success delivered the whole file.
        if (run.tokenStatus == EFI_SUCCESS) {
          EXPECT_TRUE(run.fileComplete);
        }
      }
      EXPECT_EQ(run.state, ZEM4_STATE_IDLE);
      // Leaks are checked by the teardown, still inside this run's trace.
      checkLeaks_ = !IsRelease(call);
      TearDown();
      checkLeaks_ = true;
      SetUp();
    }
  }
  EXPECT_GT(runs, 20u);
}

TEST_F(FaultSweepTest, EveryCallOfGetInfoFailingInTurn) {
  const Bytes oack = OackPacket({{"tsize", "4096"}});
  // GetInfo blocks; the copy it hands back is freed here whatever it says.
  auto run = [&](const std::string &call, uint64_t nth, std::map<std::string, uint64_t> *calls) {
    ScriptedServer server(Net(), kServerIp, kServerPort);
    server.SetHandler([&](ScriptedServer &s, const ScriptedServer::Received &r) {
      if (r.datagram.payload.size() > 1 && r.datagram.payload[1] == 1) {
        s.SendFrom(6001, r.datagram.src, r.datagram.srcPort, oack);
      }
    });
    EXPECT_EQ(ConfigureDefault(), EFI_SUCCESS);
    auto before = Fw().Faults().Counts();
    if (nth != 0) {
      Fw().Faults().FailNth(call, Fw().Faults().Count(call) + nth, FailureFor(call));
    }
    UINT32 length = 0;
    VOID *packet = nullptr;
    EFI_STATUS status = Proto()->GetInfo(Proto(), nullptr, const_cast<CHAR8 *>("boot.efi"), nullptr,
                                         0, nullptr, &length, &packet);
    Fw().Faults().Clear();
    if (calls != nullptr) {
      for (const auto &[name, count] : Fw().Faults().Counts()) {
        auto it = before.find(name);
        uint64_t delta = count - (it == before.end() ? 0 : it->second);
        if (delta != 0) {
          (*calls)[name] = delta;
        }
      }
    }
    if (packet != nullptr) {
      EXPECT_EQ(Bytes(static_cast<uint8_t *>(packet), static_cast<uint8_t *>(packet) + length),
                oack);
      gBS->FreePool(packet);
    }
    // A copy is handed back exactly when GetInfo reports the OACK.
    EXPECT_EQ(status == EFI_SUCCESS, packet != nullptr);
    EXPECT_EQ(Instance()->State, ZEM4_STATE_IDLE);
    RunFor(5 * kSecond);
    return status;
  };

  std::map<std::string, uint64_t> calls;
  ASSERT_EQ(run("", 0, &calls), EFI_SUCCESS);
  const std::set<std::string> failable = {"AllocatePool", "FreePool", "CreateEvent",
                                          "CloseEvent",   "SetTimer", "SignalEvent"};
  TearDown();
  SetUp();
  size_t runs = 0;
  for (const auto &[call, count] : calls) {
    if (failable.count(call) == 0 && call.rfind("Udp4.", 0) != 0) {
      continue;
    }
    uint64_t limit = call == "Udp4.Poll" ? std::min<uint64_t>(count, 8) : count;
    for (uint64_t n = 1; n <= limit; n++) {
      SCOPED_TRACE("GetInfo with " + call + " #" + std::to_string(n));
      run(call, n, nullptr);
      runs++;
      checkLeaks_ = !IsRelease(call);
      TearDown();
      checkLeaks_ = true;
      SetUp();
    }
  }
  EXPECT_GT(runs, 20u);
}

} // namespace
} // namespace zem4::test
