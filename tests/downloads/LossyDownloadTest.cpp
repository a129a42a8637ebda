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
  host::FaultProfile profile;
  profile.loss = c.rate;
  profile.duplicate = c.rate;
  profile.reorder = c.rate;
  Net().SetDefaultProfile(profile);
  ASSERT_NO_FATAL_FAILURE(DownloadWhole(MakeFile(c.size, 7), c.stream));
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
