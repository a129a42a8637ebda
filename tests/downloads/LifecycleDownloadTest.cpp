// Full life cycles with downloads, the driver loaded as firmware loads it:
// load, connect, three children downloading at once (one by unicast, two in
// one multicast group), destroy, disconnect, unload; nothing left live.
#include "tests/common/DriverHost.h"
#include "tests/common/EngineServer.h"
#include "tests/modes/ModesFixture.h"

#include "support/Globals.h"

#include <gtest/gtest.h>

namespace zem4::test {
namespace {

constexpr host::Ipv4 kHostClient{127, 0, 5, 2};
constexpr host::Ipv4 kHostServer{127, 0, 5, 1};

struct Download {
  EFI_HANDLE child = nullptr;
  Zem4Token token{};
  Sink sink;
  int completions = 0;
  EFI_EVENT event = nullptr;
  Zem4Option option = {const_cast<CHAR8 *>("multicast"), const_cast<CHAR8 *>("1")};
};

VOID EFIAPI Completed(EFI_EVENT, VOID *Context) {
  static_cast<Download *>(Context)->completions++;
}

class LifecycleDownloadTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_EQ(rig_.Load(), EFI_SUCCESS);
    controller_ = rig_.AddController(kHostClient);
    ASSERT_EQ(rig_.Connect(controller_), EFI_SUCCESS);
    // The two multicast children share one address, so only one of them can
    // bind the group's port: data at once keeps the second out of the first
    // one's group, as before the join grace.
    server::EngineConfig config;
    config.JoinGrace = std::chrono::milliseconds(0);
    server_ = std::make_unique<EngineServer>(rig_.Fw(), rig_.Net(), kHostServer, config);
    file_ = MakeFile(150 * 1032 + 77, 21);
    server_->Files().Add("file.bin", file_);
  }

  void StartDownload(Download &d, bool multicast) {
    ASSERT_EQ(rig_.CreateChild(controller_, &d.child), EFI_SUCCESS);
    Zem4 *proto = rig_.Protocol(d.child);
    ASSERT_NE(proto, nullptr);
    Zem4ConfigData config{};
    config.StationIp = EfiIp(kHostClient);
    config.SubnetMask = EfiIp(host::Ipv4(255, 255, 255, 0));
    config.ServerIp = EfiIp(kHostServer);
    config.InitialServerPort = 5568;
    ASSERT_EQ(proto->Configure(proto, &config), EFI_SUCCESS);
    ASSERT_EQ(gBS->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, Completed, &d, &d.event),
              EFI_SUCCESS);
    d.token.Event = d.event;
    d.token.Filename = const_cast<CHAR8 *>("file.bin");
    d.token.Context = &d.sink;
    d.token.CheckPacket = CheckPacketSink;
    if (multicast) {
      d.token.OptionCount = 1;
      d.token.OptionList = &d.option;
    }
    ASSERT_EQ(proto->ReadFile(proto, &d.token), EFI_SUCCESS);
  }

  // Two multicast children: the master first, the listener 10 ms later, then
  // `wait` more.
  void StartMasterAndListener(Download &master, Download &listener, host::Time100ns wait) {
    ASSERT_NO_FATAL_FAILURE(StartDownload(master, true));
    rig_.RunUntil([] { return false; }, 10 * kMs);
    ASSERT_NO_FATAL_FAILURE(StartDownload(listener, true));
    rig_.RunUntil([] { return false; }, wait);
  }

  // Unloads the driver, stops the server and fails for anything left live.
  void UnloadLeavingNothing() {
    EXPECT_EQ(rig_.Unload(), EFI_SUCCESS);
    server_.reset();
    for (const std::string &leak : rig_.TearDown()) {
      ADD_FAILURE() << "left live: " << leak;
    }
  }

  DriverHost rig_;
  EFI_HANDLE controller_ = nullptr;
  std::unique_ptr<EngineServer> server_;
  Bytes file_;
};

TEST_F(LifecycleDownloadTest, ThreeChildrenDownloadAtOnceThenEverythingGoes) {
  Download unicast, first, second;
  StartDownload(unicast, false);
  StartDownload(first, true);
  StartDownload(second, true);
  ASSERT_TRUE(
      rig_.RunUntil([&] { return unicast.completions && first.completions && second.completions; },
                    3600 * kSecond));
  for (Download *d : {&unicast, &first, &second}) {
    EXPECT_EQ(d->completions, 1);
    EXPECT_EQ(d->token.Status, EFI_SUCCESS);
    EXPECT_TRUE(d->sink.All() == file_);
  }
  EXPECT_GE(server_->Engine().Stats().GroupsCreated, 1u);

  for (Download *d : {&unicast, &first, &second}) {
    EXPECT_EQ(rig_.DestroyChild(controller_, d->child), EFI_SUCCESS);
    gBS->CloseEvent(d->event);
  }
  EXPECT_EQ(rig_.Disconnect(controller_), EFI_SUCCESS);
  UnloadLeavingNothing();
}

TEST_F(LifecycleDownloadTest, DestroyingAMulticastChildMidDownloadAbortsItAndReleasesThePort) {
  Download listener, master;
  ASSERT_NO_FATAL_FAILURE(StartMasterAndListener(master, listener, 300 * kMs));
  EXPECT_EQ(listener.completions, 0);
  EXPECT_EQ(rig_.DestroyChild(controller_, listener.child), EFI_SUCCESS);
  EXPECT_EQ(listener.completions, 1);
  EXPECT_EQ(listener.token.Status, EFI_ABORTED);
  // The other member goes on undisturbed.
  ASSERT_TRUE(rig_.RunUntil([&] { return master.completions > 0; }, 3600 * kSecond));
  EXPECT_EQ(master.token.Status, EFI_SUCCESS);
  EXPECT_TRUE(master.sink.All() == file_);
  EXPECT_EQ(rig_.DestroyChild(controller_, master.child), EFI_SUCCESS);
  gBS->CloseEvent(listener.event);
  gBS->CloseEvent(master.event);
  EXPECT_EQ(rig_.Disconnect(controller_), EFI_SUCCESS);
  UnloadLeavingNothing();
}

TEST_F(LifecycleDownloadTest, DisconnectDuringAMulticastDownloadEndsItCleanly) {
  Download listener, master;
  ASSERT_NO_FATAL_FAILURE(StartMasterAndListener(master, listener, 50 * kMs));
  ASSERT_EQ(master.completions, 0);
  ASSERT_EQ(listener.completions, 0);
  EXPECT_EQ(rig_.Disconnect(controller_), EFI_SUCCESS);
  EXPECT_EQ(master.completions, 1);
  EXPECT_EQ(listener.completions, 1);
  EXPECT_EQ(master.token.Status, EFI_ABORTED);
  EXPECT_EQ(listener.token.Status, EFI_ABORTED);
  gBS->CloseEvent(listener.event);
  gBS->CloseEvent(master.event);
  UnloadLeavingNothing();
}

} // namespace
} // namespace zem4::test
