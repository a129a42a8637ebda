// The driver as firmware drives it: entry, Supported/Start/Stop, the
// service binding's children, component name and unload, all against the
// host firmware's protocol database.
#include "driver/Zem4Driver.h"
#include "host/FaultInjector.h"
#include "support/Globals.h"
#include "tests/common/DriverHost.h"
#include "tests/common/InstanceProbe.h"
#include "transport/Zem4Packet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace zem4::test {
namespace {

constexpr host::Ipv4 kStationA{127, 0, 2, 2};
constexpr host::Ipv4 kStationB{127, 0, 2, 3};

std::string JoinLines(const std::vector<std::string> &lines) {
  std::string out;
  for (const auto &line : lines) {
    out += line + "\n";
  }
  return out;
}

class DriverModelTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_EQ(host_.Load(), EFI_SUCCESS);
    controller_ = host_.AddController(kStationA);
  }
  void TearDown() override {
    auto leaks = host_.TearDown();
    EXPECT_TRUE(leaks.empty()) << JoinLines(leaks);
  }

  Zem4ServiceBinding *Record() {
    EFI_SERVICE_BINDING_PROTOCOL *sb = host_.ServiceBinding(controller_);
    return sb == nullptr ? nullptr : ZEM4_SERVICE_BINDING_FROM_THIS(sb);
  }
  bool HasLog(const std::string &text) {
    auto logs = host_.LogTexts();
    return std::find(logs.begin(), logs.end(), text) != logs.end();
  }

  DriverHost host_;
  EFI_HANDLE controller_ = nullptr;
};

TEST_F(DriverModelTest, EntryInstallsBindingAndNameAndHooksUnload) {
  EFI_HANDLE image = host_.Image();
  auto *binding = static_cast<EFI_DRIVER_BINDING_PROTOCOL *>(
      host_.Fw().GetProtocol(image, gEfiDriverBindingProtocolGuid));
  ASSERT_NE(binding, nullptr);
  EXPECT_EQ(binding->Version, 0x10u);
  EXPECT_EQ(binding->ImageHandle, image);
  EXPECT_EQ(binding->DriverBindingHandle, image);
  EXPECT_NE(host_.Fw().GetProtocol(image, gEfiComponentNameProtocolGuid), nullptr);
  EXPECT_EQ(host_.Fw().LoadedImage(image)->Unload, &DriverUnload);
  EXPECT_EQ(gBS, host_.Fw().BootServices());
}

TEST_F(DriverModelTest, SupportedFollowsTheUdp4ServiceBinding) {
  EXPECT_EQ(gZem4DriverBinding.Supported(&gZem4DriverBinding, controller_, nullptr), EFI_SUCCESS);
  EFI_HANDLE bare =
      host_.Fw().InstallProtocol(nullptr, gEfiLoadedImageDevicePathProtocolGuid, &bare);
  EXPECT_EQ(gZem4DriverBinding.Supported(&gZem4DriverBinding, bare, nullptr), EFI_UNSUPPORTED);
  host_.Fw().UninstallProtocol(bare, gEfiLoadedImageDevicePathProtocolGuid, &bare);
}

TEST_F(DriverModelTest, StartBuildsServiceBindingWithReserveAndRefusesSecondStart) {
  ASSERT_EQ(host_.Connect(controller_), EFI_SUCCESS);
  Zem4ServiceBinding *sb = Record();
  ASSERT_NE(sb, nullptr);
  EXPECT_EQ(sb->Signature, ZEM4_SERVICE_BINDING_SIGNATURE);
  EXPECT_EQ(sb->ControllerHandle, controller_);
  EXPECT_EQ(sb->ChildrenNum, 0);
  EXPECT_EQ(sb->Lock.Tpl, static_cast<UINT32>(TPL_CALLBACK));
  EXPECT_EQ(host_.Controller(0).ChildCount(), 1u);
  ASSERT_NE(sb->UdpChildHandle, nullptr);
  EXPECT_EQ(gZem4PacketPool.PacketBytes, 0u);

  // The reserve is held BY_DRIVER: nobody else may take it.
  EFI_UDP4_PROTOCOL *udp = nullptr;
  EFI_HANDLE other = host_.Fw().CreateImageHandle();
  EXPECT_TRUE(EFI_ERROR(gBS->OpenProtocol(sb->UdpChildHandle, &gEfiUdp4ProtocolGuid, (VOID **)&udp,
                                          other, controller_, EFI_OPEN_PROTOCOL_BY_DRIVER)));
  host_.Fw().RemoveImage(other);

  EXPECT_EQ(gZem4DriverBinding.Start(&gZem4DriverBinding, controller_, nullptr),
            EFI_ALREADY_STARTED);
  EXPECT_EQ(Record(), sb);
  EXPECT_EQ(host_.Controller(0).ChildCount(), 1u);
}

