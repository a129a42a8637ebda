// Every Boot Services and UDP4 call of a two-pass multicast download failing
// in turn: pass 1 as a listener that misses a block, pass 2 as the master on
// the same (reset and reused) multicast child. A scripted server at its own
// address plays both passes. The token completes exactly once, a success
// means the exact file, the child ends idle, and nothing is left behind.
#include "tests/common/ScriptedServer.h"
#include "tests/multicast/McastFixture.h"

#include <map>
#include <set>
#include <string>

namespace zem4::test::mcast {
namespace {

constexpr host::Ipv4 kScripted{127, 0, 9, 2};
constexpr host::Ipv4 kGroup{239, 1, 1, 1};
constexpr uint16_t kGroupPort = 5600;
constexpr uint16_t kDataPort = 6000;
const EFI_STATUS kUnset = 0x7777;

Bytes BlockOf(const Bytes &file, uint32_t block) {
  size_t at = size_t(block - 1) * kBlock;
  return Bytes(file.begin() + at, file.begin() + std::min(file.size(), at + kBlock));
}

class McastPassSweepTest : public McastFixture {
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

  static EFI_STATUS FailureFor(const std::string &call) {
    if (call == "AllocatePool" || call == "CreateEvent") {
      return EFI_OUT_OF_RESOURCES;
    }
    if (call == "SetTimer" || call == "CloseEvent" || call == "FreePool" || call == "SignalEvent" ||
        call == "CloseProtocol") {
      return EFI_INVALID_PARAMETER;
    }
    return EFI_DEVICE_ERROR;
  }
  static bool IsRelease(const std::string &call) {
    return call == "FreePool" || call == "CloseEvent" || call == "SignalEvent" ||
           call == "CloseProtocol" || call == "Udp4Sb.DestroyChild";
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

  struct Outcome {
    EFI_STATUS readFile = kUnset;
    int completions = 0;
    EFI_STATUS tokenStatus = kUnset;
    UINT32 state = 0;
    bool fileComplete = false;
    std::map<std::string, uint64_t, std::less<>> calls;
  };

  Outcome Download(const std::string &call, uint64_t nth) {
    Outcome out;
    requests_ = 0;
    scripted_->SetHandler(
        [this](ScriptedServer &s, const ScriptedServer::Received &r) { Serve(s, r); });
    Member *m = Add(Caller::Buffer, file_.size());
    if (m == nullptr) {
      return out;
    }
    Zem4ConfigData config{};
    for (int i = 0; i < 4; i++) {
      config.StationIp.Addr[i] = m->address.b[i];
      config.ServerIp.Addr[i] = kScripted.b[i];
    }
    config.SubnetMask = {{255, 0, 0, 0}};
    EXPECT_EQ(m->proto->Configure(m->proto, &config), EFI_SUCCESS);
    host::FaultInjector &faults = host_->Fw().Faults();
    auto before = faults.Counts();
    if (nth != 0) {
      faults.FailNth(call, faults.Count(call) + nth, FailureFor(call));
    }
    out.readFile = group_->Start(*m);
    if (EFI_ERROR(out.readFile)) {
      m->started = false;
    } else {
      group_->RunUntilDone(700 * kSecond);
    }
    host_->RunUntil([] { return false; }, 10 * kSecond); // a second completion would show here
    faults.Clear();
    for (const auto &[name, count] : faults.Counts()) {
      auto it = before.find(name);
      uint64_t delta = count - (it == before.end() ? 0 : it->second);
      if (delta != 0) {
        out.calls[name] = delta;
      }
    }
    out.completions = m->signalled;
    out.tokenStatus = m->started ? m->token.Status : kUnset;
    out.state = m->Instance()->State;
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
  const Outcome clean = Download("", 0);
  ASSERT_EQ(clean.readFile, EFI_SUCCESS);
  ASSERT_EQ(clean.completions, 1);
  ASSERT_EQ(clean.tokenStatus, EFI_SUCCESS);
  ASSERT_TRUE(clean.fileComplete);
  ASSERT_EQ(requests_, 2);

  // CloseProtocol is left out: a firmware that refuses to close a valid open
  // keeps the child it belongs to for good, and the host firmware orphans it.
  const std::set<std::string> failable = {"AllocatePool", "FreePool", "CreateEvent",
                                          "CloseEvent",   "SetTimer", "SignalEvent",
                                          "OpenProtocol"};
  std::map<std::string, uint64_t> plan;
  for (const auto &[name, count] : clean.calls) {
    if (failable.count(name) != 0 || name.rfind("Udp4", 0) == 0) {
      plan[name] = count;
    }
  }
  for (const char *call : {"Udp4Sb.CreateChild", "Udp4Sb.DestroyChild", "Udp4.Groups",
                           "Udp4.Configure", "Udp4.Receive", "CreateEvent"}) {
    EXPECT_GT(plan[call], 0u) << call;
  }

  TearDown();
  SetUp();
  size_t runs = 0;
  for (const auto &[call, count] : plan) {
    for (uint64_t n = 1; n <= count; n++) {
      SCOPED_TRACE(call + " #" + std::to_string(n));
      const Outcome run = Download(call, n);
      runs++;
      if (EFI_ERROR(run.readFile)) {
        EXPECT_EQ(run.completions, 0);
        EXPECT_EQ(run.tokenStatus, kUnset);
      } else if (call == "SignalEvent") {
        EXPECT_LE(run.completions, 1);
        EXPECT_NE(run.tokenStatus, kUnset);
      } else {
        EXPECT_EQ(run.completions, 1);
        EXPECT_NE(run.tokenStatus, kUnset);
        if (run.tokenStatus == EFI_SUCCESS) {
          EXPECT_TRUE(run.fileComplete);
        }
      }
      EXPECT_EQ(run.state, ZEM4_STATE_IDLE);
      checkLeaks_ = !IsRelease(call);
      TearDown();
      checkLeaks_ = true;
      SetUp();
    }
  }
  EXPECT_GT(runs, 30u);
}

} // namespace
} // namespace zem4::test::mcast
