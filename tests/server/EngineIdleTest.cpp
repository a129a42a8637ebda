// What a client that stops making progress costs: a repair list followed by
// silence, or the same stale ACK8 for ever. Idle means no progress.
#include "tests/server/Harness.h"

namespace zem4::server::testing {
namespace {

constexpr Endpoint Client{Ipv4(127, 0, 0, 2), 1234};
constexpr uint16_t Listen = 5568;

struct Case {
  const char *What;
  // What the client sends at each second after its list (empty: nothing).
  Bytes EverySecond;
  // DATA8 it costs: the window, once more, then one per time-out (64 + 64 +
  // 9); a client that asks again has started over and is given up on when
  // it does not list again.
  uint64_t Data;
};

TEST(IdleTest, NoProgressEndsTheSessionAndCapsWhatIsResent) {
  for (const Case &C : {Case{"silence", {}, 137}, Case{"stale ack", BuildAck8(1), 137},
                        Case{"request again", Cat({B({0, 1}), Str("big")}), 129}}) {
    SCOPED_TRACE(C.What);
    MemoryFileSource Files;
    RecordingIo Io;
    Files.Add("big", Pattern(1000 * 1032, 2));
    EngineConfig Cfg; // 500 ms time-out, 10 retries, 60 s idle
    Engine E(Cfg, Files, Io);
    StartUnicast(E, Client, Listen, "big");
    Time T{0};
    for (int S = 1; S <= 300 && E.ActiveTransfers() > 0; ++S) {
      while (E.NextDeadline() && *E.NextDeadline() <= std::chrono::seconds(S)) {
        T = *E.NextDeadline();
        E.OnTime(T);
      }
      if (!C.EverySecond.empty() && E.ActiveTransfers() > 0) {
        uint16_t Port = Opcode(C.EverySecond) == ZEM4_OP_RRQ ? Listen : 40000;
        E.OnDatagram(Client, Port, C.EverySecond, std::chrono::seconds(S));
      }
    }
    EXPECT_EQ(E.ActiveTransfers(), 0u);
    ASSERT_EQ(Io.Reports.size(), 1u);
    EXPECT_EQ(Io.Reports[0].Outcome, "timeout");
    EXPECT_EQ(E.Stats().DataDatagrams, C.Data);
    EXPECT_LE(E.Stats().BytesSent, 150'000u);
    EXPECT_LT(T, 40s); // 0.5 + 1 + 2 + 8 x 4 s of time-outs
    EXPECT_TRUE(Io.Open.empty());
  }
}

TEST(IdleTest, AProbeThatIsAnsweredResumesTheFullWindow) {
  MemoryFileSource Files;
  RecordingIo Io;
  Files.Add("big", Pattern(300 * 1032, 2));
  Engine E({}, Files, Io);
  StartUnicast(E, Client, Listen, "big");
  Io.Take();
  E.OnTime(500ms);
  EXPECT_EQ(Io.Take().size(), 64u); // the first time-out resends the window
  E.OnTime(1500ms);
  auto Out = Io.Take();
  ASSERT_EQ(Out.size(), 1u); // the second only probes
  EXPECT_EQ(Be32At(Out[0].Data, 2), 1u);
  E.OnDatagram(Client, 40000, BuildAck8(2), 1600ms);
  Out = Io.Take();
  ASSERT_EQ(Out.size(), 64u); // the client is back: 2..65
  EXPECT_EQ(Be32At(Out[0].Data, 2), 2u);
  EXPECT_EQ(Be32At(Out.back().Data, 2), 65u);
}

} // namespace
} // namespace zem4::server::testing
