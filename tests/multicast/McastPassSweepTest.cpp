// Every Boot Services and UDP4 call of a two-pass multicast download failing
// in turn: pass 1 as a listener that misses a block, pass 2 as the master on
// the same (reset and reused) multicast child. A scripted server at its own
// address plays both passes. The token completes exactly once, a success
// means the exact file, the child ends idle, and nothing is left behind.
#include "tests/common/FaultSweep.h"
#include "tests/common/InstanceProbe.h"
#include "tests/common/ScriptedServer.h"
#include "tests/multicast/McastFixture.h"

#include <set>
#include <string>

namespace zem4::test::mcast {
namespace {

constexpr host::Ipv4 kScripted{127, 0, 9, 2};
constexpr host::Ipv4 kGroup{239, 1, 1, 1};
constexpr uint16_t kGroupPort = 5600;
constexpr uint16_t kDataPort = 6000;
const EFI_STATUS kUnset = SweepOutcome::kUnset;

Bytes BlockOf(const Bytes &file, uint32_t block) {
  size_t at = size_t(block - 1) * kBlock;
  return Bytes(file.begin() + at, file.begin() + std::min(file.size(), at + kBlock));
}

class McastPassSweepTest : public SweptFixture<McastFixture> {
protected:
  void SetUp() override {
    McastFixture::SetUp();
    scripted_ = std::make_unique<ScriptedServer>(host_->Net(), kScripted, 5568);
    host_->Fw().AddDevice(later_);
    later_.test = this;
  }
  void TearDown() override {
    host_->Fw().RemoveDevice(later_);
    later_.due.clear();
    scripted_.reset();
    McastFixture::TearDown();
  }

  // The server's side of both passes, answering whatever the client sends.
  void Serve(ScriptedServer &server, const ScriptedServer::Received &received) {
    const Bytes &p = received.datagram.payload;
    if (p.size() < 2) {
      return;
    }
    host::Ipv4 client = received.datagram.src;
    uint16_t port = received.datagram.srcPort;
    auto toClient = [&](const Bytes &bytes) { server.SendFrom(kDataPort, client, port, bytes); };
    // Sent to the group a little later: membership counts when a datagram is
    // sent, and the client joins only once it has the OACK.
    auto toGroup = [&](const Bytes &bytes) {
      later_.due.push_back({host_->Fw().Now() + 10 * kMs, bytes});
    };
    switch (p[1]) {
    case 1: // request
      if (++requests_ == 1) {
        toClient(OackPacket({{"multicast", "239.1.1.1,5600,0"}}));
        toGroup(Data8Packet(1, 1, BlockOf(file_, 1))); // block 2 is never heard
        toGroup(Data8Packet(3, 3, BlockOf(file_, 3)));
        toGroup(FinPacket(0));
      } else {
        toClient(OackPacket({{"multicast", "239.1.1.1,5600,1"}}));
      }
      break;
    case 10: // repair list: only block 2 is missing
      toGroup(Data8Packet(1, 2, BlockOf(file_, 2)));
      break;
    case 9: // ACK8
      if (p.size() >= 6 && p[5] == 2) {
        toGroup(FinPacket(0));
      }
      break;
    default:
      break;
    }
  }

  SweepOutcome Download(const std::string &call, uint64_t nth) {
    SweepOutcome out;
    requests_ = 0;
    scripted_->SetHandler(
        [this](ScriptedServer &s, const ScriptedServer::Received &r) { Serve(s, r); });
    Member *m = Add(Caller::Buffer, file_.size());
    if (m == nullptr) {
      return out;
    }
    Zem4ConfigData config{};
    config.StationIp = EfiIp(m->address);
    config.ServerIp = EfiIp(kScripted);
    config.SubnetMask = {{255, 0, 0, 0}};
    EXPECT_EQ(m->proto->Configure(m->proto, &config), EFI_SUCCESS);
    host::FaultInjector &faults = host_->Fw().Faults();
    const CallCounts before = faults.Counts();
    ArmSweepFault(faults, call, nth);
    out.readFile = group_->Start(*m);
    if (EFI_ERROR(out.readFile)) {
      m->started = false;
    } else {
      group_->RunUntilDone(700 * kSecond);
    }
    host_->RunUntil([] { return false; }, 10 * kSecond); // a second completion would show here
    faults.Clear();
    out.calls = CallsSince(faults, before);
    out.completions = m->signalled;
    out.tokenStatus = m->started ? m->token.Status : kUnset;
    out.idle = InstanceProbe(m->proto).Idle();
    out.fileComplete = Group::Compare(*m, file_).empty();
    return out;
  }

  // Group datagrams waiting for their time.
  struct Later : host::Device {
    McastPassSweepTest *test = nullptr;
    std::vector<std::pair<host::Time100ns, Bytes>> due;
    void Service(host::Time100ns now) override {
      std::vector<Bytes> ready;
      for (auto it = due.begin(); it != due.end();) {
        if (it->first <= now) {
          ready.push_back(std::move(it->second));
          it = due.erase(it);
        } else {
          ++it;
        }
      }
      for (const Bytes &bytes : ready) {
        test->scripted_->SendFrom(kDataPort, kGroup, kGroupPort, bytes);
      }
    }
    std::optional<host::Time100ns> NextDeadline() const override {
      std::optional<host::Time100ns> next;
      for (const auto &[time, bytes] : due) {
        if (!next || time < *next) {
          next = time;
        }
      }
      return next;
    }
  };

  Later later_;
  std::unique_ptr<ScriptedServer> scripted_;
  Bytes file_ = MakeFile(2 * kBlock + 5, 3);
  int requests_ = 0;
};

TEST_F(McastPassSweepTest, EveryCallOfATwoPassMulticastDownloadFailingInTurn) {
  const SweepOutcome clean = Download("", 0);
  ASSERT_NO_FATAL_FAILURE(ExpectCleanRun(clean));
  ASSERT_EQ(requests_, 2);

  // CloseProtocol is left out: a firmware that refuses to close a valid open
  // keeps the child it belongs to for good, and the host firmware orphans it.
  const std::set<std::string> failable = {"AllocatePool", "FreePool", "CreateEvent",
                                          "CloseEvent",   "SetTimer", "SignalEvent",
                                          "OpenProtocol"};
  const CallCounts plan = SweepPlan(clean.calls, failable, "Udp4");
  for (const char *call : {"Udp4Sb.CreateChild", "Udp4Sb.DestroyChild", "Udp4.Groups",
                           "Udp4.Configure", "Udp4.Receive", "CreateEvent"}) {
    EXPECT_GT(plan.count(call), 0u) << call;
  }

  Restart(true);
  // Every use of every call, Poll included: the group makes few.
  const size_t runs = SweepEachCall(plan, UINT64_MAX, [&](const std::string &call, uint64_t n) {
    ExpectSoundEnd(call, Download(call, n));
  });
  EXPECT_GT(runs, 30u);
}

} // namespace
} // namespace zem4::test::mcast
