// Whole group downloads through the driver, timed by when members ask: a
// storm whose members ask a few milliseconds apart shares one pass (the
// first DATA8 waits for them; its bound is GroupPassTest's), and repair
// passes follow each other without waiting out the FIN series, with no FIN
// of a pass ever sent after the next pass's first OACK.
#include "tests/multicast/McastFixture.h"

#include <map>

namespace zem4::test::mcast {
namespace {

class McastGroupPassTest : public McastFixture {
protected:
  // Starts member i at start[i] (virtual, from now), in order.
  void StartAt(const std::vector<host::Time100ns> &start) {
    EFI_BOOT_SERVICES *bs = host_->Fw().BootServices();
    const host::Time100ns base = host_->Fw().Now();
    for (size_t i = 0; i < start.size(); i++) {
      // A timer of our own, so that idle time jumps to the start and no further.
      EFI_EVENT timer = nullptr;
      ASSERT_EQ(bs->CreateEvent(EVT_TIMER, TPL_CALLBACK, nullptr, nullptr, &timer), EFI_SUCCESS);
      const host::Time100ns now = host_->Fw().Now();
      if (base + start[i] > now) {
        ASSERT_EQ(bs->SetTimer(timer, TimerRelative, base + start[i] - now), EFI_SUCCESS);
        host_->RunUntil([&] { return host_->Fw().Now() >= base + start[i]; }, kSecond);
      }
      bs->CloseEvent(timer);
      ASSERT_EQ(host_->Fw().Now(), base + start[i]);
      ASSERT_EQ(group_->Start((*group_)[i]), EFI_SUCCESS);
    }
  }

