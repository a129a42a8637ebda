// Group members that hold the others back: a driving member that asks again
// and again but never acknowledges, and members that only ever sent a request.
// The legitimate members must end with the whole file in either case.
#include "tests/server/Harness.h"

namespace zem4::server::testing {
namespace {

constexpr uint16_t GroupPort = 40000; // the first port the engine opens
const Bytes File = Pattern(300 * 1032 + 5, 11);

Endpoint Host(uint8_t N, uint16_t Port = 2000) {
  return {Ipv4(127, 0, 0, N), Port};
}
Bytes McastRrq() {
  return Cat({B({0, 1}), Str("f"), Str("multicast"), Str("1"), Str("tsize"), Str("0")});
}

struct GroupRun {
  explicit GroupRun(EngineConfig Cfg = {}) : Net(Cfg, Files) { Files.Add("f", File); }
  VirtualNet::Client &Member(uint8_t N) {
    auto &C = Net.Add(Host(N), ClientModel("f", true));
    C.Model.MaxSilences = 300; // the driver's passive limit: 300 s of silence
    return C;
  }
  // Runs until the given members are done (or the engine has nothing left).
  void RunUntilDone(std::vector<VirtualNet::Client *> Members) {
    Net.Run([&] {
      return std::all_of(Members.begin(), Members.end(),
                         [](auto *C) { return C->Started && C->Model.Finished(); });
    });
  }
  MemoryFileSource Files;
  VirtualNet Net;
};

TEST(GroupDefenceTest, DriverThatAsksAgainButNeverAcknowledgesLosesTheGroup) {
  GroupRun R;
  // The attacker drives: its request and a repair list, and the same again
  // every 2 s for five minutes, but never an ACK8.
  const Endpoint Bad = Host(66);
  for (auto T = 0ms; T <= 300s; T += 2s) {
    R.Net.Inject(T, Bad, 0, McastRrq());
    R.Net.Inject(T + 1ms, Bad, GroupPort, ListAll());
  }
  std::vector<VirtualNet::Client *> Good{&R.Member(2), &R.Member(3), &R.Member(4)};
  R.Net.Watch = [&](const SentDatagram &) {
    if (R.Net.Now >= 2ms && !Good[0]->Started) {
      for (auto *C : Good) {
        R.Net.StartClient(*C);
      }
    }
  };
  R.Net.Inject(2ms, Host(9), 0, B({0, 3})); // a nudge so the members start after the attacker
  R.RunUntilDone(Good);
  for (auto *C : Good) {
    ASSERT_TRUE(C->Model.Complete()) << C->Address.ToString();
    EXPECT_EQ(C->Model.Content(), File);
  }
  // The attacker's repeats did not keep it in charge: it was given up on
  // within the patience the server has for a list, and counted.
  EXPECT_LT(R.Net.Now, 60s);
  EXPECT_GE(R.Net.Server().Stats().DriversReplaced, 1u);
  EXPECT_EQ(
      std::count(
          R.Net.Io.Json.begin(), R.Net.Io.Json.end(),
          R"("event":"driver_replaced","group":"239.255.0.1:5570","driver":"127.0.0.66:2000")"),
      1);
}

TEST(GroupDefenceTest, MembersThatOnlyAskedAreNotChosenToDriveBeforeOnesThatListen) {
  GroupRun R;
  auto &First = R.Member(2);
  auto &Late = R.Member(3);
  R.Net.StartClient(First);
  // Ten idle members: each sends its request early (so it would be chosen
  // first by join time) and again every 300 ms, and nothing else.
  for (uint8_t N = 70; N < 80; ++N) {
    for (auto T = std::chrono::milliseconds(1 + 13 * (N - 70)); T < 200s; T += 300ms) {
      R.Net.Inject(T, Host(N), 0, McastRrq());
    }
  }
  uint32_t DataSeen = 0;
  R.Net.Watch = [&](const SentDatagram &S) {
    if (Opcode(S.Data) == ZEM4_OP_DATA8 && ++DataSeen == 150 && !Late.Started) {
      R.Net.StartClient(Late);
    }
  };
  R.RunUntilDone({&First, &Late});
  ASSERT_TRUE(Late.Model.Complete());
  EXPECT_EQ(Late.Model.Content(), File);
  // Each idle member stalls a pass at most once, and briefly (ten times
  // 15 s before).
  EXPECT_LT(R.Net.Now, 80s);
}

} // namespace
} // namespace zem4::server::testing
