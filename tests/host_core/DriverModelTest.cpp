// ConnectController / DisconnectController with small test drivers, uninstall
// stopping the driver that holds an interface, and image unload.
#include "tests/common/FirmwareFixture.h"

#include <string>
#include <vector>

namespace zem4::test {
namespace {

const EFI_GUID kBusGuid = {0xB0B0B0B0, 0x1, 0x2, {1, 1, 1, 1, 1, 1, 1, 1}};
const EFI_GUID kChildGuid = {0xC0C0C0C0, 0x1, 0x2, {2, 2, 2, 2, 2, 2, 2, 2}};

std::vector<std::string> *gLog = nullptr;
EFI_BOOT_SERVICES *gTestBs = nullptr;

std::string Name(EFI_HANDLE h, const std::vector<EFI_HANDLE> &known) {
  for (size_t i = 0; i < known.size(); ++i)
    if (known[i] == h)
      return "h" + std::to_string(i);
  return "?";
}

// A driver that binds to handles carrying `consumes`; as a bus driver it
// makes `childCount` children carrying kChildGuid.
struct TestDriver {
  EFI_DRIVER_BINDING_PROTOCOL binding{};
  std::string name;
  const EFI_GUID *consumes = nullptr;
  int childCount = 0;
  EFI_STATUS startResult = EFI_SUCCESS;
  EFI_STATUS stopResult = EFI_SUCCESS;
  std::vector<EFI_HANDLE> *known = nullptr;
  std::vector<EFI_HANDLE> children;
  int childIface = 7;

  static TestDriver *Of(EFI_DRIVER_BINDING_PROTOCOL *This) {
    return reinterpret_cast<TestDriver *>(This);
  }

  static EFI_STATUS EFIAPI Supported(EFI_DRIVER_BINDING_PROTOCOL *This, EFI_HANDLE ctl,
                                     EFI_DEVICE_PATH_PROTOCOL *) {
    TestDriver *d = Of(This);
    return gTestBs->OpenProtocol(ctl, d->consumes, nullptr, This->DriverBindingHandle, ctl,
                                 EFI_OPEN_PROTOCOL_TEST_PROTOCOL);
  }

  static EFI_STATUS EFIAPI Start(EFI_DRIVER_BINDING_PROTOCOL *This, EFI_HANDLE ctl,
                                 EFI_DEVICE_PATH_PROTOCOL *) {
    TestDriver *d = Of(This);
    gLog->push_back(d->name + ".Start(" + Name(ctl, *d->known) + ")");
    if (EFI_ERROR(d->startResult))
      return d->startResult;
    void *iface = nullptr;
    EFI_STATUS st = gTestBs->OpenProtocol(ctl, d->consumes, &iface, This->DriverBindingHandle, ctl,
                                          EFI_OPEN_PROTOCOL_BY_DRIVER);
    if (EFI_ERROR(st))
      return st;
    for (int i = 0; i < d->childCount; ++i) {
      EFI_HANDLE child = nullptr;
      gTestBs->InstallProtocolInterface(&child, &kChildGuid, EFI_NATIVE_INTERFACE, &d->childIface);
      gTestBs->OpenProtocol(ctl, d->consumes, &iface, This->DriverBindingHandle, child,
                            EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER);
      d->children.push_back(child);
      d->known->push_back(child);
    }
    return EFI_SUCCESS;
  }

  static EFI_STATUS EFIAPI Stop(EFI_DRIVER_BINDING_PROTOCOL *This, EFI_HANDLE ctl, UINTN n,
                                EFI_HANDLE *children) {
    TestDriver *d = Of(This);
    std::string line = d->name + ".Stop(" + Name(ctl, *d->known) + "," + std::to_string(n);
    for (UINTN i = 0; i < n; ++i)
      line += ',' + Name(children[i], *d->known);
    gLog->push_back(line + ")");
    if (EFI_ERROR(d->stopResult))
      return d->stopResult;
    if (n == 0)
      return gTestBs->CloseProtocol(ctl, d->consumes, This->DriverBindingHandle, ctl);
    for (UINTN i = 0; i < n; ++i) {
      gTestBs->CloseProtocol(ctl, d->consumes, This->DriverBindingHandle, children[i]);
      EFI_STATUS st = gTestBs->UninstallProtocolInterface(children[i], &kChildGuid, &d->childIface);
      if (EFI_ERROR(st))
        return st;
      std::erase(d->children, children[i]);
    }
    return EFI_SUCCESS;
  }
};

class DriverModelTest : public FirmwareFixture {
protected:
  void SetUp() override {
    FirmwareFixture::SetUp();
    gLog = &log;
    gTestBs = Bs();
  }
  void TearDown() override {
    for (auto &d : drivers)
      if (Fw().IsHandle(d->binding.DriverBindingHandle))
        Fw().RemoveImage(d->binding.DriverBindingHandle);
    gLog = nullptr;
    gTestBs = nullptr;
    FirmwareFixture::TearDown();
  }