TEST_F(DriverModelTest, FirstChildTakesTheReserveLaterChildrenGetTheirOwn) {
  ASSERT_EQ(host_.Connect(controller_), EFI_SUCCESS);
  EFI_HANDLE reserve = Record()->UdpChildHandle;

  EFI_HANDLE first = nullptr;
  ASSERT_EQ(host_.CreateChild(controller_, &first), EFI_SUCCESS);
  EXPECT_EQ(first, reserve);
  EXPECT_EQ(host_.Controller(0).ChildCount(), 1u) << "the reserve needs no new UDP4 child";
  Zem4 *proto = host_.Protocol(first);
  ASSERT_NE(proto, nullptr);
  const InstanceProbe probe(proto);
  EXPECT_TRUE(probe.SignatureValid());
  EXPECT_EQ(probe.State(), TransferState::Idle);
  EXPECT_EQ(probe.ChildHandle(), first);
  EXPECT_EQ(probe.ControllerHandle(), controller_);
  EXPECT_TRUE(probe.HasMappingEvent());
  EXPECT_NE(probe.Udp(), nullptr);

  EFI_HANDLE second = nullptr;
  ASSERT_EQ(host_.CreateChild(controller_, &second), EFI_SUCCESS);
  EXPECT_NE(second, first);
  EXPECT_EQ(host_.Controller(0).ChildCount(), 2u);
  EXPECT_EQ(Record()->ChildrenNum, 2);
  // Children are kept in creation order.
  EXPECT_EQ(Record()->Children.ForwardLink, probe.Link());

  EXPECT_EQ(host_.DestroyChild(controller_, second), EFI_SUCCESS);
  EXPECT_EQ(host_.DestroyChild(controller_, first), EFI_SUCCESS);
}

// Of two children, the one destroyed first takes its UDP4 child along; the
// last one's stays as the reserve, which the next child gets.
TEST_F(DriverModelTest, LastChildDestroyedLeavesItsUdpChildAsTheReserve) {
  ASSERT_EQ(host_.Connect(controller_), EFI_SUCCESS);
  for (bool reserveHolderFirst : {false, true}) {
    SCOPED_TRACE(reserveHolderFirst ? "the reserve's holder first" : "the second child first");
    EFI_HANDLE first = nullptr, second = nullptr;
    ASSERT_EQ(host_.CreateChild(controller_, &first), EFI_SUCCESS);
    ASSERT_EQ(host_.CreateChild(controller_, &second), EFI_SUCCESS);
    const EFI_HANDLE early = reserveHolderFirst ? first : second;
    const EFI_HANDLE late = reserveHolderFirst ? second : first;
    ASSERT_EQ(host_.DestroyChild(controller_, early), EFI_SUCCESS);
    EXPECT_EQ(host_.Controller(0).ChildCount(), 1u);
    EXPECT_EQ(host_.Protocol(early), nullptr);
    ASSERT_EQ(host_.DestroyChild(controller_, late), EFI_SUCCESS);
    EXPECT_EQ(Record()->ChildrenNum, 0);
    EXPECT_EQ(Record()->UdpChildHandle, late);
    EXPECT_EQ(host_.Controller(0).ChildCount(), 1u);
    EXPECT_EQ(host_.Protocol(late), nullptr);

    EFI_HANDLE again = nullptr;
    ASSERT_EQ(host_.CreateChild(controller_, &again), EFI_SUCCESS);
    EXPECT_EQ(again, late);
    EXPECT_EQ(host_.DestroyChild(controller_, again), EFI_SUCCESS);
  }
}

TEST_F(DriverModelTest, CreateChildWhileTheLockIsHeldIsRefused) {
  ASSERT_EQ(host_.Connect(controller_), EFI_SUCCESS);
  Zem4ServiceBinding *sb = Record();
  ASSERT_EQ(Zem4AcquireLock(&sb->Lock), EFI_SUCCESS);
  EXPECT_EQ(host_.Fw().CurrentTpl(), static_cast<EFI_TPL>(TPL_CALLBACK));
  EXPECT_EQ(Zem4AcquireLock(&sb->Lock), EFI_ACCESS_DENIED);
  EFI_HANDLE child = nullptr;
  EXPECT_EQ(host_.CreateChild(controller_, &child), EFI_ACCESS_DENIED);
  EXPECT_EQ(sb->ChildrenNum, 0);
  EXPECT_EQ(child, nullptr);
  Zem4ReleaseLock(&sb->Lock);
  EXPECT_EQ(host_.Fw().CurrentTpl(), static_cast<EFI_TPL>(TPL_APPLICATION));
}

