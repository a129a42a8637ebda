// A unicast `zem4 get` into a regular file is written in file order and
// hashed as it arrives. Loss on the way (the driver then meets gaps, the
// server goes back) must still give the exact file, verified, with no
// temporary left, for every seed tried.
#include "tests/e2e/Cli.h"

namespace {

using namespace zem4::e2e;

class UnicastStream : public TempDirTest {};

TEST_F(UnicastStream, LossOnTheWayStillGivesTheExactVerifiedFile) {
  const std::vector<uint8_t> data = RandomBytes((2 << 20) + 333, 77);
  WriteFile(Root() / "lossy.bin", data);
  Daemon server(Root(), dir_);
  for (const char *seed : {"1", "2", "3"}) {
    SCOPED_TRACE(seed);
    Result r = Run({"get", "lossy.bin", "--server", server.Address(), "--station", "127.0.0.2",
                    "--loss", "0.03", "--seed", seed});
    ASSERT_EQ(r.code, kOk) << r.output;
    EXPECT_TRUE(Says(r.output, "SHA-256 verified"));
    std::smatch gaps;
    ASSERT_TRUE(std::regex_search(r.output, gaps, std::regex(" ([0-9]+) gaps seen"))) << r.output;
    EXPECT_GT(std::stoul(gaps[1]), 0u) << "no loss was in play\n" << r.output;
    EXPECT_LE(std::stoul(gaps[1]), data.size() / 1032 + 1) << r.output;
    EXPECT_EQ(ReadFile(Out() / "lossy.bin"), data);
    EXPECT_EQ(Listing(Out()), std::vector<std::string>{"lossy.bin"});
  }
}

} // namespace
