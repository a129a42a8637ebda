// Poll and GetStatus.
#include "tests/common/DriverFixture.h"

#include <cstring>
#include <vector>

namespace zem4::test {
namespace {

class PollStatusTest : public DriverFixture {};

TEST_F(PollStatusTest, PollChecksItsPointer) {
  EXPECT_EQ(Proto()->Poll(nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(CountLog("Zem.Zem4Poll function called with invalid paramter.\n"), 1u);

  // A protocol table that does not sit in an instance record.
  std::vector<UINT64> foreign((InstanceProbe::ProtocolOffset() + sizeof(Zem4)) / 8 + 1, 0);
  auto *bytes = reinterpret_cast<UINT8 *>(foreign.data());
  std::memcpy(bytes, "MTFX", 4);
  auto *protocol = reinterpret_cast<Zem4 *>(bytes + InstanceProbe::ProtocolOffset());
  EXPECT_EQ(Proto()->Poll(protocol), EFI_INVALID_PARAMETER);
  EXPECT_EQ(CountLog("Zem.ReadFile called with invalid protocol pointer.\n"), 1u);
}

TEST_F(PollStatusTest, PollWithoutPortIsNotStarted) {
  EFI_UDP4_PROTOCOL *udp = InstanceRig(Proto()).InjectPort(nullptr);
  EXPECT_EQ(Proto()->Poll(Proto()), EFI_NOT_STARTED);
  InstanceRig(Proto()).InjectPort(udp);
  EXPECT_EQ(Proto()->Poll(Proto()), EFI_SUCCESS);
  EXPECT_GT(Fw().Faults().Count("Udp4.Poll"), 0u);
}

TEST_F(PollStatusTest, GetStatusChecksItsArguments) {
  Zem4TransferStatus status{};
  EXPECT_EQ(Proto()->GetStatus(nullptr, &status), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Proto()->GetStatus(Proto(), nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(CountLog("Zem4GetStatus: Called with invalid parameter.\n"), 2u);
}

TEST_F(PollStatusTest, GetStatusBeforeTheOackAndWithOddCounts) {
  ScriptedServer server(Net(), kServerIp, kServerPort);
  ASSERT_EQ(ConfigureDefault(), EFI_SUCCESS);
  PrepareToken(token_, done_, "boot.efi");
  UINT8 buffer[1];
  token_.Buffer = buffer;
  token_.BufferSize = 1;
  ASSERT_EQ(Proto()->ReadFile(Proto(), &token_), EFI_SUCCESS);
  Zem4TransferStatus status;
  std::memset(&status, 0xA5, sizeof(status));
  ASSERT_EQ(Proto()->GetStatus(Proto(), &status), EFI_SUCCESS);
  EXPECT_EQ(status.TotalBlocks, 0xFFFFFFFFu);
  EXPECT_EQ(status.Percent, 0u);
  EXPECT_EQ(status.ReceivedBlocks, 0u);
  EXPECT_EQ(status.LostBlocks, 0u);
  EXPECT_EQ(status.Reserved, 0u);

  InstanceRig(Proto()).InjectCounts(200, 50, 7);
  ASSERT_EQ(Proto()->GetStatus(Proto(), &status), EFI_SUCCESS);
  EXPECT_EQ(status.Percent, 25u);
  EXPECT_EQ(status.LostBlocks, 7u);
  // The product is taken in 64 bits.
  InstanceRig(Proto()).InjectCounts(0xFFFFFFFFu, 0xFFFFFFFFu, 7);
  ASSERT_EQ(Proto()->GetStatus(Proto(), &status), EFI_SUCCESS);
  EXPECT_EQ(status.Percent, 100u);
  // A "tsize" of 0: the division yields all ones.
  InstanceRig(Proto()).InjectCounts(0, 0, 7);
  ASSERT_EQ(Proto()->GetStatus(Proto(), &status), EFI_SUCCESS);
  EXPECT_EQ(status.Percent, 0xFFFFFFFFu);
}

TEST_F(PollStatusTest, GetStatusAfterTheTransferKeepsItsNumbers) {
  ScriptedServer server(Net(), kServerIp, kServerPort);
  Bytes file(5 * 1032 + 1, 0x3C);
  server.SetHandler(FileResponder(file, 6001));
  ASSERT_EQ(ConfigureDefault(), EFI_SUCCESS);
  PrepareToken(token_, done_, "boot.efi");
  std::vector<UINT8> buffer(file.size());
  token_.Buffer = buffer.data();
  token_.BufferSize = buffer.size();
  ASSERT_EQ(Proto()->ReadFile(Proto(), &token_), EFI_SUCCESS);
  ASSERT_TRUE(RunUntil([&] { return done_.count > 0; }, 30 * kSecond));
  ASSERT_EQ(done_.status, EFI_SUCCESS);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.end()), file);
  Zem4TransferStatus status{};
  ASSERT_EQ(Proto()->GetStatus(Proto(), &status), EFI_SUCCESS);
  EXPECT_EQ(status.TotalBlocks, 6u);
  EXPECT_EQ(status.ReceivedBlocks, 6u);
  EXPECT_EQ(status.Percent, 100u);
}

} // namespace
} // namespace zem4::test
