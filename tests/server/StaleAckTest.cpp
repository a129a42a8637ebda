// Repeated ACK8s that our own retransmissions provoke. The client answers
// every DATA8 it already has with its current next Sequence; after a go-back
// those answers arrive by the dozen and must not each start another go-back
// (under 1 % loss that cascade sent the file ten times over).
#include "tests/server/Harness.h"

namespace zem4::server::testing {
namespace {

constexpr Endpoint Client{MakeIp(127, 0, 0, 2), 1234};
constexpr uint16_t Listen = 5568;

TEST(StaleAckTest, RepeatsAnsweringOurRetransmissionsDoNotGoBackAgain) {
  MemoryFileSource Files;
  RecordingIo Io;
  Files.Add("big", Pattern(300 * 1032, 2));
  Engine E({}, Files, Io);
  auto Feed = [&](const Bytes &D, uint16_t Port, std::chrono::milliseconds At) {
    E.OnDatagram(Client, Port, D, At);
  };
  Feed(Cat({B({0, 1}), Str("big")}), Listen, 0ms);
  Io.Take();
  Feed(B({0, 10, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}), 40000, 1ms);
  ASSERT_EQ(Io.Take().size(), 64u);
  Feed(BuildAck8(40), 40000, 2ms);
  ASSERT_EQ(Io.Take().size(), 39u); // up to 103
  // 40 was lost: the repeat goes back, 40..103 again.
  Feed(BuildAck8(40), 40000, 3ms);
  auto Out = Io.Take();
  ASSERT_EQ(Out.size(), 64u);
  EXPECT_EQ(Be32At(Out.front().Data, 2), 40u);
  // 40 arrives; the client had 41..99 and jumps to 100.
  Feed(BuildAck8(100), 40000, 4ms);
  Out = Io.Take();
  ASSERT_EQ(Out.size(), 60u); // 104..163
  // Each of the 64 retransmissions may still reach it and be answered with 100.
  for (int I = 0; I < 64; ++I) {
    Feed(BuildAck8(100), 40000, 5ms);
    ASSERT_TRUE(Io.Take().empty()) << "go-back on repeat " << I;
  }
  EXPECT_EQ(E.Stats().Retransmissions, 64u);
  // More repeats than we retransmitted: 100 itself was lost. Go back once.
  Feed(BuildAck8(100), 40000, 6ms);
  Out = Io.Take();
  ASSERT_EQ(Out.size(), 64u);
  EXPECT_EQ(Be32At(Out.front().Data, 2), 100u);
  EXPECT_EQ(Be32At(Out.back().Data, 2), 163u);
  Feed(BuildAck8(100), 40000, 7ms);
  EXPECT_TRUE(Io.Take().empty());
}

} // namespace
} // namespace zem4::server::testing
