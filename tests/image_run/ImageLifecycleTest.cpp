// The driver image run by the host firmware's loader: its whole life cycle,
// and whole downloads from the server's engine on the simulated network,
// unicast and multicast, every byte checked, nothing left live afterwards.
#include "tests/common/EngineServer.h"
#include "tests/image_run/ImageRun.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace zem4::test {
namespace {

constexpr host::Ipv4 kServer{127, 0, 8, 1};

host::Ipv4 Station(int index) {
  return host::Ipv4(127, 0, 8, static_cast<uint8_t>(10 + index));
}

class ImageRunTest : public ImageWithEngine {
protected:
  ImageRunTest() : ImageWithEngine(kServer, 7) {}

  void TearDown() override {
    for (auto &t : transfers_) {
      EndTransfer(host_, *t);
    }
    ImageWithEngine::TearDown();
  }

  bool InImage(const void *at) const {
    const host::PeImage &image = host_.ImageFile()->Image();
    const auto a = reinterpret_cast<uintptr_t>(at);
    const auto base = reinterpret_cast<uintptr_t>(image.Base());
    return a >= base && a < base + image.Size();
  }

  Transfer &NewTransfer(EFI_HANDLE controller, int station, const std::string &file, size_t size,
                        bool stream) {
    auto t = std::make_unique<Transfer>();
    t->controller = controller;
    t->station = Station(station);
    t->server = kServer;
    t->serverPort = server::EngineConfig{}.ListenPort;
    t->file = file;
    t->stream = stream;
    t->bufferSize = size + 1;
    transfers_.push_back(std::move(t));
    return *transfers_.back();
  }

  bool RunUntilDone(host::Time100ns limit) {
    return host_.RunUntil(
        [&] {
          for (auto &t : transfers_) {
            if (t->child != nullptr && t->signalled == 0) {
              return false;
            }
          }
          return true;
        },
        limit);
  }

  void ExpectWhole(const Transfer &t, const Bytes &file) {
    SCOPED_TRACE(t.file + (t.stream ? " (stream)" : " (buffer)"));
    EXPECT_EQ(t.signalled, 1);
    EXPECT_EQ(t.token.Status, EFI_SUCCESS) << host_.Net().Describe();
    Bytes got = t.Received();
    if (!t.stream) {
      ASSERT_EQ(got.size(), file.size() + 1);
      EXPECT_EQ(got.back(), 0xEE) << "written past the file";
      got.pop_back();
    }
    EXPECT_TRUE(got == file) << "received " << got.size() << " bytes, file has " << file.size()
                             << "; " << host_.Net().Describe();
  }

