// Whole life cycles with downloads: the driver loaded, bound to two
// controllers, children downloading at once, destroyed mid-transfer or after,
// then disconnected and unloaded with nothing left live.
#include "driver/Zem4Driver.h"
#include "tests/common/DriverHost.h"
#include "tests/common/ScriptedServer.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace zem4::test {
namespace {

constexpr host::Ipv4 kStationA{127, 0, 4, 2};
constexpr host::Ipv4 kStationB{127, 0, 4, 3};
constexpr host::Ipv4 kServer{127, 0, 4, 1};
constexpr host::Time100ns kSecond = 10'000'000;

VOID EFIAPI CountSignal(EFI_EVENT, VOID *context) {
  ++*static_cast<int *>(context);
}

// One child's download into its own buffer, completed through its event.
struct Download {
  EFI_HANDLE controller = nullptr;
  EFI_HANDLE child = nullptr;
  uint16_t serverPort = 0;
  Bytes expected;
  Bytes buffer;
  Zem4Token token{};
  EFI_EVENT event = nullptr;
  int signalled = 0;
  std::string file;
};

std::string Join(const std::vector<std::string> &lines) {
  std::string out;
  for (const auto &line : lines) {
    out += "  " + line + "\n";
  }
  return out;
}

class LifecycleDownloadTest : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_EQ(host_.Load(), EFI_SUCCESS); }

  void Start(Download &d, host::Ipv4 station) {
    ASSERT_EQ(host_.CreateChild(d.controller, &d.child), EFI_SUCCESS);
    Zem4 *proto = host_.Protocol(d.child);
    ASSERT_NE(proto, nullptr);
    Zem4ConfigData config{};
    config.StationIp = EfiIp(station);
    config.ServerIp = EfiIp(kServer);
    config.SubnetMask = {{255, 255, 255, 0}};
    config.InitialServerPort = d.serverPort;
    ASSERT_EQ(proto->Configure(proto, &config), EFI_SUCCESS);
    ASSERT_EQ(host_.Fw().BootServices()->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, CountSignal,
                                                     &d.signalled, &d.event),
              EFI_SUCCESS);
    d.buffer.assign(d.expected.size() + 1, 0xEE);
    d.token = Zem4Token{};
    d.token.Event = d.event;
    d.token.Filename = const_cast<CHAR8 *>(d.file.c_str());
    d.token.Buffer = d.buffer.data();
    d.token.BufferSize = d.buffer.size();
    ASSERT_EQ(proto->ReadFile(proto, &d.token), EFI_SUCCESS);
  }

  void Finish(Download &d) {
    host_.Fw().BootServices()->CloseEvent(d.event);
    d.event = nullptr;
  }

  void TearDown() override {
    auto leaks = host_.TearDown();
    EXPECT_TRUE(leaks.empty()) << Join(leaks);
  }

  DriverHost host_;
};

