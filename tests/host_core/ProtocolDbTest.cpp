// Protocol database through Boot Services: install/uninstall rules, every
// OpenProtocol attribute and its error codes, open information, lookups.
#include "tests/common/FirmwareFixture.h"

#include <cstring>

namespace zem4::test {
namespace {

const EFI_GUID kGuidA = {0x11111111, 0x2222, 0x3333, {1, 2, 3, 4, 5, 6, 7, 8}};
const EFI_GUID kGuidB = {0x44444444, 0x5555, 0x6666, {8, 7, 6, 5, 4, 3, 2, 1}};
const EFI_GUID kGuidC = {0x77777777, 0x8888, 0x9999, {0, 0, 0, 0, 0, 0, 0, 9}};
constexpr UINT32 kDriverExclusive = EFI_OPEN_PROTOCOL_BY_DRIVER | EFI_OPEN_PROTOCOL_EXCLUSIVE;

class ProtocolDb : public FirmwareFixture {
protected:
  int ifaceA = 1, ifaceB = 2, ifaceC = 3;

  EFI_HANDLE NewHandle(const EFI_GUID &guid, void *iface) {
    EFI_HANDLE h = nullptr;
    EXPECT_EQ(Bs()->InstallProtocolInterface(&h, &guid, EFI_NATIVE_INTERFACE, iface), EFI_SUCCESS);
    return h;
  }
  // An agent handle such as a driver's image handle.
  EFI_HANDLE Agent() { return NewHandle(kGuidC, &ifaceC); }
  void Remove(EFI_HANDLE h, const EFI_GUID &guid, void *iface) {
    EXPECT_EQ(Bs()->UninstallProtocolInterface(h, &guid, iface), EFI_SUCCESS);
  }
  // The end of a case: the controller made by NewHandle(kGuidA) and its agents.
  void RemoveAll(EFI_HANDLE ctl, std::initializer_list<EFI_HANDLE> agents) {
    Remove(ctl, kGuidA, &ifaceA);
    for (EFI_HANDLE agent : agents)
      Remove(agent, kGuidC, &ifaceC);
  }
  // Opens kGuidA on ctl, the protocol most cases are about.
  EFI_STATUS OpenA(EFI_HANDLE ctl, void **got, EFI_HANDLE agent, EFI_HANDLE controller,
                   UINT32 attributes) {
    return Bs()->OpenProtocol(ctl, &kGuidA, got, agent, controller, attributes);
  }
  std::vector<EFI_OPEN_PROTOCOL_INFORMATION_ENTRY> Info(EFI_HANDLE h, const EFI_GUID &guid) {
    EFI_OPEN_PROTOCOL_INFORMATION_ENTRY *buf = nullptr;
    UINTN n = 0;
    EXPECT_EQ(Bs()->OpenProtocolInformation(h, &guid, &buf, &n), EFI_SUCCESS);
    std::vector<EFI_OPEN_PROTOCOL_INFORMATION_ENTRY> out(buf, buf + n);
    EXPECT_EQ(Bs()->FreePool(buf), EFI_SUCCESS);
    return out;
  }
};

TEST_F(ProtocolDb, InstallCreatesHandlesAndRefusesDuplicatesAndBadArguments) {
  EFI_HANDLE h = NewHandle(kGuidA, &ifaceA);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(Bs()->InstallProtocolInterface(&h, &kGuidA, EFI_NATIVE_INTERFACE, &ifaceB),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(Bs()->InstallProtocolInterface(&h, &kGuidB, EFI_NATIVE_INTERFACE, &ifaceB),
            EFI_SUCCESS);
  EXPECT_EQ(Bs()->InstallProtocolInterface(nullptr, &kGuidB, EFI_NATIVE_INTERFACE, &ifaceB),
            EFI_INVALID_PARAMETER);
  EFI_HANDLE fresh = nullptr;
  EXPECT_EQ(Bs()->InstallProtocolInterface(&fresh, nullptr, EFI_NATIVE_INTERFACE, &ifaceB),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(
      Bs()->InstallProtocolInterface(&fresh, &kGuidB, static_cast<EFI_INTERFACE_TYPE>(1), &ifaceB),
      EFI_INVALID_PARAMETER);
  int notAHandle = 0;
  EFI_HANDLE forged = &notAHandle;
  EXPECT_EQ(Bs()->InstallProtocolInterface(&forged, &kGuidB, EFI_NATIVE_INTERFACE, &ifaceB),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(fresh, nullptr);
  EXPECT_EQ(Fw().Live().handles, 1u);

  void *got = nullptr;
  EXPECT_EQ(Bs()->HandleProtocol(h, &kGuidB, &got), EFI_SUCCESS);
  EXPECT_EQ(got, &ifaceB);
  // Removing the last interface frees the handle.
  EXPECT_EQ(Bs()->UninstallProtocolInterface(h, &kGuidA, &ifaceB), EFI_NOT_FOUND);
  Remove(h, kGuidA, &ifaceA);
  EXPECT_TRUE(Fw().IsHandle(h));
  Remove(h, kGuidB, &ifaceB);
  EXPECT_FALSE(Fw().IsHandle(h));
  EXPECT_EQ(Bs()->UninstallProtocolInterface(h, &kGuidB, &ifaceB), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Bs()->HandleProtocol(h, &kGuidB, &got), EFI_INVALID_PARAMETER);
}

TEST_F(ProtocolDb, InstallMultipleIsAllOrNothing) {
  EFI_HANDLE h = nullptr;
  ASSERT_EQ(
      Bs()->InstallMultipleProtocolInterfaces(&h, &kGuidA, &ifaceA, &kGuidB, &ifaceB, nullptr),
      EFI_SUCCESS);
  void *got = nullptr;
  EXPECT_EQ(Bs()->HandleProtocol(h, &kGuidB, &got), EFI_SUCCESS);

  // kGuidA is already there: kGuidC must not stay installed either.
  EXPECT_EQ(
      Bs()->InstallMultipleProtocolInterfaces(&h, &kGuidC, &ifaceC, &kGuidA, &ifaceA, nullptr),
      EFI_INVALID_PARAMETER);
  EXPECT_EQ(Bs()->HandleProtocol(h, &kGuidC, &got), EFI_UNSUPPORTED);
  // A duplicate inside one list, on a new handle: no handle is left behind.
  EFI_HANDLE other = nullptr;
  EXPECT_EQ(
      Bs()->InstallMultipleProtocolInterfaces(&other, &kGuidC, &ifaceC, &kGuidC, &ifaceC, nullptr),
      EFI_INVALID_PARAMETER);
  EXPECT_EQ(other, nullptr);
  EXPECT_EQ(Fw().Live().handles, 1u);

  // Uninstall multiple: a wrong interface puts back what was removed.
  EXPECT_EQ(
      Bs()->UninstallMultipleProtocolInterfaces(h, &kGuidA, &ifaceA, &kGuidB, &ifaceC, nullptr),
      EFI_INVALID_PARAMETER);
  EXPECT_EQ(Bs()->HandleProtocol(h, &kGuidA, &got), EFI_SUCCESS);
  EXPECT_EQ(got, &ifaceA);
  EXPECT_EQ(
      Bs()->UninstallMultipleProtocolInterfaces(h, &kGuidA, &ifaceA, &kGuidB, &ifaceB, nullptr),
      EFI_SUCCESS);
  EXPECT_FALSE(Fw().IsHandle(h));
}

TEST_F(ProtocolDb, OpenByDriverIsExclusiveToOneAgent) {
  EFI_HANDLE ctl = NewHandle(kGuidA, &ifaceA);
  EFI_HANDLE driver1 = Agent();
  EFI_HANDLE driver2 = Agent();
  void *got = nullptr;
  ASSERT_EQ(OpenA(ctl, &got, driver1, ctl, EFI_OPEN_PROTOCOL_BY_DRIVER), EFI_SUCCESS);
  EXPECT_EQ(got, &ifaceA);
  got = nullptr;
  EXPECT_EQ(OpenA(ctl, &got, driver1, ctl, EFI_OPEN_PROTOCOL_BY_DRIVER), EFI_ALREADY_STARTED);
  EXPECT_EQ(got, &ifaceA) << "the interface comes back with EFI_ALREADY_STARTED";
  got = &ifaceC;
  EXPECT_EQ(OpenA(ctl, &got, driver2, ctl, EFI_OPEN_PROTOCOL_BY_DRIVER), EFI_ACCESS_DENIED);
  EXPECT_EQ(got, &ifaceC) << "untouched on other errors";
  // Only the agent counts: another controller handle changes nothing.
  EXPECT_EQ(OpenA(ctl, &got, driver1, driver2, EFI_OPEN_PROTOCOL_BY_DRIVER), EFI_ALREADY_STARTED);
  // Non-driver opens stay possible.
  EXPECT_EQ(OpenA(ctl, &got, driver2, ctl, EFI_OPEN_PROTOCOL_GET_PROTOCOL), EFI_SUCCESS);
  EXPECT_EQ(
      Bs()->OpenProtocol(ctl, &kGuidA, nullptr, driver2, ctl, EFI_OPEN_PROTOCOL_TEST_PROTOCOL),
      EFI_SUCCESS);
  EXPECT_EQ(Fw().Live().openProtocolEntries, 1u);

  // Uninstalling refuses while the driver holds it and cannot be stopped
  // (it has no driver binding): the non-driver opens are gone afterwards.
  EXPECT_EQ(Bs()->UninstallProtocolInterface(ctl, &kGuidA, &ifaceA), EFI_ACCESS_DENIED);
  auto info = Info(ctl, kGuidA);
  ASSERT_EQ(info.size(), 1u);
  EXPECT_EQ(info[0].Attributes, EFI_OPEN_PROTOCOL_BY_DRIVER);

  EXPECT_EQ(Bs()->CloseProtocol(ctl, &kGuidA, driver1, ctl), EFI_SUCCESS);
  EXPECT_EQ(Bs()->CloseProtocol(ctl, &kGuidA, driver1, ctl), EFI_NOT_FOUND);
  EXPECT_EQ(OpenA(ctl, &got, driver2, ctl, EFI_OPEN_PROTOCOL_BY_DRIVER), EFI_SUCCESS);
  EXPECT_EQ(Bs()->CloseProtocol(ctl, &kGuidA, driver2, ctl), EFI_SUCCESS);
  RemoveAll(ctl, {driver1, driver2});
}

TEST_F(ProtocolDb, ExclusiveOpensAndTheirConflicts) {
  EFI_HANDLE ctl = NewHandle(kGuidA, &ifaceA);
  EFI_HANDLE app = Agent();
  EFI_HANDLE driver = Agent();
  void *got = nullptr;
  ASSERT_EQ(OpenA(ctl, &got, app, nullptr, EFI_OPEN_PROTOCOL_EXCLUSIVE), EFI_SUCCESS);
  EXPECT_EQ(OpenA(ctl, &got, driver, ctl, EFI_OPEN_PROTOCOL_BY_DRIVER), EFI_ACCESS_DENIED);
  EXPECT_EQ(OpenA(ctl, &got, driver, ctl, kDriverExclusive), EFI_ACCESS_DENIED);
  EXPECT_EQ(OpenA(ctl, &got, driver, nullptr, EFI_OPEN_PROTOCOL_EXCLUSIVE), EFI_ACCESS_DENIED);
  EXPECT_EQ(Bs()->CloseProtocol(ctl, &kGuidA, app, nullptr), EFI_SUCCESS);

  ASSERT_EQ(OpenA(ctl, &got, driver, ctl, kDriverExclusive), EFI_SUCCESS);
  EXPECT_EQ(OpenA(ctl, &got, driver, ctl, kDriverExclusive), EFI_ALREADY_STARTED);
  EXPECT_EQ(OpenA(ctl, &got, driver, ctl, EFI_OPEN_PROTOCOL_BY_DRIVER), EFI_ACCESS_DENIED);
  EXPECT_EQ(OpenA(ctl, &got, app, nullptr, EFI_OPEN_PROTOCOL_EXCLUSIVE), EFI_ACCESS_DENIED);
  EXPECT_EQ(Bs()->CloseProtocol(ctl, &kGuidA, driver, ctl), EFI_SUCCESS);
  RemoveAll(ctl, {app, driver});
}

TEST_F(ProtocolDb, OpenProtocolArgumentRules) {
  EFI_HANDLE ctl = NewHandle(kGuidA, &ifaceA);
  EFI_HANDLE agent = Agent();
  void *got = &ifaceC;
  struct Refused {
    EFI_HANDLE handle;
    const EFI_GUID *guid;
    void **interface;
    EFI_HANDLE agent, controller;
    UINT32 attributes;
  };
  const UINT32 get = EFI_OPEN_PROTOCOL_GET_PROTOCOL, driver = EFI_OPEN_PROTOCOL_BY_DRIVER;
  const UINT32 child = EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER;
  // The first five lack an argument or name no single attribute; driver-style
  // opens need an agent and a controller; a handle cannot be its own child.
  const Refused refused[] = {{ctl, nullptr, &got, agent, ctl, get},
                             {nullptr, &kGuidA, &got, agent, ctl, get},
                             {ctl, &kGuidA, nullptr, agent, ctl, get},
                             {ctl, &kGuidA, &got, agent, ctl, 0x40},
                             {ctl, &kGuidA, &got, agent, ctl, 0x03},
                             {ctl, &kGuidA, &got, nullptr, ctl, driver},
                             {ctl, &kGuidA, &got, agent, nullptr, driver},
                             {ctl, &kGuidA, &got, nullptr, nullptr, EFI_OPEN_PROTOCOL_EXCLUSIVE},
                             {ctl, &kGuidA, &got, agent, nullptr, child},
                             {ctl, &kGuidA, &got, agent, ctl, child}};
  for (const Refused &r : refused) {
    EXPECT_EQ(
        Bs()->OpenProtocol(r.handle, r.guid, r.interface, r.agent, r.controller, r.attributes),
        EFI_INVALID_PARAMETER)
        << "case " << (&r - refused);
    EXPECT_EQ(got, &ifaceC) << "case " << (&r - refused);
  }
  // Absent protocol: EFI_UNSUPPORTED and a NULL interface, except for a test.
  EXPECT_EQ(Bs()->OpenProtocol(ctl, &kGuidB, &got, agent, ctl, get), EFI_UNSUPPORTED);
  EXPECT_EQ(got, nullptr);
  got = &ifaceC;
  EXPECT_EQ(Bs()->OpenProtocol(ctl, &kGuidB, &got, agent, ctl, EFI_OPEN_PROTOCOL_TEST_PROTOCOL),
            EFI_UNSUPPORTED);
  EXPECT_EQ(got, &ifaceC);
  EXPECT_EQ(Fw().Live().openProtocolEntries, 0u);
  RemoveAll(ctl, {agent});
}

TEST_F(ProtocolDb, RepeatOpensCountAndCloseRemovesEveryEntryOfThePair) {
  EFI_HANDLE ctl = NewHandle(kGuidA, &ifaceA);
  EFI_HANDLE child = NewHandle(kGuidB, &ifaceB);
  EFI_HANDLE agent = Agent();
  void *got = nullptr;
  for (int i = 0; i < 3; ++i)
    ASSERT_EQ(OpenA(ctl, &got, agent, child, EFI_OPEN_PROTOCOL_GET_PROTOCOL), EFI_SUCCESS);
  ASSERT_EQ(OpenA(ctl, &got, agent, child, EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER), EFI_SUCCESS);
  auto info = Info(ctl, kGuidA);
  ASSERT_EQ(info.size(), 2u);
  EXPECT_EQ(info[0].AgentHandle, agent);
  EXPECT_EQ(info[0].ControllerHandle, child);
  EXPECT_EQ(info[0].Attributes, EFI_OPEN_PROTOCOL_GET_PROTOCOL);
  EXPECT_EQ(info[0].OpenCount, 3u);
  EXPECT_EQ(info[1].Attributes, EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER);
  EXPECT_EQ(info[1].OpenCount, 1u);

  // A child-controller open keeps the interface installed.
  EXPECT_EQ(Bs()->UninstallProtocolInterface(ctl, &kGuidA, &ifaceA), EFI_ACCESS_DENIED);
  EXPECT_EQ(Bs()->CloseProtocol(ctl, &kGuidA, agent, child), EFI_SUCCESS);
  EXPECT_TRUE(Info(ctl, kGuidA).empty());
  EXPECT_EQ(Bs()->CloseProtocol(ctl, &kGuidA, agent, child), EFI_NOT_FOUND);
  EXPECT_EQ(Bs()->CloseProtocol(ctl, &kGuidB, agent, child), EFI_NOT_FOUND);
  EXPECT_EQ(Bs()->CloseProtocol(ctl, &kGuidA, nullptr, child), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Bs()->CloseProtocol(ctl, nullptr, agent, child), EFI_INVALID_PARAMETER);

  EFI_OPEN_PROTOCOL_INFORMATION_ENTRY *buf = nullptr;
  UINTN n = 0;
  EXPECT_EQ(Bs()->OpenProtocolInformation(ctl, &kGuidB, &buf, &n), EFI_NOT_FOUND);
  EXPECT_EQ(Bs()->OpenProtocolInformation(ctl, &kGuidA, nullptr, &n), EFI_INVALID_PARAMETER);
  Remove(child, kGuidB, &ifaceB);
  RemoveAll(ctl, {agent});
}

TEST_F(ProtocolDb, HandleProtocolIsTrackedAsAFirmwareOpenAndClosedByUninstall) {
  EFI_HANDLE h = NewHandle(kGuidA, &ifaceA);
  void *got = nullptr;
  ASSERT_EQ(Bs()->HandleProtocol(h, &kGuidA, &got), EFI_SUCCESS);
  auto info = Info(h, kGuidA);
  ASSERT_EQ(info.size(), 1u);
  EXPECT_EQ(info[0].AgentHandle, Fw().FirmwareHandle());
  EXPECT_EQ(info[0].Attributes, EFI_OPEN_PROTOCOL_BY_HANDLE_PROTOCOL);
  EXPECT_EQ(Bs()->HandleProtocol(h, &kGuidA, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Bs()->HandleProtocol(h, nullptr, &got), EFI_INVALID_PARAMETER);
  Remove(h, kGuidA, &ifaceA);
}

TEST_F(ProtocolDb, LocateServices) {
  EFI_HANDLE h1 = NewHandle(kGuidA, &ifaceA);
  EFI_HANDLE h2 = NewHandle(kGuidB, &ifaceB);
  EFI_HANDLE h3 = NewHandle(kGuidA, &ifaceC);

  EFI_HANDLE *buf = nullptr;
  UINTN n = 0;
  ASSERT_EQ(Bs()->LocateHandleBuffer(ByProtocol, &kGuidA, nullptr, &n, &buf), EFI_SUCCESS);
  ASSERT_EQ(n, 2u);
  EXPECT_EQ(buf[0], h1);
  EXPECT_EQ(buf[1], h3);
  Bs()->FreePool(buf);
  ASSERT_EQ(Bs()->LocateHandleBuffer(AllHandles, nullptr, nullptr, &n, &buf), EFI_SUCCESS);
  EXPECT_EQ(n, 4u) << "the firmware's own handle counts too";
  Bs()->FreePool(buf);
  EXPECT_EQ(Bs()->LocateHandleBuffer(ByProtocol, &kGuidC, nullptr, &n, &buf), EFI_NOT_FOUND);
  EXPECT_EQ(Bs()->LocateHandleBuffer(ByProtocol, nullptr, nullptr, &n, &buf),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(Bs()->LocateHandleBuffer(ByProtocol, &kGuidA, nullptr, nullptr, &buf),
            EFI_INVALID_PARAMETER);

  UINTN size = sizeof(EFI_HANDLE);
  EFI_HANDLE one[2] = {};
  EXPECT_EQ(Bs()->LocateHandle(ByProtocol, &kGuidA, nullptr, &size, one), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(size, 2 * sizeof(EFI_HANDLE));
  EXPECT_EQ(Bs()->LocateHandle(ByProtocol, &kGuidA, nullptr, &size, one), EFI_SUCCESS);
  EXPECT_EQ(one[1], h3);

  void *got = &ifaceB;
  EXPECT_EQ(Bs()->LocateProtocol(&kGuidA, nullptr, &got), EFI_SUCCESS);
  EXPECT_EQ(got, &ifaceA);
  EXPECT_EQ(Bs()->LocateProtocol(&kGuidC, nullptr, &got), EFI_NOT_FOUND);
  EXPECT_EQ(got, nullptr);
  EXPECT_EQ(Bs()->LocateProtocol(&kGuidA, nullptr, nullptr), EFI_INVALID_PARAMETER);

  EFI_GUID **guids = nullptr;
  ASSERT_EQ(Bs()->ProtocolsPerHandle(h2, &guids, &n), EFI_SUCCESS);
  ASSERT_EQ(n, 1u);
  EXPECT_EQ(std::memcmp(guids[0], &kGuidB, sizeof(EFI_GUID)), 0);
  Bs()->FreePool(guids);

  // The debug-message service is found by its GUID.
  EXPECT_EQ(Bs()->LocateProtocol(&gEfiDebugMessageProtocolGuid, nullptr, &got), EFI_SUCCESS);
  EXPECT_EQ(got, Fw().Debug().Protocol());

  Remove(h1, kGuidA, &ifaceA);
  Remove(h2, kGuidB, &ifaceB);
  Remove(h3, kGuidA, &ifaceC);
}

TEST_F(ProtocolDb, FreedAndForgedHandlesAreRefusedByEveryService) {
  EFI_HANDLE h = NewHandle(kGuidA, &ifaceA);
  EFI_HANDLE agent = Agent();
  // Made before h goes: a handle made after it would reuse its value.
  EFI_HANDLE ok = NewHandle(kGuidB, &ifaceB);
  Remove(h, kGuidA, &ifaceA); // h is gone now
  int local = 0;
  for (EFI_HANDLE bad : {h, static_cast<EFI_HANDLE>(&local)}) {
    void *got = nullptr;
    EXPECT_EQ(Bs()->OpenProtocol(bad, &kGuidA, &got, agent, agent, EFI_OPEN_PROTOCOL_BY_DRIVER),
              EFI_INVALID_PARAMETER);
    EXPECT_EQ(Bs()->CloseProtocol(bad, &kGuidA, agent, agent), EFI_INVALID_PARAMETER);
    EXPECT_EQ(Bs()->HandleProtocol(bad, &kGuidA, &got), EFI_INVALID_PARAMETER);
    EFI_OPEN_PROTOCOL_INFORMATION_ENTRY *info = nullptr;
    UINTN n = 0;
    EXPECT_EQ(Bs()->OpenProtocolInformation(bad, &kGuidA, &info, &n), EFI_INVALID_PARAMETER);
    EFI_GUID **guids = nullptr;
    EXPECT_EQ(Bs()->ProtocolsPerHandle(bad, &guids, &n), EFI_INVALID_PARAMETER);
    EXPECT_EQ(Bs()->UninstallMultipleProtocolInterfaces(bad, &kGuidA, &ifaceA, nullptr),
              EFI_INVALID_PARAMETER);
    // A bad agent or controller is refused as well.
    EXPECT_EQ(Bs()->OpenProtocol(ok, &kGuidB, &got, bad, ok, EFI_OPEN_PROTOCOL_BY_DRIVER),
              EFI_INVALID_PARAMETER);
    EXPECT_EQ(Bs()->OpenProtocol(ok, &kGuidB, &got, agent, bad, EFI_OPEN_PROTOCOL_BY_DRIVER),
              EFI_INVALID_PARAMETER);
  }
  Remove(ok, kGuidB, &ifaceB);
  UINTN size = 0;
  EXPECT_EQ(Bs()->LocateHandle(ByRegisterNotify, nullptr, &local, &size, nullptr),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(Bs()->LocateHandle(AllHandles, nullptr, nullptr, nullptr, nullptr),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(Fw().Live().openProtocolEntries, 0u);
  EXPECT_EQ(Fw().Live().poolAllocations, 0u);
  Remove(agent, kGuidC, &ifaceC);
}

TEST_F(ProtocolDb, ReinstallSwapsTheInterfaceInPlace) {
  EFI_HANDLE h = NewHandle(kGuidA, &ifaceA);
  EXPECT_EQ(Bs()->ReinstallProtocolInterface(h, &kGuidA, &ifaceB, &ifaceC), EFI_NOT_FOUND);
  EXPECT_EQ(Bs()->ReinstallProtocolInterface(h, &kGuidA, &ifaceA, &ifaceB), EFI_SUCCESS);
  void *got = nullptr;
  EXPECT_EQ(Bs()->HandleProtocol(h, &kGuidA, &got), EFI_SUCCESS);
  EXPECT_EQ(got, &ifaceB);
  Remove(h, kGuidA, &ifaceB);
}

} // namespace
} // namespace zem4::test