// The token's notification runs inside DestroyChild, once the transfer is
// aborted and before the child is gone.
TEST_F(DriverModelTest, DestroyChildDuringADestructionDoesNothing) {
  ASSERT_EQ(host_.Connect(controller_), EFI_SUCCESS);
  EFI_HANDLE child = nullptr;
  ASSERT_EQ(host_.CreateChild(controller_, &child), EFI_SUCCESS);
  Zem4 *proto = host_.Protocol(child);
  Zem4ConfigData config{};
  config.StationIp = {{127, 0, 2, 2}}; // kStationA
  config.SubnetMask = {{255, 255, 255, 0}};
  config.ServerIp = {{127, 0, 2, 1}}; // nobody answers
  config.InitialServerPort = 5568;
  ASSERT_EQ(proto->Configure(proto, &config), EFI_SUCCESS);
  EFI_STATUS nested = EFI_NOT_READY;
  int nestedChildren = -1, signals = 0;
  Zem4Token token{};
  token.Filename = const_cast<CHAR8 *>("boot.efi");
  token.CheckPacket = AcceptData;
  token.Event = host_.Fw().CreateHostEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, [&](EFI_EVENT) {
    signals++;
    nested = host_.DestroyChild(controller_, child);
    nestedChildren = Record()->ChildrenNum;
  });
  ASSERT_EQ(proto->ReadFile(proto, &token), EFI_SUCCESS);
  EXPECT_EQ(host_.DestroyChild(controller_, child), EFI_SUCCESS);
  EXPECT_EQ(signals, 1);
  EXPECT_EQ(token.Status, EFI_ABORTED);
  EXPECT_EQ(nested, EFI_SUCCESS);
  EXPECT_EQ(nestedChildren, 1) << "a destruction under way is not repeated";
  EXPECT_EQ(Record()->ChildrenNum, 0);
  host_.Fw().CloseEvent(token.Event);
}

TEST_F(DriverModelTest, DestroyChildOnAForeignHandleLogsAndFails) {
  ASSERT_EQ(host_.Connect(controller_), EFI_SUCCESS);
  EXPECT_EQ(host_.DestroyChild(controller_, controller_), EFI_UNSUPPORTED);
  EXPECT_TRUE(HasLog("DestroyChild: Get Zem4 interface failed Unsupported.\n"));
}

TEST_F(DriverModelTest, StopForTheReserveTearsTheControllerDown) {
  ASSERT_EQ(host_.Connect(controller_), EFI_SUCCESS);
  ASSERT_EQ(host_.Disconnect(controller_), EFI_SUCCESS);
  EXPECT_EQ(host_.ServiceBinding(controller_), nullptr);
  EXPECT_EQ(host_.Controller(0).ChildCount(), 0u);
  EXPECT_TRUE(
      HasLog("DriverBindingStop: ChildrenNum is 0 and begin destroy the conjuction UDP child.\n"));
  EXPECT_EQ(gZem4StartedControllers, 0u);
  // And it can be started again.
  ASSERT_EQ(host_.Connect(controller_), EFI_SUCCESS);
  EXPECT_NE(host_.ServiceBinding(controller_), nullptr);
}

TEST_F(DriverModelTest, StopForOneOfTwoChildrenDestroysOnlyThatChild) {
  ASSERT_EQ(host_.Connect(controller_), EFI_SUCCESS);
  EFI_HANDLE first = nullptr, second = nullptr;
  ASSERT_EQ(host_.CreateChild(controller_, &first), EFI_SUCCESS);
  ASSERT_EQ(host_.CreateChild(controller_, &second), EFI_SUCCESS);
  EXPECT_EQ(gZem4DriverBinding.Stop(&gZem4DriverBinding, second, 0, nullptr), EFI_SUCCESS);
  EXPECT_EQ(Record()->ChildrenNum, 1);
  EXPECT_EQ(host_.Protocol(second), nullptr);
  EXPECT_NE(host_.ServiceBinding(controller_), nullptr);
  EXPECT_NE(host_.Protocol(first), nullptr);
}

TEST_F(DriverModelTest, StopReportsAFailedChildDestruction) {
  ASSERT_EQ(host_.Connect(controller_), EFI_SUCCESS);
  EFI_HANDLE first = nullptr, second = nullptr;
  ASSERT_EQ(host_.CreateChild(controller_, &first), EFI_SUCCESS);
  ASSERT_EQ(host_.CreateChild(controller_, &second), EFI_SUCCESS);
  Zem4ServiceBinding *sb = Record();
  ASSERT_EQ(Zem4AcquireLock(&sb->Lock), EFI_SUCCESS);
  EXPECT_EQ(gZem4DriverBinding.Stop(&gZem4DriverBinding, second, 0, nullptr), EFI_ACCESS_DENIED);
  Zem4ReleaseLock(&sb->Lock);
  EXPECT_EQ(sb->ChildrenNum, 2);
  EXPECT_NE(host_.Protocol(second), nullptr);
}

