// The server's parsers and builders against literal bytes.
#include "tests/server/Harness.h"

namespace zem4::server::testing {
namespace {

TEST(Packets, RequestParsing) {
  auto R =
      ParseRequest(Cat({B({0, 1}), Str("a"), Str("MultiCast"), Str("1"), Str("tsize"), Str("0")}));
  ASSERT_TRUE(R);
  EXPECT_EQ(R->FileName, "a");
  EXPECT_TRUE(R->Multicast);
  EXPECT_TRUE(R->Tsize);
  EXPECT_FALSE(R->Sha256);
  ASSERT_EQ(R->Options.size(), 2u);
  EXPECT_EQ(R->Options[0].Name, "MultiCast");
  EXPECT_TRUE(ParseRequest(Cat({B({0, 1}), Str("only")})));
  EXPECT_FALSE(ParseRequest(B({0, 1})));
  EXPECT_FALSE(ParseRequest(Cat({B({0, 1}), Str("a"), Str("name")}))); // value missing
  EXPECT_FALSE(ParseRequest(Cat({B({0, 2}), Str("a")})));              // write request
  Bytes Many = Cat({B({0, 1}), Str("a")});
  for (int I = 0; I < 256; ++I) {
    Many = Cat({Many, Str("k"), Str("v")});
  }
  EXPECT_FALSE(ParseRequest(Many)); // more pairs than any client sends
}

TEST(Packets, ClientPacketsAndServerPackets) {
  EXPECT_EQ(BuildAck8(5), B({0, 9, 0, 0, 0, 5, 0, 0, 0, 0x40}));
  auto A = ParseAck8(B({0, 9, 0, 0, 1, 2, 0, 0, 0, 0x40}));
  ASSERT_TRUE(A);
  EXPECT_EQ(A->NextSequence, 258u);
  EXPECT_EQ(A->Window, 64u);
  EXPECT_FALSE(ParseAck8(B({0, 9, 0, 0, 1, 2, 0, 0, 0})));
  auto R = ParseRpl(B({0, 0x0A, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}));
  ASSERT_TRUE(R);
  EXPECT_EQ(R->Sequence, 1u);
  EXPECT_EQ(R->Ranges, (std::vector<BlockRange>{{1, 0xFFFFFFFF}}));
  EXPECT_TRUE(ParseRpl(B({0, 10, 0, 0, 0, 2, 0, 0, 0, 0}))->Ranges.empty());
  EXPECT_EQ(BuildFin(1), B({0, 14, 0, 0, 0, 1}));
  EXPECT_EQ(BuildRplAck(2), B({0, 11, 0, 0, 0, 2}));
  EXPECT_EQ(BuildError(9, "x"), B({0, 5, 0, 9, 'x', 0}));
  EXPECT_EQ(FormatMulticastValue({Ipv4(224, 1, 2, 3), 69}, true), "224.1.2.3,69,1");
  EXPECT_EQ(FormatMulticastValue({Ipv4(239, 255, 0, 10), 5570}, false), "239.255.0.10,5570,0");
  Bytes D(10);
  PutData8Header(D, 0x01020304, 0x0A0B0C0D);
  EXPECT_EQ(D, B({0, 8, 1, 2, 3, 4, 0x0A, 0x0B, 0x0C, 0x0D}));
}

} // namespace
} // namespace zem4::server::testing
