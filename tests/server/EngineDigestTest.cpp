// A digest that takes long (40 s of virtual time here) holds up nothing: the
// request that asked for it is held (once, whatever copies come) while every
// other transfer flows, and answered the moment the digest is ready.
#include "tests/server/Harness.h"

namespace zem4::server::testing {
namespace {

constexpr uint16_t Listen = 5568;
constexpr Endpoint Asker{Ipv4(127, 0, 0, 2), 1234};
constexpr Endpoint Other{Ipv4(127, 0, 0, 3), 1234};

Bytes ShaRrq(std::string_view Name) {
  return Cat({B({0, 1}), Str(Name), Str("tsize"), Str("0"), Str("sha256"), Str("1")});
}

TEST(DigestTest, SlowDigestHoldsOnlyTheRequestThatAskedForIt) {
  MemoryFileSource Files;
  RecordingIo Io;
  Files.Add("big", Pattern(3000, 4));
  Files.Add("small", Pattern(100, 5));
  Files.HoldDigests(true);
  Engine E({}, Files, Io);
  const FileId Id = Files.Open("big").File->Id();

  // Asked at 0 s and again every 3 s, as the client does: no answer and no
  // session; the copies only keep the one held request alive.
  for (int S = 0; S <= 39; S += 3) {
    E.OnDatagram(Asker, Listen, ShaRrq("big"), std::chrono::seconds(S));
    EXPECT_TRUE(Io.Take().empty()) << "at " << S << " s";
  }
  EXPECT_EQ(E.ActiveTransfers(), 0u);
  EXPECT_EQ(E.UnconfirmedClients(), 0u);
  EXPECT_EQ(E.NextDeadline(), std::optional<Time>(49s)); // 10 s after its last copy
  EXPECT_EQ(E.Stats().DigestWaits, 1u);
  EXPECT_EQ(Files.DigestComputations(), 0u);

  // Meanwhile another client is served at once, the same file without a
  // digest too.
  E.OnDatagram(Other, Listen, Cat({B({0, 1}), Str("small")}), 5s);
  auto Out = Io.Take();
  ASSERT_EQ(Out.size(), 1u);
  E.OnDatagram(Other, Out[0].From, ListAll(), 5s);
  Out = Io.Take();
  ASSERT_EQ(Out.size(), 1u);
  EXPECT_EQ(Opcode(Out[0].Data), ZEM4_OP_DATA8);
  E.OnDatagram({Other.address, 99}, Listen, Cat({B({0, 1}), Str("big"), Str("tsize"), Str("0")}),
               6s);
  Out = Io.Take();
  ASSERT_EQ(Out.size(), 1u);
  EXPECT_EQ(Out[0].Data, Cat({B({0, 6}), Str("tsize"), Str("3000")}));

  // At 40 s the digest is ready and the held request is answered then, once.
  Files.HoldDigests(false);
  E.OnDigestReady(Id, 40s);
  Out = Io.Take();
  ASSERT_EQ(Out.size(), 1u);
  EXPECT_EQ(Out[0].To, Asker);
  const Bytes Oack =
      Cat({B({0, 6}), Str("tsize"), Str("3000"), Str("sha256"), Str(Sha256Hex(Pattern(3000, 4)))});
  EXPECT_EQ(Out[0].Data, Oack);
  EXPECT_EQ(E.UnconfirmedClients(), 2u); // with the one asked without a digest
  EXPECT_EQ(Files.DigestComputations(), 1u);
  // A copy still on its way is a copy: its OACK again, from the same port,
  // never a second session.
  E.OnDatagram(Asker, Listen, ShaRrq("big"), 42s);
  auto Again = Io.Take();
  ASSERT_EQ(Again.size(), 1u);
  EXPECT_EQ(Again[0].From, Out[0].From);
  EXPECT_EQ(Again[0].Data, Oack);
  EXPECT_EQ(E.UnconfirmedClients(), 2u);
}

TEST(DigestTest, GroupMembersAskingForTheDigestJoinWhenItIsReady) {
  MemoryFileSource Files;
  RecordingIo Io;
  Files.Add("f", Pattern(5000, 6));
  Engine E({}, Files, Io);
  const Bytes Plain = Cat({B({0, 1}), Str("f"), Str("multicast"), Str("1")});
  E.OnDatagram(Other, Listen, Plain, 0s);
  const uint16_t Port = Io.Take().at(0).From;
  Files.Replace("f", Pattern(5000, 6)); // a new version: its digest is not known yet
  Files.HoldDigests(true);
  const Bytes Sha = Cat({B({0, 1}), Str("f"), Str("multicast"), Str("1"), Str("sha256"), Str("")});
  E.OnDatagram(Asker, Listen, Sha, 1s);
  EXPECT_TRUE(Io.Take().empty());
  EXPECT_EQ(E.UnconfirmedClients(), 1u); // the first member, until it lists
  Files.HoldDigests(false);
  E.OnDigestReady(Files.Open("f").File->Id(), 7s);
  auto Out = Io.Take();
  ASSERT_EQ(Out.size(), 1u);
  EXPECT_EQ(Out[0].From, Port);
  EXPECT_EQ(Out[0].To, Asker);
  EXPECT_EQ(Out[0].Data, Cat({B({0, 6}), Str("multicast"), Str("239.255.0.1,5570,0"), Str("sha256"),
                              Str(Sha256Hex(Pattern(5000, 6)))}));
  EXPECT_EQ(E.UnconfirmedClients(), 2u);
}

} // namespace
} // namespace zem4::server::testing