  TestDriver &AddDriver(std::string name, const EFI_GUID &consumes, UINT32 version,
                        int childCount = 0) {
    drivers.push_back(std::make_unique<TestDriver>());
    TestDriver &d = *drivers.back();
    d.name = std::move(name);
    d.consumes = &consumes;
    d.childCount = childCount;
    d.known = &known;
    d.binding.Supported = TestDriver::Supported;
    d.binding.Start = TestDriver::Start;
    d.binding.Stop = TestDriver::Stop;
    d.binding.Version = version;
    EFI_HANDLE image = Fw().CreateImageHandle();
    d.binding.ImageHandle = image;
    d.binding.DriverBindingHandle = image;
    EXPECT_EQ(Bs()->InstallProtocolInterface(&image, &gEfiDriverBindingProtocolGuid,
                                             EFI_NATIVE_INTERFACE, &d.binding),
              EFI_SUCCESS);
    return d;
  }

  EFI_HANDLE Controller() {
    EFI_HANDLE h = nullptr;
    EXPECT_EQ(Bs()->InstallProtocolInterface(&h, &kBusGuid, EFI_NATIVE_INTERFACE, &busIface),
              EFI_SUCCESS);
    known.push_back(h);
    return h;
  }

  void RemoveDriver(TestDriver &d) {
    EFI_HANDLE image = d.binding.DriverBindingHandle;
    EXPECT_EQ(Bs()->UninstallProtocolInterface(image, &gEfiDriverBindingProtocolGuid, &d.binding),
              EFI_SUCCESS);
    Fw().RemoveImage(image);
  }