  struct Wire {
    host::Time100ns at;
    uint16_t port; // the server's
    unsigned op;
    uint32_t value; // FIN's value
    bool groupOack; // an OACK that names the group
  };
  std::vector<Wire> ServerSent() const {
    std::vector<Wire> out;
    for (const host::CaptureRecord &r : host_->Net().Capture()) {
      const host::Datagram &d = r.datagram;
      if (d.src != kServer || d.payload.size() < 2) {
        continue;
      }
      uint32_t value = 0;
      if (d.payload.size() >= 6) {
        value =
            uint32_t(d.payload[2]) << 24 | d.payload[3] << 16 | d.payload[4] << 8 | d.payload[5];
      }
      const std::string text(d.payload.begin(), d.payload.end());
      out.push_back(
          {r.time, d.srcPort, d.payload[1], value, text.find("239.255.0.1") != std::string::npos});
    }
    return out;
  }
};

TEST_F(McastGroupPassTest, EightMembersAskingMillisecondsApartShareOnePass) {
  const size_t size = 300 * kBlock + 77;
  Bytes file = Serve("file.bin", size);
  std::vector<host::Time100ns> start;
  ASSERT_TRUE(AddMembers(8, size, 2));
  for (size_t i = 0; i < 8; i++) {
    start.push_back(static_cast<host::Time100ns>(i) * 2 * kMs); // 0, 2, ... 14 ms
  }
  StartAt(start);
  ASSERT_TRUE(group_->RunUntilDone(600 * kSecond)) << host_->Net().Describe();
  ExpectAllExact(file);
  const auto &stats = server_->Engine().Stats();
  EXPECT_EQ(stats.GroupsCreated, 1u);
  EXPECT_EQ(stats.Passes, 1u) << "no repair pass";
  EXPECT_EQ(stats.DataDatagrams, BlocksOf(size));
  for (auto &m : group_->Members()) {
    auto report = ReportFor(*m);
    ASSERT_TRUE(report.has_value()) << m->Name();
    EXPECT_EQ(report->Passes, 1u) << m->Name();
    EXPECT_EQ(report->Outcome, "complete") << m->Name();
    EXPECT_EQ(report->Roles, m->index == 0 ? "active" : "passive") << m->Name();
  }
}

// Every listener loses a share of the stream and asks again; each repair
// pass begins as soon as they have gathered, and no FIN of an older pass
// follows the next pass's OACKs.
TEST_F(McastGroupPassTest, RepairPassesBeginWithoutWaitingOutTheFinSeries) {
  ASSERT_NO_FATAL_FAILURE(AllExactDespiteListenerLoss(6, 120 * kBlock + 5, 2, 0.1));
  const uint64_t passes = server_->Engine().Stats().Passes;
  ASSERT_GT(passes, 1u);

  // FINs carry the pass number. Once a group has sent the OACKs of its
  // next pass, no FIN of an earlier one goes out; and passes began while
  // their predecessor's FIN series was still going out.
  struct PassState {
    uint32_t pass = 1;
    size_t fins = 0;
  };
  std::map<uint16_t, PassState> groups;
  size_t early = 0, later = 0;
  for (const Wire &w : ServerSent()) {
    PassState &g = groups[w.port];
    if (w.op == 14) {
      EXPECT_EQ(w.value, g.pass) << "a FIN of another pass at " << w.at / kMs << " ms";
      g.fins++;
    } else if (w.op == 6 && w.groupOack && g.fins > 0) {
      (g.fins < 4 ? early : later)++;
      g.pass++;
      g.fins = 0;
    }
  }
  EXPECT_GT(early, later) << "passes waited out the FIN series";
  EXPECT_GT(early + later + groups.size(), passes - 1);
}

// Listeners lose a share of the stream and, far more often, what the server
// sends them alone (OACKs, RPLACKs) once pass 1 runs. Each lost answer in a
// repair pass is made good by the server within a second or two, not by the
// member's own 3-s timer, so the group ends inside one such timer, in one
// group and with few passes.
struct AnswerLoss {
  uint64_t seed;
  double answers; // loss of the server's datagrams to one listener alone
};

class McastRepairAnswerTest : public McastGroupPassTest,
                              public ::testing::WithParamInterface<AnswerLoss> {
protected:
  void SetUp() override { Init(GetParam().seed); }
};

TEST_P(McastRepairAnswerTest, LostAnswersInRepairPassesCostLessThanTheMembersTimers) {
  const size_t size = 600 * kBlock + 9;
  Bytes file = Serve("file.bin", size);
  ASSERT_TRUE(AddMembers(4, size, 2));
  const host::Time100ns began = host_->Fw().Now();
  ASSERT_TRUE(StartAll());
  // Pass 1's answers arrive (a fresh request gets one answer per copy, and
  // its loss is the member's own timer to make good). From its data on,
  // listeners lose 2 % of what reaches them and a good share of what the
  // server sends them alone (the later profile wins where both match).
  host_->RunUntil([&] { return server_->Engine().Stats().DataDatagrams > 0; }, kSecond);
  ASSERT_GT(server_->Engine().Stats().DataDatagrams, 0u);
  LoseToListeners(0.02);
  host::FaultProfile answers = Lan();
  answers.loss = GetParam().answers;
  for (size_t i = 1; i < 4; i++) {
    host::FlowMatch alone;
    alone.src = kServer;
    alone.dst = (*group_)[i].address;
    host_->Net().AddFlowProfile(alone, answers);
  }
  ASSERT_TRUE(group_->RunUntilDone(600 * kSecond)) << host_->Net().Describe();
  ExpectAllExact(file);
  const auto &stats = server_->Engine().Stats();
  EXPECT_EQ(stats.GroupsCreated, 1u);
  EXPECT_EQ(stats.UnicastFallbacks, 0u);
  // Pass 1, then at most a pass driven by each listener and one more.
  EXPECT_GE(stats.Passes, 2u);
  EXPECT_LE(stats.Passes, 5u);
  for (auto &m : group_->Members()) {
    auto report = ReportFor(*m);
    ASSERT_TRUE(report.has_value()) << m->Name();
    EXPECT_EQ(report->Outcome, "complete") << m->Name();
  }
  // Answers were lost, and each was made good by the server: every request
  // a member sent after its first followed a FIN at once, none came from
  // its own 3-s timer.
  size_t lost = 0;
  host::Time100ns lastFin = 0;
  for (const host::CaptureRecord &r : host_->Net().Capture()) {
    const host::Datagram &d = r.datagram;
    if (d.payload.size() < 2 || d.payload[1] == 8 || d.payload[1] == 9) {
      continue;
    }
    if (d.src == kServer && d.dst != kServer && r.dropped && r.time > began) {
      lost += d.payload[1] == 6 || d.payload[1] == 11;
    }
    if (d.src == kServer && d.payload[1] == 14) {
      lastFin = r.time;
    }
    if (d.dstPort == 5568 && lastFin > 0) {
      EXPECT_LT(r.time - lastFin, 100 * kMs) << "a request at " << r.time / kMs << " ms";
    }
  }
  EXPECT_GT(lost, 0u) << "the faults were in play";
  EXPECT_LT(host_->Fw().Now() - began, 5 * kSecond) << host_->Net().Describe();
}

INSTANTIATE_TEST_SUITE_P(Seeds, McastRepairAnswerTest,
                         ::testing::Values(AnswerLoss{11, 0.2}, AnswerLoss{12, 0.2},
                                           AnswerLoss{13, 0.2}, AnswerLoss{14, 0.2},
                                           AnswerLoss{16, 0.2}, AnswerLoss{17, 0.2},
                                           AnswerLoss{18, 0.2}),
                         [](const ::testing::TestParamInfo<AnswerLoss> &info) {
                           return "Seed" + std::to_string(info.param.seed);
                         });

} // namespace
} // namespace zem4::test::mcast