TEST_F(DriverModelTest, DisconnectWithChildrenDestroysEveryChild) {
  ASSERT_EQ(host_.Connect(controller_), EFI_SUCCESS);
  EFI_HANDLE children[3] = {};
  for (EFI_HANDLE &child : children) {
    ASSERT_EQ(host_.CreateChild(controller_, &child), EFI_SUCCESS);
  }
  ASSERT_EQ(host_.Disconnect(controller_), EFI_SUCCESS);
  EXPECT_EQ(host_.ServiceBinding(controller_), nullptr);
  for (EFI_HANDLE child : children) {
    EXPECT_FALSE(host_.Fw().IsHandle(child));
  }
}

TEST_F(DriverModelTest, DriverNameIsFoundForEngOnly) {
  CHAR16 *name = nullptr;
  EFI_COMPONENT_NAME_PROTOCOL *cn = &gZem4ComponentName;
  ASSERT_EQ(cn->GetDriverName(cn, (CHAR8 *)"eng", &name), EFI_SUCCESS);
  EXPECT_EQ(std::u16string(name), u"ZEM4 Network Service Driver");
  name = nullptr;
  EXPECT_EQ(cn->GetDriverName(cn, (CHAR8 *)"engX", &name), EFI_SUCCESS);
  EXPECT_NE(name, nullptr);
  EXPECT_EQ(cn->GetDriverName(cn, (CHAR8 *)"fra", &name), EFI_UNSUPPORTED);
  EXPECT_EQ(cn->GetDriverName(cn, (CHAR8 *)"ENG", &name), EFI_UNSUPPORTED);
  EXPECT_EQ(cn->GetDriverName(cn, (CHAR8 *)"en", &name), EFI_UNSUPPORTED);
  EXPECT_EQ(cn->GetDriverName(cn, nullptr, &name), EFI_INVALID_PARAMETER);
  EXPECT_EQ(cn->GetDriverName(cn, (CHAR8 *)"eng", nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(FindNameForLanguage("eng", nullptr, gZem4DriverNameTable, &name), EFI_UNSUPPORTED);
  EXPECT_EQ(FindNameForLanguage("fra", "engfra", gZem4DriverNameTable, &name), EFI_UNSUPPORTED)
      << "supported but not in the table";
  EXPECT_EQ(cn->GetControllerName(cn, controller_, nullptr, (CHAR8 *)"eng", &name),
            EFI_UNSUPPORTED);
}

TEST_F(DriverModelTest, UnloadRemovesImageProtocolsOnceEveryControllerIsFree) {
  EFI_HANDLE second = host_.AddController(kStationB);
  ASSERT_EQ(host_.Connect(controller_), EFI_SUCCESS);
  ASSERT_EQ(host_.Connect(second), EFI_SUCCESS);
  EFI_HANDLE child = nullptr;
  ASSERT_EQ(host_.CreateChild(second, &child), EFI_SUCCESS);

  // A Stop that cannot run keeps the second controller bound: the image must stay.
  host_.Fw().Faults().FailAlways("OpenProtocolInformation", EFI_DEVICE_ERROR);
  EFI_HANDLE image = host_.Image();
  EXPECT_EQ(host_.Unload(), EFI_ACCESS_DENIED);
  host_.Fw().Faults().Clear();
  EXPECT_NE(host_.Fw().GetProtocol(image, gEfiDriverBindingProtocolGuid), nullptr);
  EXPECT_NE(host_.ServiceBinding(second), nullptr);

  ASSERT_EQ(host_.Unload(), EFI_SUCCESS);
  EXPECT_EQ(host_.ServiceBinding(controller_), nullptr);
  EXPECT_EQ(host_.ServiceBinding(second), nullptr);
}

TEST(DriverEntryTest, FailedEntryLeavesNothingInstalled) {
  for (const char *call : {"InstallProtocolInterface", "OpenProtocol"}) {
    for (uint64_t n = 1; n <= 2; n++) {
      DriverHost host;
      host.Fw().Faults().FailNth(call, n, EFI_OUT_OF_RESOURCES);
      EFI_STATUS status = host.Load();
      if (host.Fw().Faults().Injected() == 0) {
        EXPECT_EQ(status, EFI_SUCCESS);
        continue;
      }
      EXPECT_EQ(status, EFI_OUT_OF_RESOURCES) << call << " #" << n;
      auto leaks = host.TearDown();
      EXPECT_TRUE(leaks.empty()) << call << " #" << n << "\n" << JoinLines(leaks);
    }
  }
}

} // namespace
} // namespace zem4::test