TEST_F(LifecycleDownloadTest, TwoControllersThreeChildrenDownloadAtOnceThenEverythingGoes) {
  EFI_HANDLE controllerA = host_.AddController(kStationA);
  EFI_HANDLE controllerB = host_.AddController(kStationB);
  ASSERT_EQ(host_.Connect(controllerA), EFI_SUCCESS);
  ASSERT_EQ(host_.Connect(controllerB), EFI_SUCCESS);

  std::vector<std::unique_ptr<ScriptedServer>> servers;
  Download downloads[3];
  const size_t sizes[3] = {70 * 1032 + 17, 128 * 1032, 5000};
  for (int i = 0; i < 3; i++) {
    Download &d = downloads[i];
    d.controller = i < 2 ? controllerA : controllerB;
    d.serverPort = static_cast<uint16_t>(5600 + i);
    d.expected = MakeFile(sizes[i], static_cast<uint32_t>(i + 1));
    d.file = "file" + std::to_string(i);
    servers.push_back(std::make_unique<ScriptedServer>(host_.Net(), kServer, d.serverPort));
    servers.back()->SetHandler(FileResponder(d.expected, static_cast<uint16_t>(6100 + i)));
  }
  Start(downloads[0], kStationA);
  Start(downloads[1], kStationA);
  Start(downloads[2], kStationB);

  ASSERT_TRUE(host_.RunUntil(
      [&] { return downloads[0].signalled && downloads[1].signalled && downloads[2].signalled; },
      120 * kSecond))
      << host_.Net().Describe();
  for (Download &d : downloads) {
    EXPECT_EQ(d.signalled, 1);
    EXPECT_EQ(d.token.Status, EFI_SUCCESS) << d.file;
    EXPECT_TRUE(std::equal(d.expected.begin(), d.expected.end(), d.buffer.begin())) << d.file;
    EXPECT_EQ(d.buffer.back(), 0xEE) << "nothing written past the file";
  }

  // Children go in an order that is neither creation order nor its reverse.
  EXPECT_EQ(host_.DestroyChild(controllerA, downloads[0].child), EFI_SUCCESS);
  EXPECT_EQ(host_.DestroyChild(controllerB, downloads[2].child), EFI_SUCCESS);
  EXPECT_EQ(host_.DestroyChild(controllerA, downloads[1].child), EFI_SUCCESS);
  for (Download &d : downloads) {
    Finish(d);
  }
  EXPECT_EQ(host_.Disconnect(controllerA), EFI_SUCCESS);
  EXPECT_EQ(host_.Disconnect(controllerB), EFI_SUCCESS);
  EXPECT_EQ(host_.Unload(), EFI_SUCCESS);
  EXPECT_EQ(host_.Controller(0).ChildCount(), 0u);
  EXPECT_EQ(host_.Controller(1).ChildCount(), 0u);
}

// A download ended from outside, by DestroyChild or by Stop on the child's
// handle: the token completes once, aborted, and nothing more is sent.
struct Ending {
  const char *name;
  bool stop; // Stop (Disconnect) rather than DestroyChild
};

class EndedDownloadTest : public LifecycleDownloadTest,
                          public ::testing::WithParamInterface<Ending> {};

TEST_P(EndedDownloadTest, CompletesAbortedAndSendsNothingMore) {
  EFI_HANDLE controller = host_.AddController(kStationA);
  ASSERT_EQ(host_.Connect(controller), EFI_SUCCESS);
  Download d;
  d.controller = controller;
  d.serverPort = 5610;
  d.expected = MakeFile(400 * 1032, 9);
  d.file = "big";
  ScriptedServer server(host_.Net(), kServer, d.serverPort);
  server.SetHandler(FileResponder(d.expected, 6200));
  Start(d, kStationA);
  ASSERT_TRUE(host_.RunUntil([&] { return server.Log().size() > 5; }, 30 * kSecond));
  ASSERT_EQ(d.signalled, 0);

  if (GetParam().stop) {
    EXPECT_EQ(host_.Disconnect(controller), EFI_SUCCESS);
    EXPECT_EQ(host_.ServiceBinding(controller), nullptr);
  } else {
    EXPECT_EQ(host_.DestroyChild(controller, d.child), EFI_SUCCESS);
  }
  EXPECT_EQ(d.signalled, 1);
  EXPECT_EQ(d.token.Status, EFI_ABORTED);
  size_t heard = server.Log().size();
  host_.RunUntil([] { return false; }, 5 * kSecond);
  EXPECT_EQ(server.Log().size(), heard) << "an ended child sends nothing more";
  EXPECT_EQ(d.signalled, 1);
  Finish(d);
  EXPECT_EQ(host_.Unload(), EFI_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Endings, EndedDownloadTest,
                         ::testing::Values(Ending{"DestroyChild", false},
                                           Ending{"StopOnTheChildHandle", true}),
                         [](const ::testing::TestParamInfo<Ending> &info) {
                           return std::string(info.param.name);
                         });

} // namespace
} // namespace zem4::test
