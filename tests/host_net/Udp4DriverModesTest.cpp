// The driver against each way UDP4 may complete its sends (in order, out of
// order, held until the port closes): a group of three on lossy links, one
// member destroyed and one controller stopped mid-transfer, the third still
// ends with the exact file and the firmware with nothing left.
#include "host/SimNetwork.h"
#include "tests/common/EngineServer.h"
#include "tests/common/FirmwareFixture.h"
#include "tests/multicast/McastGroup.h"

namespace zem4::test {
namespace {

using namespace mcast;
using host::SendCompletion;

struct ModeCase {
  SendCompletion mode;
  uint64_t seed;
  bool multicast;
};

class Udp4DriverModesTest : public ::testing::TestWithParam<ModeCase> {};

TEST_P(Udp4DriverModesTest, InterruptedGroupStillDeliversTheFile) {
  const ModeCase &c = GetParam();
  DriverHost host(c.seed);
  ASSERT_EQ(host.Load(), EFI_SUCCESS);
  EngineServer server(host.Fw(), host.Net(), kServer);
  host::FaultProfile lossy;
  lossy.delay = 2 * kMs / 10;
  lossy.loss = 0.1;
  host.Net().SetDefaultProfile(lossy);
  Group group(host);
  const size_t size = 300 * kBlock + 5;
  const Bytes file = MakeFile(size, 3);
  server.Files().Add("f", file);
  for (Caller caller : {Caller::Buffer, Caller::Stream, Caller::BufferAndCheck}) {
    Member *m = group.Add(caller, "f", size, c.multicast);
    ASSERT_NE(m, nullptr);
    host.Controller(m->index).SetSendCompletion(c.mode);
    ASSERT_EQ(group.Start(*m), EFI_SUCCESS);
  }
  host.RunUntil([] { return false; }, 3 * kMs * (1 + c.seed));
  ASSERT_EQ(group.Destroy(group[0]), EFI_SUCCESS);
  host.RunUntil([] { return false; }, 2 * kMs);
  ASSERT_EQ(host.Disconnect(group[1].controller), EFI_SUCCESS);
  group[1].destroyed = true; // gone with its controller's driver
  for (size_t i : {0, 1}) {
    EXPECT_EQ(group[i].signalled, 1) << i;
    EXPECT_EQ(group[i].token.Status, EFI_ABORTED) << i;
  }
  ASSERT_TRUE(group.RunUntilDone(600 * kSecond)) << "seed " << c.seed;
  EXPECT_EQ(group[2].signalled, 1);
  EXPECT_EQ(group[2].token.Status, EFI_SUCCESS);
  EXPECT_EQ(Group::Compare(group[2], file), "");
  group.Release();
  ExpectNoFindings(host.TearDown());
}

std::vector<ModeCase> Cases() {
  std::vector<ModeCase> cases;
  for (SendCompletion mode :
       {SendCompletion::NextTick, SendCompletion::OutOfOrder, SendCompletion::Held})
    for (uint64_t seed : {1, 2})
      for (bool multicast : {false, true})
        cases.push_back({mode, seed, multicast});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Sends, Udp4DriverModesTest, ::testing::ValuesIn(Cases()),
                         [](const auto &info) {
                           const ModeCase &c = info.param;
                           const char *mode = c.mode == SendCompletion::NextTick     ? "InOrder"
                                              : c.mode == SendCompletion::OutOfOrder ? "OutOfOrder"
                                                                                     : "Held";
                           return std::string(mode) + "Seed" + std::to_string(c.seed) +
                                  (c.multicast ? "Multicast" : "Unicast");
                         });

} // namespace
} // namespace zem4::test