  int busIface = 5;
  std::vector<std::string> log;
  std::vector<EFI_HANDLE> known;
  std::vector<std::unique_ptr<TestDriver>> drivers;
};

TEST_F(DriverModelTest, ConnectTriesDriversByVersionAndDisconnectStopsChildrenFirst) {
  EFI_HANDLE ctl = Controller(); // h0
  TestDriver &low = AddDriver("low", kBusGuid, 0x10);
  TestDriver &bus = AddDriver("bus", kBusGuid, 0x20, 2);
  ASSERT_EQ(Bs()->ConnectController(ctl, nullptr, nullptr, FALSE), EFI_SUCCESS);
  // bus wins (higher version) and holds the controller BY_DRIVER; low is
  // then started too and is refused by the open.
  EXPECT_EQ(log, (std::vector<std::string>{"bus.Start(h0)", "low.Start(h0)"}));
  ASSERT_EQ(bus.children.size(), 2u);
  log.clear();

  ASSERT_EQ(Bs()->DisconnectController(ctl, nullptr, nullptr), EFI_SUCCESS);
  EXPECT_EQ(log, (std::vector<std::string>{"bus.Stop(h0,2,h1,h2)", "bus.Stop(h0,0)"}));
  EXPECT_EQ(Fw().Live().openProtocolEntries, 0u);
  log.clear();
  // Nothing manages it now: success, nothing called.
  EXPECT_EQ(Bs()->DisconnectController(ctl, nullptr, nullptr), EFI_SUCCESS);
  EXPECT_TRUE(log.empty());

  RemoveDriver(low);
  RemoveDriver(bus);
  EXPECT_EQ(Bs()->UninstallProtocolInterface(ctl, &kBusGuid, &busIface), EFI_SUCCESS);
}

TEST_F(DriverModelTest, DisconnectOneChildStopsTheControllerOnlyWhenItWasTheLast) {
  EFI_HANDLE ctl = Controller();
  TestDriver &bus = AddDriver("bus", kBusGuid, 0x20, 2);
  ASSERT_EQ(Bs()->ConnectController(ctl, nullptr, nullptr, FALSE), EFI_SUCCESS);
  EFI_HANDLE first = bus.children[0], second = bus.children[1];
  log.clear();
  ASSERT_EQ(Bs()->DisconnectController(ctl, nullptr, first), EFI_SUCCESS);
  EXPECT_EQ(log, (std::vector<std::string>{"bus.Stop(h0,1,h1)"}));
  log.clear();
  ASSERT_EQ(Bs()->DisconnectController(ctl, bus.binding.DriverBindingHandle, second), EFI_SUCCESS);
  EXPECT_EQ(log, (std::vector<std::string>{"bus.Stop(h0,1,h2)", "bus.Stop(h0,0)"}));
  RemoveDriver(bus);
  EXPECT_EQ(Bs()->UninstallProtocolInterface(ctl, &kBusGuid, &busIface), EFI_SUCCESS);
}

TEST_F(DriverModelTest, RecursiveConnectReachesChildrenAndUninstallStopsTheHolder) {
  EFI_HANDLE ctl = Controller();
  TestDriver &bus = AddDriver("bus", kBusGuid, 0x20, 1);
  TestDriver &leaf = AddDriver("leaf", kChildGuid, 0x10);
  ASSERT_EQ(Bs()->ConnectController(ctl, nullptr, nullptr, TRUE), EFI_SUCCESS);
  EXPECT_EQ(log, (std::vector<std::string>{"bus.Start(h0)", "leaf.Start(h1)"}));
  log.clear();

  // Removing the bus's child protocol asks leaf (its BY_DRIVER holder) to stop.
  EFI_HANDLE child = bus.children[0];
  ASSERT_EQ(Bs()->DisconnectController(ctl, nullptr, nullptr), EFI_SUCCESS);
  EXPECT_EQ(log,
            (std::vector<std::string>{"bus.Stop(h0,1,h1)", "leaf.Stop(h1,0)", "bus.Stop(h0,0)"}));
  EXPECT_FALSE(Fw().IsHandle(child));
  RemoveDriver(bus);
  RemoveDriver(leaf);
  EXPECT_EQ(Bs()->UninstallProtocolInterface(ctl, &kBusGuid, &busIface), EFI_SUCCESS);
}

TEST_F(DriverModelTest, ConnectResultsAndArgumentErrors) {
  EFI_HANDLE ctl = Controller();
  EXPECT_EQ(Bs()->ConnectController(ctl, nullptr, nullptr, FALSE), EFI_NOT_FOUND)
      << "no driver in the system";
  EXPECT_EQ(Bs()->ConnectController(nullptr, nullptr, nullptr, FALSE), EFI_INVALID_PARAMETER);
  TestDriver &failing = AddDriver("failing", kBusGuid, 0x10);
  failing.startResult = EFI_DEVICE_ERROR;
  EXPECT_EQ(Bs()->ConnectController(ctl, nullptr, nullptr, FALSE), EFI_NOT_FOUND);
  EXPECT_EQ(log, (std::vector<std::string>{"failing.Start(h0)"})) << "tried once per call";
  EXPECT_EQ(Bs()->DisconnectController(nullptr, nullptr, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Bs()->DisconnectController(ctl, ctl, nullptr), EFI_INVALID_PARAMETER)
      << "not a driver-binding handle";
  int notAHandle = 0;
  EXPECT_EQ(Bs()->DisconnectController(ctl, nullptr, &notAHandle), EFI_INVALID_PARAMETER);
  RemoveDriver(failing);
  EXPECT_EQ(Bs()->UninstallProtocolInterface(ctl, &kBusGuid, &busIface), EFI_SUCCESS);
}

TEST_F(DriverModelTest, UninstallingAHeldInterfaceStopsTheDriverFirst) {
  EFI_HANDLE ctl = Controller();
  TestDriver &drv = AddDriver("drv", kBusGuid, 0x10);
  ASSERT_EQ(Fw().ConnectController(ctl), EFI_SUCCESS);
  log.clear();
  EXPECT_EQ(Bs()->UninstallProtocolInterface(ctl, &kBusGuid, &busIface), EFI_SUCCESS);
  EXPECT_EQ(log, (std::vector<std::string>{"drv.Stop(h0,0)"}));
  EXPECT_FALSE(Fw().IsHandle(ctl));
  RemoveDriver(drv);
}

TEST_F(DriverModelTest, UninstallRefusedWhenTheHolderCannotStopAndTheHolderIsReconnected) {
  EFI_HANDLE ctl = Controller();
  TestDriver &drv = AddDriver("drv", kBusGuid, 0x10);
  ASSERT_EQ(Fw().ConnectController(ctl), EFI_SUCCESS);
  drv.stopResult = EFI_DEVICE_ERROR;
  log.clear();
  EXPECT_EQ(Bs()->UninstallProtocolInterface(ctl, &kBusGuid, &busIface), EFI_ACCESS_DENIED);
  EXPECT_EQ(log, (std::vector<std::string>{"drv.Stop(h0,0)", "drv.Start(h0)"}));
  EXPECT_TRUE(Fw().IsHandle(ctl));
  EXPECT_EQ(Fw().Live().openProtocolEntries, 1u);
  EXPECT_EQ(Bs()->DisconnectController(ctl, nullptr, nullptr), EFI_DEVICE_ERROR);
  drv.stopResult = EFI_SUCCESS;
  EXPECT_EQ(Bs()->UninstallProtocolInterface(ctl, &kBusGuid, &busIface), EFI_SUCCESS);
  RemoveDriver(drv);
}

TEST_F(DriverModelTest, ExclusiveOpenAsksTheDriverHoldingTheInterfaceToStop) {
  EFI_HANDLE ctl = Controller();
  TestDriver &drv = AddDriver("drv", kBusGuid, 0x10);
  ASSERT_EQ(Fw().ConnectController(ctl), EFI_SUCCESS);
  EFI_HANDLE app = Fw().CreateImageHandle();
  log.clear();
  void *got = nullptr;
  ASSERT_EQ(Bs()->OpenProtocol(ctl, &kBusGuid, &got, app, nullptr, EFI_OPEN_PROTOCOL_EXCLUSIVE),
            EFI_SUCCESS);
  EXPECT_EQ(log, (std::vector<std::string>{"drv.Stop(h0,0)"}));
  EXPECT_EQ(got, &busIface);
  // While the application holds it, the driver is shut out.
  EXPECT_EQ(Bs()->ConnectController(ctl, nullptr, nullptr, FALSE), EFI_NOT_FOUND);
  EXPECT_EQ(Bs()->CloseProtocol(ctl, &kBusGuid, app, nullptr), EFI_SUCCESS);
  Fw().RemoveImage(app);
  RemoveDriver(drv);
  EXPECT_EQ(Bs()->UninstallProtocolInterface(ctl, &kBusGuid, &busIface), EFI_SUCCESS);
}

// An image whose entry installs a driver binding and whose Unload removes it.
struct ImageDriver {
  static inline TestDriver *driver = nullptr;
  static inline int unloads = 0;
  static inline EFI_STATUS unloadResult = EFI_SUCCESS;
  static EFI_STATUS EFIAPI Entry(EFI_HANDLE image, EFI_SYSTEM_TABLE *st) {
    driver->binding.ImageHandle = image;
    driver->binding.DriverBindingHandle = image;
    EFI_LOADED_IMAGE_PROTOCOL *li = nullptr;
    EFI_STATUS s = st->BootServices->OpenProtocol(image, &gEfiLoadedImageProtocolGuid,
                                                  reinterpret_cast<void **>(&li), image, image,
                                                  EFI_OPEN_PROTOCOL_GET_PROTOCOL);
    if (EFI_ERROR(s))
      return s;
    li->Unload = Unload;
    return st->BootServices->InstallProtocolInterface(&image, &gEfiDriverBindingProtocolGuid,
                                                      EFI_NATIVE_INTERFACE, &driver->binding);
  }
  static EFI_STATUS EFIAPI Unload(EFI_HANDLE image) {
    ++unloads;
    if (EFI_ERROR(unloadResult))
      return unloadResult;
    gTestBs->UninstallProtocolInterface(image, &gEfiDriverBindingProtocolGuid, &driver->binding);
    return EFI_SUCCESS;
  }
};

TEST_F(DriverModelTest, UnloadImageCallsTheImagesUnloadAndRemovesTheImage) {
  TestDriver d;
  d.name = "img";
  d.consumes = &kBusGuid;
  d.known = &known;
  d.binding.Supported = TestDriver::Supported;
  d.binding.Start = TestDriver::Start;
  d.binding.Stop = TestDriver::Stop;
  d.binding.Version = 0x10;
  ImageDriver::driver = &d;
  ImageDriver::unloads = 0;

  EFI_HANDLE image = Fw().CreateImageHandle();
  EXPECT_EQ(Bs()->UnloadImage(image), EFI_UNSUPPORTED) << "no Unload set yet";
  ASSERT_EQ(Fw().StartImage(image, ImageDriver::Entry), EFI_SUCCESS);
  ASSERT_NE(Fw().LoadedImage(image)->Unload, nullptr);

  ImageDriver::unloadResult = EFI_ACCESS_DENIED;
  EXPECT_EQ(Bs()->UnloadImage(image), EFI_ACCESS_DENIED);
  EXPECT_TRUE(Fw().IsHandle(image)) << "a refused unload keeps the image";
  ImageDriver::unloadResult = EFI_SUCCESS;
  EXPECT_EQ(Bs()->UnloadImage(image), EFI_SUCCESS);
  EXPECT_EQ(ImageDriver::unloads, 2);
  EXPECT_FALSE(Fw().IsHandle(image));
  EXPECT_EQ(Bs()->UnloadImage(image), EFI_INVALID_PARAMETER);
}

TEST_F(DriverModelTest, AFailingEntryPointUnloadsTheImage) {
  EFI_HANDLE image = Fw().CreateImageHandle();
  auto failing = [](EFI_HANDLE, EFI_SYSTEM_TABLE *)
                     EFIAPI -> EFI_STATUS { return EFI_OUT_OF_RESOURCES; };
  EXPECT_EQ(Fw().StartImage(image, failing), EFI_OUT_OF_RESOURCES);
  EXPECT_FALSE(Fw().IsHandle(image));
}

} // namespace
} // namespace zem4::test