  std::vector<std::unique_ptr<Transfer>> transfers_;
};

TEST_F(ImageRunTest, FullLifeCycleWithChildrenOnTwoControllers) {
  host::Firmware &fw = host_.Fw();
  EFI_LOADED_IMAGE_PROTOCOL *li = fw.LoadedImage(host_.Image());
  ASSERT_NE(li, nullptr);
  EXPECT_EQ(li->ImageBase, host_.ImageFile()->Image().Base());
  EXPECT_EQ(li->ImageSize, host_.ImageFile()->Image().Size());
  EXPECT_EQ(li->ImageCodeType, EfiBootServicesCode);
  ASSERT_NE(li->Unload, nullptr) << "the entry point hooks Unload";
  EXPECT_TRUE(InImage(reinterpret_cast<const void *>(li->Unload)));

  EFI_HANDLE a = host_.AddController(Station(0));
  EFI_HANDLE b = host_.AddController(Station(1));
  ASSERT_EQ(host_.Connect(a), EFI_SUCCESS);
  ASSERT_EQ(host_.Connect(b), EFI_SUCCESS);
  for (EFI_HANDLE c : {a, b}) {
    EFI_SERVICE_BINDING_PROTOCOL *sb = host_.ServiceBinding(c);
    ASSERT_NE(sb, nullptr);
    EXPECT_FALSE(InImage(sb)) << "the service binding lives in pool memory";
    EXPECT_TRUE(InImage(reinterpret_cast<const void *>(sb->CreateChild)));
  }

  const Bytes f0 = MakeFile(70 * 1032 + 17, 1), f1 = MakeFile(128 * 1032, 2),
              f2 = MakeFile(5000, 3);
  engine_->Files().Add("f0", f0);
  engine_->Files().Add("f1", f1);
  engine_->Files().Add("f2", f2);
  Transfer &t0 = NewTransfer(a, 0, "f0", f0.size(), false);
  Transfer &t1 = NewTransfer(a, 0, "f1", f1.size(), true);
  Transfer &t2 = NewTransfer(b, 1, "f2", f2.size(), false);
  for (Transfer *t : {&t0, &t1, &t2}) {
    ASSERT_EQ(EFI_SUCCESS, StartTransfer(host_, *t));
    EXPECT_TRUE(InImage(reinterpret_cast<const void *>(host_.Protocol(t->child)->ReadFile)));
  }
  ASSERT_TRUE(RunUntilDone(120 * kSecond)) << host_.Net().Describe();
  ExpectWhole(t0, f0);
  ExpectWhole(t1, f1);
  ExpectWhole(t2, f2);

  // A child goes mid-life of the others, then the rest; the controllers go
  // one by one; the image goes last.
  EXPECT_EQ(EndTransfer(host_, t1), EFI_SUCCESS);
  EXPECT_EQ(EndTransfer(host_, t0), EFI_SUCCESS);
  EXPECT_EQ(EndTransfer(host_, t2), EFI_SUCCESS);
  EXPECT_EQ(host_.Disconnect(a), EFI_SUCCESS);
  EXPECT_EQ(host_.ServiceBinding(a), nullptr);
  EXPECT_NE(host_.ServiceBinding(b), nullptr);
  EXPECT_EQ(host_.Disconnect(b), EFI_SUCCESS);
  EXPECT_EQ(host_.Controller(0).ChildCount(), 0u);
  EXPECT_EQ(host_.Controller(1).ChildCount(), 0u);
  EFI_HANDLE image = host_.Image();
  EXPECT_EQ(host_.Unload(), EFI_SUCCESS);
  EXPECT_FALSE(host_.ImageFile()->Resident());
  EXPECT_FALSE(fw.IsHandle(image)) << "the image handle outlived the image";
}

TEST_F(ImageRunTest, UnloadWhileBoundStopsTheControllersFirst) {
  EFI_HANDLE a = host_.AddController(Station(0));
  ASSERT_EQ(host_.Connect(a), EFI_SUCCESS);
  ASSERT_NE(host_.ServiceBinding(a), nullptr);
  EXPECT_EQ(host_.Unload(), EFI_SUCCESS);
  EXPECT_EQ(host_.ServiceBinding(a), nullptr);
  EXPECT_FALSE(host_.ImageFile()->Resident());
}

TEST_F(ImageRunTest, DestroyAndDisconnectMidTransferAbort) {
  EFI_HANDLE a = host_.AddController(Station(0));
  EFI_HANDLE b = host_.AddController(Station(1));
  ASSERT_EQ(host_.Connect(a), EFI_SUCCESS);
  ASSERT_EQ(host_.Connect(b), EFI_SUCCESS);
  const Bytes big = MakeFile(4000 * 1032, 4);
  engine_->Files().Add("big", big);
  Transfer &ta = NewTransfer(a, 0, "big", big.size(), false);
  Transfer &tb = NewTransfer(b, 1, "big", big.size(), true);
  ASSERT_EQ(EFI_SUCCESS, StartTransfer(host_, ta));
  ASSERT_EQ(EFI_SUCCESS, StartTransfer(host_, tb));
  ASSERT_TRUE(host_.RunUntil([&] { return tb.Received().size() > 200 * 1032; }, 30 * kSecond));
  ASSERT_EQ(ta.signalled + tb.signalled, 0);

  EXPECT_EQ(host_.DestroyChild(a, ta.child), EFI_SUCCESS);
  ta.child = nullptr;
  EXPECT_EQ(ta.signalled, 1);
  EXPECT_EQ(ta.token.Status, EFI_ABORTED);
  EXPECT_EQ(host_.Disconnect(b), EFI_SUCCESS);
  tb.child = nullptr;
  EXPECT_EQ(tb.signalled, 1);
  EXPECT_EQ(tb.token.Status, EFI_ABORTED);
  EndTransfer(host_, ta);
  EndTransfer(host_, tb);
  EXPECT_EQ(host_.Disconnect(a), EFI_SUCCESS);
  EXPECT_EQ(host_.Unload(), EFI_SUCCESS);
}

TEST_F(ImageRunTest, WholeUnicastDownloadsOfEveryShape) {
  EFI_HANDLE a = host_.AddController(Station(0));
  ASSERT_EQ(host_.Connect(a), EFI_SUCCESS);
  const size_t sizes[] = {0, 1, 1031, 1032, 1033, 64 * 1032, 64 * 1032 + 1, 3 * 1024 * 1024 + 7};
  int n = 0;
  for (size_t size : sizes) {
    for (bool stream : {false, true}) {
      const std::string name = "file" + std::to_string(n++);
      const Bytes file = MakeFile(size, static_cast<uint32_t>(n));
      engine_->Files().Add(name, file);
      Transfer &t = NewTransfer(a, 0, name, size, stream);
      ASSERT_EQ(EFI_SUCCESS, StartTransfer(host_, t));
      ASSERT_TRUE(RunUntilDone(600 * kSecond)) << name << " " << host_.Net().Describe();
      ExpectWhole(t, file);
      EXPECT_EQ(EndTransfer(host_, t), EFI_SUCCESS);
    }
  }
}

TEST_F(ImageRunTest, WholeDownloadsThroughLossDuplicationAndReordering) {
  host::FaultProfile rough;
  rough.loss = 0.08;
  rough.duplicate = 0.03;
  rough.reorder = 0.05;
  rough.delay = 2'000;
  rough.jitter = 3'000;
  host_.Net().SetDefaultProfile(rough);
  EFI_HANDLE a = host_.AddController(Station(0));
  ASSERT_EQ(host_.Connect(a), EFI_SUCCESS);
  const Bytes file = MakeFile(300 * 1032 + 99, 11);
  engine_->Files().Add("rough", file);
  for (bool stream : {false, true}) {
    Transfer &t = NewTransfer(a, 0, "rough", file.size(), stream);
    ASSERT_EQ(EFI_SUCCESS, StartTransfer(host_, t));
    ASSERT_TRUE(RunUntilDone(900 * kSecond)) << host_.Net().Describe();
    ExpectWhole(t, file);
    EXPECT_EQ(EndTransfer(host_, t), EFI_SUCCESS);
  }
}

TEST_F(ImageRunTest, MulticastGroupWithLateJoiners) {
  host_.Net().SetCaptureEnabled(true);
  std::vector<EFI_HANDLE> controllers;
  for (int i = 0; i < 4; i++) {
    controllers.push_back(host_.AddController(Station(i)));
    ASSERT_EQ(host_.Connect(controllers.back()), EFI_SUCCESS);
  }
  const Bytes file = MakeFile(500 * 1032 + 321, 21);
  engine_->Files().Add("group.bin", file);
  std::vector<Transfer *> members;
  for (int i = 0; i < 4; i++) {
    Transfer &t = NewTransfer(controllers[i], i, "group.bin", file.size(), i % 2 == 1);
    t.options = {{"multicast", "1"}};
    members.push_back(&t);
  }
  ASSERT_EQ(EFI_SUCCESS, StartTransfer(host_, *members[0]));
  ASSERT_EQ(EFI_SUCCESS, StartTransfer(host_, *members[1]));
  // Joiners arrive once the group is well under way.
  ASSERT_TRUE(
      host_.RunUntil([&] { return members[1]->Received().size() > 100 * 1032; }, 60 * kSecond));
  ASSERT_EQ(EFI_SUCCESS, StartTransfer(host_, *members[2]));
  ASSERT_TRUE(
      host_.RunUntil([&] { return members[1]->Received().size() > 300 * 1032; }, 60 * kSecond));
  ASSERT_EQ(EFI_SUCCESS, StartTransfer(host_, *members[3]));
  ASSERT_TRUE(RunUntilDone(900 * kSecond)) << host_.Net().Describe();
  for (Transfer *t : members) {
    ExpectWhole(*t, file);
  }
  // The data really went to the group, not member by member.
  size_t groupData = 0;
  for (const host::CaptureRecord &rec : host_.Net().Capture()) {
    if (rec.datagram.dst.b[0] == 239) {
      groupData += rec.datagram.payload.size();
    }
  }
  EXPECT_GE(groupData, file.size());
  for (Transfer *t : members) {
    EXPECT_EQ(EndTransfer(host_, *t), EFI_SUCCESS);
  }
}

} // namespace
} // namespace zem4::test
