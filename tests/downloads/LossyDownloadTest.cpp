// Whole unicast downloads from the server's real engine over a network that
// loses, duplicates and reorders datagrams, from fixed seeds.
#include "tests/downloads/EngineDownloadFixture.h"

#include <string>

namespace zem4::test {
namespace {

struct LossCase {
  double rate;
  size_t size;
  bool stream;
};

std::string Name(const ::testing::TestParamInfo<LossCase> &info) {
  return std::string(info.param.stream ? "Stream" : "Buffer") + "Rate" +
         std::to_string(int(info.param.rate * 100)) + "Size" + std::to_string(info.param.size);
}

class LossyDownloadTest : public EngineDownloadFixture,
                          public ::testing::WithParamInterface<LossCase> {};

TEST_P(LossyDownloadTest, ExactFile) {
  const LossCase &c = GetParam();
  Bytes file = MakeFile(c.size, 7);
  engine_->Files().Add("file.bin", file);
  host::FaultProfile profile;
  profile.loss = c.rate;
  profile.duplicate = c.rate;
  profile.reorder = c.rate;
  Net().SetDefaultProfile(profile);

  ASSERT_EQ(ConfigureDefault(), EFI_SUCCESS);
  PrepareToken(token_, done_, "file.bin");
  token_.Context = &sink_;
  if (c.stream) {
    token_.CheckPacket = CheckPacketSink;
  } else {
    buffer_.assign(c.size == 0 ? 1 : c.size, 0xEE);
    token_.Buffer = buffer_.data();
    token_.BufferSize = buffer_.size();
  }
  ASSERT_EQ(Proto()->ReadFile(Proto(), &token_), EFI_SUCCESS);
  ASSERT_TRUE(RunToEnd(3600 * kSecond)) << Net().Describe();
  EXPECT_EQ(done_.count, 1);
  ASSERT_EQ(done_.status, EFI_SUCCESS) << Net().Describe();
  if (c.stream) {
    EXPECT_TRUE(sink_.All() == file) << Net().Describe();
  } else if (c.size != 0) {
    EXPECT_TRUE(buffer_ == file) << Net().Describe();
  }
}

std::vector<LossCase> Cases() {
  std::vector<LossCase> out;
  for (double rate : {0.0, 0.01, 0.05, 0.20}) {
    for (size_t size : {size_t(0), size_t(1033), size_t(64 * 1032 + 1), size_t(300 * 1032 + 17)}) {
      out.push_back({rate, size, false});
      out.push_back({rate, size, true});
    }
  }
  return out;
}

INSTANTIATE_TEST_SUITE_P(Rates, LossyDownloadTest, ::testing::ValuesIn(Cases()), Name);

} // namespace
} // namespace zem4::test
