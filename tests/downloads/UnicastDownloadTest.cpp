// Whole unicast downloads, checked byte for byte, for a caller that gives a
// buffer and for one that takes the file as a stream through CheckPacket.
#include "tests/modes/ModesFixture.h"

#include <string>

namespace zem4::test {
namespace {

struct Case {
  size_t size;
  bool stream;
  bool emptyCall; // a stream's last call is the empty last block on its own
};

std::string Name(const ::testing::TestParamInfo<Case> &info) {
  return (info.param.stream ? "Stream" : "Buffer") + std::to_string(info.param.size);
}

class UnicastDownloadTest : public ModesFixture, public ::testing::WithParamInterface<Case> {};

TEST_P(UnicastDownloadTest, ExactFile) {
  const Case &c = GetParam();
  Bytes file = MakeFile(c.size, static_cast<uint32_t>(c.size));
  FileResponder responder(file, kDataPort);
  server_->SetHandler([&](ScriptedServer &server, const ScriptedServer::Received &received) {
    responder(server, received);
  });
  if (c.stream) {
    Start(Caller::Stream);
  } else {
    // An empty file still needs a buffer of at least one byte.
    Start(Caller::Buffer, c.size == 0 ? 1 : c.size);
  }
  // The request that Start saw went by the handler too.
  ASSERT_TRUE(RunToEnd(600 * kSecond));
  EXPECT_EQ(done_.count, 1);
  ASSERT_EQ(done_.status, EFI_SUCCESS);
  if (c.stream) {
    Bytes got = sink_.All();
    ASSERT_EQ(got.size(), file.size());
    EXPECT_TRUE(got == file);
    // Runs of whole blocks, the last one short (or empty).
    for (size_t i = 0; i + 1 < sink_.runs.size(); i++) {
      EXPECT_EQ(sink_.runs[i].size() % 1032, 0u) << i;
    }
    EXPECT_EQ(sink_.runs.back().empty(), c.emptyCall);
  } else {
    if (c.size == 0) {
      EXPECT_EQ(buffer_[0], 0xEE);
    } else {
      EXPECT_TRUE(buffer_ == file);
    }
  }
  Zem4TransferStatus status{};
  ASSERT_EQ(Proto()->GetStatus(Proto(), &status), EFI_SUCCESS);
  EXPECT_EQ(status.TotalBlocks, c.size / 1032 + (c.size % 1032 != 0));
  EXPECT_TRUE(responder.FinSent());
}

// A file of whole blocks ends with an empty block. A stream gets a call of its
// own for it only where it starts a half window (after 0, 64 or 128 blocks);
// next to the block before it (1032, 2 * 1032), it joins that block's run.
const size_t kSizes[] = {0,    1,         1031,          1032,       2 * 1032,
                         1033, 64 * 1032, 64 * 1032 + 1, 128 * 1032, 10 * 1024 * 1024};

std::vector<Case> AllCases() {
  std::vector<Case> out;
  for (size_t size : kSizes) {
    out.push_back({size, false, false});
    out.push_back({size, true, size == 0 || size == 64 * 1032 || size == 128 * 1032});
  }
  return out;
}

INSTANTIATE_TEST_SUITE_P(Sizes, UnicastDownloadTest, ::testing::ValuesIn(AllCases()), Name);

} // namespace
} // namespace zem4::test
