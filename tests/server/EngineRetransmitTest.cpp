// What the engine sends again after a loss, datagram by datagram: only what
// is missing for a client that keeps the blocks behind a hole, the rest of
// the flight for one that does not, with the window still counted from the
// client's acknowledgement and the time-out as the fallback.
#include "tests/server/Harness.h"

namespace zem4::server::testing {
namespace {

constexpr Endpoint Client{Ipv4(127, 0, 0, 2), 1234};
constexpr uint16_t Listen = 5568;
constexpr uint16_t Session = 40000;

using Us = std::chrono::microseconds;

// One thing that happens to the engine, and the Sequences it sends then
// (each an exact DATA8 of the whole-file pass, where Sequence is Block).
struct Step {
  int64_t AtUs;   // -1: at the engine's next deadline
  uint32_t Ack;   // 0: only the time
  uint32_t Times; // the ACK8 this often
  std::vector<std::pair<uint32_t, uint32_t>> Sent;
};

struct Case {
  const char *What;
  std::vector<Step> Steps;
  uint64_t Retransmissions;
};

// The flight before every case: 1..64 at the list, an ACK8 of 33 a
// millisecond later (65..96), then one of 40 (97..103): 40 is missing.
const std::vector<Step> Lost40 = {
    {1000, 33, 1, {{65, 96}}},
    {1100, 40, 1, {{97, 103}}},
};

std::vector<Step> With(std::vector<Step> Tail) {
  std::vector<Step> All = Lost40;
  All.insert(All.end(), Tail.begin(), Tail.end());
  return All;
}

const Case Cases[] = {
    {"one repeat is not a loss, the second resends the hole alone, the jump moves on",
     With({{1200, 40, 1, {}},
           {1300, 40, 1, {{40, 40}}},
           {1400, 40, 5, {}}, // the rest of the flight arriving behind the hole
           {1500, 104, 1, {{104, 167}}}}),
     1},
    {"a second hole that the echoes say is the only other one is resent alone",
     With({{1300, 40, 2, {{40, 40}}},
           {1400, 40, 60, {}}, // 62 of 41..103 arrived: 70 is the other hole
           {1500, 70, 1, {{70, 70}, {104, 133}}},
           {1600, 134, 1, {{134, 197}}}}),
     2},
    {"more holes than one in that flight: the rest of it again",
     With({{1300, 40, 2, {{40, 40}}},
           {1400, 40, 10, {}}, // only 12 of 41..103 arrived
           {1500, 70, 1, {{70, 133}}}}),
     35},
    {"a client that keeps nothing behind a hole gets the rest again in order",
     With({{1300, 40, 2, {{40, 40}}},
           {1400, 40, 1, {}},
           {1500, 41, 1, {{41, 104}}},
           // Now known: at its next loss (once the repeats our resends may
           // provoke are no longer expected) everything from the hole goes again.
           {10000, 105, 1, {{105, 168}}},
           {10100, 105, 1, {}},
           {10200, 105, 1, {{105, 168}}}}),
     1 + 63 + 64},
    {"a repeat that a needless resend provokes does not count as a loss",
     With({{1300, 40, 2, {{40, 40}}},
           {1500, 104, 1, {{104, 167}}},
           {1600, 104, 2, {}}, // one is the answer to our resend of 40
           {1700, 104, 1, {{104, 104}}}}),
     2},
    {"a lost retransmission goes again after about a round trip, twice, then the time-out",
     With({{1300, 40, 2, {{40, 40}}},
           {-1, 0, 1, {{40, 40}}},
           {-1, 0, 1, {{40, 40}}},
           {-1, 0, 1, {{40, 103}}}, // 500 ms after the last progress: the window once
           {-1, 0, 1, {{40, 40}}},  // then only its first block
           {-1, 0, 1, {{40, 40}}}}),
     1 + 2 + 64 + 2},
    {"after a time-out an answer that does not jump gets the rest of the window",
     With({{-1, 0, 1, {{40, 40}}}, // the short wait, though nothing was repeated
           {-1, 0, 1, {{40, 40}}},
           {-1, 0, 1, {{40, 103}}},
           {-1, 0, 1, {{40, 40}}},
           {1601100, 41, 1, {{41, 104}}}}),
     2 + 64 + 1 + 63},
    {"stale and impossible acknowledgements change nothing",
     With({{1200, 20, 3, {}}, {1300, 5000, 3, {}}}), 0},
};

TEST(EngineRetransmitTest, WhatGoesOutAgain) {
  const Bytes File = Pattern(300 * 1032, 2);
  for (const Case &C : Cases) {
    SCOPED_TRACE(C.What);
    MemoryFileSource Files;
    RecordingIo Io;
    Files.Add("big", File);
    Engine E({}, Files, Io);
    E.OnDatagram(Client, Listen, Cat({B({0, 1}), Str("big")}), Time{0});
    Io.Take();
    E.OnDatagram(Client, Session, ListAll(), Time{0});
    ASSERT_EQ(Io.Take().size(), 64u);
    size_t Index = 0;
    for (const Step &S : C.Steps) {
      SCOPED_TRACE(::testing::Message() << "step " << Index++);
      if (S.AtUs < 0) {
        auto T = E.NextDeadline();
        ASSERT_TRUE(T.has_value());
        E.OnTime(*T);
      } else if (S.Ack == 0) {
        E.OnTime(Us(S.AtUs));
      } else {
        for (uint32_t I = 0; I < S.Times; ++I) {
          E.OnDatagram(Client, Session, BuildAck8(S.Ack), Us(S.AtUs));
        }
      }
      std::vector<Bytes> Want;
      for (auto [First, Last] : S.Sent) {
        for (uint32_t Seq = First; Seq <= Last; ++Seq) {
          Bytes D(10);
          PutData8Header(D, Seq, Seq);
          size_t At = size_t{Seq - 1} * 1032;
          D.insert(D.end(), File.begin() + static_cast<long>(At),
                   File.begin() + static_cast<long>(std::min(File.size(), At + 1032)));
          Want.push_back(std::move(D));
        }
      }
      std::vector<Bytes> Got;
      for (auto &Out : Io.Take()) {
        EXPECT_EQ(Out.To, Client);
        Got.push_back(std::move(Out.Data));
      }
      ASSERT_EQ(Got.size(), Want.size());
      for (size_t I = 0; I < Got.size(); ++I) {
        ASSERT_EQ(Got[I], Want[I]) << "datagram " << I << ", Sequence " << Be32At(Got[I], 2);
      }
    }
    EXPECT_EQ(E.Stats().Retransmissions, C.Retransmissions);
  }
}

// A repair list again after data started, with nothing acknowledged: none
// of it arrived, so the pass starts over, once.
TEST(EngineRetransmitTest, ListAgainBeforeAnyAckStartsThePassOver) {
  MemoryFileSource Files;
  RecordingIo Io;
  Files.Add("big", Pattern(300 * 1032, 2));
  Engine E({}, Files, Io);
  const Bytes Rpl = ListAll();
  E.OnDatagram(Client, Listen, Cat({B({0, 1}), Str("big")}), Time{0});
  Io.Take();
  E.OnDatagram(Client, Session, Rpl, Time{0});
  ASSERT_EQ(Io.Take().size(), 64u);
  E.OnDatagram(Client, Session, Rpl, Us(3000));
  auto Out = Io.Take();
  ASSERT_EQ(Out.size(), 64u);
  EXPECT_EQ(Be32At(Out.front().Data, 2), 1u);
  EXPECT_EQ(Be32At(Out.back().Data, 2), 64u);
  E.OnDatagram(Client, Session, Rpl, Us(4000));
  EXPECT_TRUE(Io.Take().empty());
}

} // namespace
} // namespace zem4::server::testing
