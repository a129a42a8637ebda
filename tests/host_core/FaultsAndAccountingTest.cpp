// Fault injection, live accounting and the leak report, pool arguments,
// the debug-message service, and the system table itself.
#include "tests/common/FirmwareFixture.h"

#include "host/BootServices.h"

#include <algorithm>
#include <cstring>

namespace zem4::test {
namespace {

class FaultsAndAccounting : public FirmwareFixture {};

bool Mentions(const std::vector<std::string> &lines, const std::string &what) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string &l) { return l.find(what) != std::string::npos; });
}

TEST_F(FaultsAndAccounting, FailNthHitsExactlyThatOccurrence) {
  Fw().Faults().FailNth("AllocatePool", 2, EFI_OUT_OF_RESOURCES);
  void *a = nullptr, *b = nullptr, *c = nullptr;
  EXPECT_EQ(Bs()->AllocatePool(EfiBootServicesData, 16, &a), EFI_SUCCESS);
  b = &b;
  EXPECT_EQ(Bs()->AllocatePool(EfiBootServicesData, 16, &b), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(b, &b) << "a failed call leaves its output alone";
  EXPECT_EQ(Bs()->AllocatePool(EfiBootServicesData, 16, &c), EFI_SUCCESS);
  EXPECT_EQ(Fw().Faults().Count("AllocatePool"), 3u);
  EXPECT_EQ(Fw().Live().poolAllocations, 2u);
  Bs()->FreePool(a);
  Bs()->FreePool(c);
}

TEST_F(FaultsAndAccounting, FailAlwaysUntilClearedAndCountsEveryCall) {
  Fw().Faults().FailAlways("CreateEvent", EFI_DEVICE_ERROR);
  EFI_EVENT ev = nullptr;
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(Bs()->CreateEvent(EVT_TIMER, 0, nullptr, nullptr, &ev), EFI_DEVICE_ERROR);
  EXPECT_EQ(Fw().Live().events, 0u);
  Fw().Faults().Clear();
  EXPECT_EQ(Bs()->CreateEvent(EVT_TIMER, 0, nullptr, nullptr, &ev), EFI_SUCCESS);
  EXPECT_EQ(Fw().Faults().Count("CreateEvent"), 4u);
  EXPECT_EQ(Fw().Faults().Injected(), 3u);
  Bs()->CloseEvent(ev);
  // Every Boot Services call is counted under its UEFI name.
  const auto &counts = Fw().Faults().Counts();
  EXPECT_EQ(counts.at("CloseEvent"), 1u);
  EXPECT_EQ(counts.count("SetTimer"), 0u);
}

TEST_F(FaultsAndAccounting, FailNextHitsTheCallAfterTheOnesAlreadyCounted) {
  EFI_EVENT ev = nullptr;
  ASSERT_EQ(Bs()->CreateEvent(EVT_TIMER, 0, nullptr, nullptr, &ev), EFI_SUCCESS);
  Fw().Faults().FailNext("SetTimer", EFI_DEVICE_ERROR);
  Fw().Faults().FailNext("CreateEvent", EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Bs()->SetTimer(ev, TimerRelative, 1), EFI_DEVICE_ERROR);
  EXPECT_EQ(Bs()->SetTimer(ev, TimerRelative, 1), EFI_SUCCESS);
  EFI_EVENT other = nullptr;
  EXPECT_EQ(Bs()->CreateEvent(EVT_TIMER, 0, nullptr, nullptr, &other), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(other, nullptr);
  Bs()->CloseEvent(ev);
}

TEST_F(FaultsAndAccounting, AnyProtocolServiceCanBeFailed) {
  int iface = 0;
  Fw().Faults().FailNth("InstallMultipleProtocolInterfaces", 1, EFI_OUT_OF_RESOURCES);
  Fw().Faults().FailNth("LocateProtocol", 1, EFI_NOT_FOUND);
  const EFI_GUID guid = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  EFI_HANDLE h = nullptr;
  EXPECT_EQ(Bs()->InstallMultipleProtocolInterfaces(&h, &guid, &iface, nullptr),
            EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(h, nullptr);
  void *got = nullptr;
  EXPECT_EQ(Bs()->LocateProtocol(&gEfiDebugMessageProtocolGuid, nullptr, &got), EFI_NOT_FOUND);
  EXPECT_EQ(Bs()->LocateProtocol(&gEfiDebugMessageProtocolGuid, nullptr, &got), EFI_SUCCESS);
}

TEST_F(FaultsAndAccounting, LeakReportNamesLeakedPoolEventsHandlesOpensAndHostCounters) {
  void *block = nullptr;
  ASSERT_EQ(Bs()->AllocatePool(EfiBootServicesData, 40, &block), EFI_SUCCESS);
  EFI_EVENT ev = nullptr;
  ASSERT_EQ(Bs()->CreateEvent(EVT_TIMER, 0, nullptr, nullptr, &ev), EFI_SUCCESS);
  Bs()->SetTimer(ev, TimerRelative, 1000);
  int iface = 0;
  const EFI_GUID guid = {0xABCDEF01, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  EFI_HANDLE h = Fw().InstallProtocol(nullptr, guid, &iface);
  EFI_HANDLE agent = Fw().InstallProtocol(nullptr, gEfiUdp4ProtocolGuid, &iface);
  void *got = nullptr;
  ASSERT_EQ(Bs()->OpenProtocol(h, &guid, &got, agent, h, EFI_OPEN_PROTOCOL_BY_DRIVER), EFI_SUCCESS);
  size_t unrecycled = 2;
  Fw().AddLiveCounter("unrecycled datagrams", [&] { return unrecycled; });

  const auto live = Fw().Live();
  EXPECT_EQ(live.poolAllocations, 1u);
  EXPECT_EQ(live.poolBytes, 40u);
  EXPECT_EQ(live.events, 1u);
  EXPECT_EQ(live.handles, 2u);
  EXPECT_EQ(live.openProtocolEntries, 1u);
  const auto report = Fw().LeakReport();
  EXPECT_TRUE(Mentions(report, "pool: 1 block(s), 40 byte(s) live")) << Join(report);
  EXPECT_TRUE(Mentions(report, "40 byte(s)")) << Join(report);
  EXPECT_TRUE(Mentions(report, "event #")) << Join(report);
  EXPECT_TRUE(Mentions(report, "armed deadline 1000")) << Join(report);
  EXPECT_TRUE(Mentions(report, "ABCDEF01-0002-0003-0405-060708090A0B")) << Join(report);
  EXPECT_TRUE(Mentions(report, "attributes 0x10")) << Join(report);
  EXPECT_TRUE(Mentions(report, "unrecycled datagrams: 2")) << Join(report);

  // Cleaning up empties the report, one kind at a time.
  unrecycled = 0;
  Bs()->FreePool(block);
  Bs()->CloseEvent(ev);
  Bs()->CloseProtocol(h, &guid, agent, h);
  EXPECT_EQ(Fw().Live().openProtocolEntries, 0u);
  Fw().UninstallProtocol(h, guid, &iface);
  Fw().UninstallProtocol(agent, gEfiUdp4ProtocolGuid, &iface);
  EXPECT_TRUE(Fw().LeakReport().empty()) << Join(Fw().LeakReport());
  Fw().RemoveLiveCounter("unrecycled datagrams");
}

TEST_F(FaultsAndAccounting, PoolArgumentsAndBadFreesAreRefusedNotFatal) {
  ExpectViolations();
  void *p = nullptr;
  EXPECT_EQ(Bs()->AllocatePool(EfiBootServicesData, 8, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Bs()->AllocatePool(EfiMaxMemoryType, 8, &p), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Bs()->AllocatePool(static_cast<EFI_MEMORY_TYPE>(0x6FFFFFFF), 8, &p),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(Bs()->AllocatePool(EfiBootServicesData, ~UINTN(0), &p), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(p, nullptr);
  ASSERT_EQ(Bs()->AllocatePool(EfiBootServicesData, 0, &p), EFI_SUCCESS);
  EXPECT_NE(p, nullptr) << "an empty block is still a block to free";
  EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 8, 0u);
  EXPECT_EQ(Bs()->FreePool(p), EFI_SUCCESS);
  EXPECT_EQ(Bs()->FreePool(p), EFI_INVALID_PARAMETER) << "double free";
  int local = 0;
  EXPECT_EQ(Bs()->FreePool(&local), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Bs()->FreePool(nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Fw().Violations().size(), 3u);
}

TEST_F(FaultsAndAccounting, FreshPoolIsNotZeroedAndCopyMemHandlesOverlap) {
  uint8_t *p = nullptr;
  ASSERT_EQ(Bs()->AllocatePool(EfiBootServicesData, 16, reinterpret_cast<void **>(&p)),
            EFI_SUCCESS);
  EXPECT_EQ(p[0], 0xAF);
  EXPECT_EQ(p[15], 0xAF);
  Bs()->SetMem(p, 16, 0);
  for (int i = 0; i < 8; ++i)
    p[i] = static_cast<uint8_t>(i + 1);
  Bs()->CopyMem(p + 2, p, 8); // overlapping, forwards
  const uint8_t expect[] = {1, 2, 1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(std::memcmp(p, expect, sizeof expect), 0);
  Bs()->CopyMem(nullptr, nullptr, 0);
  Bs()->FreePool(p);
}

TEST_F(FaultsAndAccounting, DebugMessageServiceRecordsLinesAndHonoursItsLevelMask) {
  EFI_DEBUG_MESSAGE_PROTOCOL *dm = nullptr;
  ASSERT_EQ(
      Bs()->LocateProtocol(&gEfiDebugMessageProtocolGuid, nullptr, reinterpret_cast<void **>(&dm)),
      EFI_SUCCESS);
  EXPECT_TRUE(dm->IsLevelEnabled(4, 0, 0));
  Fw().Debug().EnableLevel(2, false);
  EXPECT_FALSE(dm->IsLevelEnabled(2, 0, 0));
  EXPECT_TRUE(dm->IsLevelEnabled(4, 0, 0));
  char16_t tag[] = u"TORBELIX";
  char16_t text[] = u"Zem4SendPacket: failed \u00e9.\r\n";
  EXPECT_EQ(dm->Emit(4, tag, text), EFI_SUCCESS);
  EXPECT_EQ(dm->Emit(4, nullptr, text), EFI_INVALID_PARAMETER);
  ASSERT_EQ(Fw().Debug().Lines().size(), 1u);
  const auto &line = Fw().Debug().Lines()[0];
  EXPECT_EQ(line.level, 4u);
  EXPECT_EQ(line.tag, u"TORBELIX");
  EXPECT_EQ(line.text, text);
  EXPECT_EQ(line.Text(), "Zem4SendPacket: failed ?.\r\n");
  for (auto slot : {dm->Entry0, dm->Entry1, dm->Entry3, dm->Entry4, dm->Entry5})
    EXPECT_EQ(slot(), EFI_UNSUPPORTED);
  Fw().Debug().Clear();
  EXPECT_TRUE(Fw().Debug().Lines().empty());

  // A firmware without the service, and with it again.
  ASSERT_EQ(Fw().SetDebugServiceInstalled(false), EFI_SUCCESS);
  void *got = nullptr;
  EXPECT_EQ(Bs()->LocateProtocol(&gEfiDebugMessageProtocolGuid, nullptr, &got), EFI_NOT_FOUND);
  EXPECT_TRUE(Fw().IsHandle(Fw().FirmwareHandle()));
  ASSERT_EQ(Fw().SetDebugServiceInstalled(true), EFI_SUCCESS);
  EXPECT_EQ(Bs()->LocateProtocol(&gEfiDebugMessageProtocolGuid, nullptr, &got), EFI_SUCCESS);
  EXPECT_EQ(got, dm);
}

TEST_F(FaultsAndAccounting, SystemTableAndBootServicesHeadersAreWellFormed) {
  EFI_SYSTEM_TABLE *st = St();
  EXPECT_EQ(st->Hdr.Signature, EFI_SYSTEM_TABLE_SIGNATURE);
  EXPECT_EQ(st->BootServices, Bs());
  EXPECT_EQ(Bs()->Hdr.Signature, EFI_BOOT_SERVICES_SIGNATURE);
  EXPECT_EQ(Bs()->Hdr.HeaderSize, sizeof(EFI_BOOT_SERVICES));
  // Every slot but the reserved one is filled.
  auto *slots = reinterpret_cast<void *const *>(&Bs()->RaiseTPL);
  for (int i = 0; i < 44; ++i)
    EXPECT_EQ(slots[i] == nullptr, i == 17) << "slot " << i;
  EFI_BOOT_SERVICES copy = *Bs();
  const UINT32 crc = copy.Hdr.CRC32;
  copy.Hdr.CRC32 = 0;
  EXPECT_EQ(host::Crc32(&copy, sizeof copy), crc);
  EXPECT_EQ(host::Crc32("123456789", 9), 0xCBF43926u); // the standard check value
  UINT32 out = 0;
  EXPECT_EQ(Bs()->CalculateCrc32(const_cast<char *>("123456789"), 9, &out), EFI_SUCCESS);
  EXPECT_EQ(out, 0xCBF43926u);
  EXPECT_EQ(Bs()->LoadImage(FALSE, nullptr, nullptr, nullptr, 0, nullptr), EFI_UNSUPPORTED);
}

TEST_F(FaultsAndAccounting, FirmwaresMadeOneAfterAnotherServeTheirOwnTables) {
  // The fixture's firmware is current; a second one takes over and gives back.
  {
    host::Firmware inner;
    void *p = nullptr;
    EXPECT_EQ(inner.BootServices()->AllocatePool(EfiBootServicesData, 4, &p), EFI_SUCCESS);
    EXPECT_EQ(inner.Live().poolAllocations, 1u);
    EXPECT_EQ(Fw().Live().poolAllocations, 0u);
    inner.BootServices()->FreePool(p);
    ExpectCleanTeardown(inner);
  }
  EXPECT_EQ(host::Firmware::Current(), &Fw());
}

} // namespace
} // namespace zem4::test
