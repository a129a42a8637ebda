// A server whose answer cannot be used is the server's fault: exit 6 with a
// message that names the bad value, whatever the driver would make of it
// (before, a malformed OACK or multicast value gave 10 or 7 and an absurd
// size 9). The server here is a script on 127.0.0.1 that answers every
// request with one fixed OACK; the command finds the fault in the GetInfo it
// asks first, with the download's own options.
#include "tests/e2e/Cli.h"

namespace {

using namespace zem4::e2e;
using zem4::test::OackPacket;

struct FaultCase {
  const char *name;
  std::vector<uint8_t> reply;
  bool multicast;
  std::string message;
};

void PrintTo(const FaultCase &c, std::ostream *os) {
  *os << c.name;
}

const std::string kDigest(64, 'a');

class ServerFault : public TempDirTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(ServerFault, IsExitSixWithItsReason) {
  const FaultCase &c = GetParam();
  ScriptedServer server(c.reply);
  for (const char *command : {"get", "info"}) {
    SCOPED_TRACE(command);
    std::vector<std::string> args = {command,          "f.bin",     "--server",
                                     server.Address(), "--timeout", "20"};
    if (c.multicast)
      args.push_back("--multicast");
    Result r = Run(args);
    EXPECT_EQ(r.code, kServerFault) << r.output;
    EXPECT_TRUE(Says(r.output, "zem4: " + c.message + "\n"));
    EXPECT_TRUE(Listing(Out()).empty());
  }
  EXPECT_GE(server.Requests(), 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ServerFault,
    ::testing::Values(
        FaultCase{"SizeNotANumber", OackPacket({{"tsize", "12x"}}), false,
                  "the server gave an impossible size: \"12x\""},
        FaultCase{"SizeBeyondBlockNumbers",
                  OackPacket({{"tsize", "4432406248441"}, {"sha256", kDigest}}), false,
                  "the server gave an impossible size: \"4432406248441\""},
        FaultCase{"SizeBeyond64Bits", OackPacket({{"tsize", "99999999999999999999999"}}), false,
                  "the server gave an impossible size: \"99999999999999999999999\""},
        FaultCase{"DigestNotHex", OackPacket({{"tsize", "5"}, {"sha256", std::string(64, 'z')}}),
                  false, "the server gave a malformed SHA-256: \"" + std::string(64, 'z') + "\""},
        FaultCase{"GroupNotMulticast",
                  OackPacket({{"tsize", "5000"}, {"multicast", "10.1.2.3,5000,1"}}), true,
                  "the server's multicast answer cannot be used: \"10.1.2.3,5000,1\""},
        FaultCase{"GroupPortZero", OackPacket({{"tsize", "5000"}, {"multicast", "239.1.2.3,0,1"}}),
                  true, "the server's multicast answer cannot be used: \"239.1.2.3,0,1\""},
        FaultCase{"GroupRoleTwo",
                  OackPacket({{"tsize", "5000"}, {"multicast", "239.1.2.3,5000,2"}}), true,
                  "the server's multicast answer cannot be used: \"239.1.2.3,5000,2\""},
        FaultCase{"GroupFieldMissing",
                  OackPacket({{"tsize", "5000"}, {"multicast", "239.1.2.3,5000"}}), true,
                  "the server's multicast answer cannot be used: \"239.1.2.3,5000\""},
        FaultCase{"PairCutShort",
                  {0, 6, 't', 's', 'i', 'z', 'e', 0, '1'},
                  false,
                  "the server's option acknowledgement is malformed"}),
    [](const ::testing::TestParamInfo<FaultCase> &info) { return std::string(info.param.name); });

} // namespace
