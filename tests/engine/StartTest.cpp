// Transfer start-up: the request on the wire and where it goes.
#include "tests/common/DriverFixture.h"

namespace zem4::test {
namespace {

class StartTest : public DriverFixture {};

TEST_F(StartTest, RequestWithoutOptionsGoesToConfiguredServer) {
  ScriptedServer server(Net(), kServerIp, kServerPort);
  server.Expect(RrqPacket("boot.efi")).Reply(ErrorPacket(1, "File not found"));
  ASSERT_EQ(ConfigureDefault(), EFI_SUCCESS);
  Zem4Token token;
  Completion done;
  PrepareToken(token, done, "boot.efi");
  UINT8 buffer[16];
  token.Buffer = buffer;
  token.BufferSize = sizeof(buffer);
  ASSERT_EQ(Proto()->ReadFile(Proto(), &token), EFI_SUCCESS);
  ASSERT_TRUE(RunUntil([&] { return done.count > 0; }, 10 * kSecond));
  EXPECT_EQ(done.count, 1);
  EXPECT_EQ(done.status, EFI_TFTP_ERROR);
  EXPECT_TRUE(server.Failures().empty()) << server.Failures().front();
}

} // namespace
} // namespace zem4::test
