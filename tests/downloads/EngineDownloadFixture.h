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
  std::unique_ptr<EngineServer> engine_;
};

} // namespace zem4::test
