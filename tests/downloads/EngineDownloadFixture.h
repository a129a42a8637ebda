// The driver's mode fixture with the server's real engine in place of the
// scripted server, for whole downloads from that engine.
#pragma once

#include "tests/common/EngineServer.h"
#include "tests/modes/ModesFixture.h"

#include <memory>

namespace zem4::test {

class EngineDownloadFixture : public ModesFixture {
protected:
  void SetUp() override {
    ModesFixture::SetUp();
    server_.reset(); // the engine takes the server's address
    engine_ = std::make_unique<EngineServer>(Fw(), Net(), kServerIp);
  }
  void TearDown() override {
    engine_.reset();
    ModesFixture::TearDown();
  }
  // Serves `file` as file.bin from the engine and downloads it whole, as a
  // stream or into a buffer of its size (one byte for an empty file): one
  // completion, EFI_SUCCESS and the same bytes.
  void DownloadWhole(const Bytes &file, bool stream) {
    engine_->Files().Add("file.bin", file);
    ASSERT_EQ(ConfigureDefault(), EFI_SUCCESS);
    PrepareToken(token_, done_, "file.bin");
    token_.Context = &sink_;
    if (stream) {
      token_.CheckPacket = CheckPacketSink;
    } else {
      buffer_.assign(file.empty() ? 1 : file.size(), 0xEE);
      token_.Buffer = buffer_.data();
      token_.BufferSize = buffer_.size();
    }
    ASSERT_EQ(Proto()->ReadFile(Proto(), &token_), EFI_SUCCESS);
    ASSERT_TRUE(RunToEnd(3600 * kSecond)) << Net().Describe();
    EXPECT_EQ(done_.count, 1);
    ASSERT_EQ(done_.status, EFI_SUCCESS) << Net().Describe();
    if (stream) {
      EXPECT_TRUE(sink_.All() == file) << Net().Describe();
    } else if (!file.empty()) {
      EXPECT_TRUE(buffer_ == file) << Net().Describe();
    }
  }
  std::unique_ptr<EngineServer> engine_;
};

} // namespace zem4::test
