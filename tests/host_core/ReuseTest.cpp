// Handle values and pool blocks come back after they are freed, in an order
// the firmware's seed decides, as firmware reuses its memory: a stale handle
// then names someone else's protocols and a stale pointer another block, and
// until the reuse a freed block stays poisoned so that ASan reports a use.
#include "tests/common/FirmwareFixture.h"

#include "host/HandleDatabase.h"
#include "host/PoolMemory.h"

#include <algorithm>
#include <set>

namespace zem4::test {
namespace {

using host::PoolMemory;

const EFI_GUID kGuidA = {0xA1, 1, 1, {1, 1, 1, 1, 1, 1, 1, 1}};
const EFI_GUID kGuidB = {0xB2, 2, 2, {2, 2, 2, 2, 2, 2, 2, 2}};
int gIfaceA, gIfaceB;

class Reuse : public FirmwareFixture {};

TEST_F(Reuse, AStaleHandleNamesTheProtocolsOfTheHandleThatReusedItsValue) {
  EFI_HANDLE stale = nullptr;
  ASSERT_EQ(Bs()->InstallProtocolInterface(&stale, &kGuidA, EFI_NATIVE_INTERFACE, &gIfaceA),
            EFI_SUCCESS);
  ASSERT_EQ(Bs()->UninstallProtocolInterface(stale, &kGuidA, &gIfaceA), EFI_SUCCESS);
  EXPECT_FALSE(Fw().IsHandle(stale));
  EFI_HANDLE fresh = nullptr;
  ASSERT_EQ(Bs()->InstallProtocolInterface(&fresh, &kGuidB, EFI_NATIVE_INTERFACE, &gIfaceB),
            EFI_SUCCESS);
  EXPECT_EQ(fresh, stale) << "the only freed value comes back";
  void *iface = nullptr;
  EXPECT_EQ(Bs()->HandleProtocol(stale, &kGuidA, &iface), EFI_UNSUPPORTED);
  EXPECT_EQ(Bs()->HandleProtocol(stale, &kGuidB, &iface), EFI_SUCCESS);
  EXPECT_EQ(iface, &gIfaceB);
  EXPECT_EQ(Fw().Handles().Reused(), 1u);
  Bs()->UninstallProtocolInterface(fresh, &kGuidB, &gIfaceB);
}

// Frees every other one of `n` handles and makes as many again; the values the
// new ones got, in order.
std::vector<EFI_HANDLE> ReuseOrder(host::HandleDatabase &db, size_t n) {
  std::vector<EFI_HANDLE> made;
  for (size_t i = 0; i < n; ++i) {
    made.push_back(db.NewHandle());
    db.Add(made.back(), kGuidA, &gIfaceA);
  }
  for (size_t i = 0; i < n; i += 2)
    db.Remove(made[i], kGuidA);
  std::vector<EFI_HANDLE> again;
  for (size_t i = 0; i < n; i += 2) {
    again.push_back(db.NewHandle());
    db.Add(again.back(), kGuidB, &gIfaceB);
  }
  return again;
}

TEST(HandleReuse, TheSeedDecidesTheOrderAndLookupsKeepCreationOrder) {
  host::HandleDatabase one(5), same(5);
  const auto order = ReuseOrder(one, 16);
  EXPECT_EQ(ReuseOrder(same, 16), order) << "one seed, one order";
  std::set<EFI_HANDLE> distinct(order.begin(), order.end());
  EXPECT_EQ(distinct.size(), order.size());
  EXPECT_EQ(one.Reused(), 8u);
  bool differs = false;
  for (uint64_t seed = 6; seed < 20 && !differs; ++seed) {
    host::HandleDatabase other(seed);
    differs = ReuseOrder(other, 16) != order;
  }
  EXPECT_TRUE(differs) << "the seed changes the order";
  // The reused values come last in a lookup: they are the newest handles.
  const auto withB = one.HandlesWith(kGuidB);
  EXPECT_EQ(withB, order);
  const auto all = one.AllHandles();
  ASSERT_EQ(all.size(), 16u);
  EXPECT_TRUE(std::equal(order.begin(), order.end(), all.end() - 8));
}

TEST(PoolReuse, AFreedBlockComesBackFilledAfreshAndItsSlackStaysOutOfReach) {
  PoolMemory pool(1);
  void *a = nullptr;
  ASSERT_EQ(pool.Allocate(EfiBootServicesData, 40, &a), EFI_SUCCESS);
  ASSERT_EQ(pool.Free(a), EFI_SUCCESS);
  if (PoolMemory::Poisons()) {
    EXPECT_TRUE(PoolMemory::IsPoisoned(a)) << "freed, not yet reused";
  }
  void *b = nullptr;
  ASSERT_EQ(pool.Allocate(EfiBootServicesData, 33, &b), EFI_SUCCESS);
  EXPECT_EQ(b, a) << "the same class (64 bytes) reuses the block";
  EXPECT_EQ(pool.Reused(), 1u);
  const auto *bytes = static_cast<const uint8_t *>(b);
  EXPECT_TRUE(std::all_of(bytes, bytes + 33, [](uint8_t v) { return v == PoolMemory::kFillByte; }));
  if (PoolMemory::Poisons()) {
    EXPECT_FALSE(PoolMemory::IsPoisoned(bytes + 32));
    EXPECT_TRUE(PoolMemory::IsPoisoned(bytes + 33)) << "past the 33 bytes asked for";
  }
  void *other = nullptr;
  ASSERT_EQ(pool.Allocate(EfiBootServicesData, 200, &other), EFI_SUCCESS);
  EXPECT_NE(other, a) << "another class, another block";
  EXPECT_EQ(pool.LiveCount(), 2u);
  EXPECT_EQ(pool.LiveBytes(), 233u);
  EXPECT_EQ(pool.Free(b), EFI_SUCCESS);
  EXPECT_EQ(pool.Free(b), EFI_INVALID_PARAMETER) << "twice";
  EXPECT_EQ(pool.Free(other), EFI_SUCCESS);
  EXPECT_TRUE(pool.Report().empty());
}

// Twelve blocks of one class freed, then twelve taken again through Boot
// Services: which freed block each one reused (12: a fresh one).
std::vector<size_t> PoolOrder(uint64_t seed) {
  host::Firmware fw(host::ClockMode::Virtual, seed);
  EFI_BOOT_SERVICES *bs = fw.BootServices();
  std::vector<void *> first(12), second(12);
  for (void *&p : first)
    bs->AllocatePool(EfiBootServicesData, 100, &p);
  for (void *p : first)
    bs->FreePool(p);
  std::vector<size_t> out;
  for (void *&p : second) {
    bs->AllocatePool(EfiBootServicesData, 100, &p);
    out.push_back(size_t(std::find(first.begin(), first.end(), p) - first.begin()));
  }
  EXPECT_EQ(fw.Memory().Reused(), 12u);
  for (void *p : second)
    bs->FreePool(p);
  ExpectCleanTeardown(fw);
  return out;
}

TEST(PoolReuse, TheFirmwaresSeedDecidesWhichFreedBlockComesBack) {
  const auto order = PoolOrder(3);
  EXPECT_EQ(PoolOrder(3), order) << "one seed, one order";
  std::set<size_t> distinct(order.begin(), order.end());
  EXPECT_EQ(distinct.size(), 12u) << "every allocation reused a different freed block";
  EXPECT_EQ(distinct.count(12), 0u) << "none was fresh";
  bool differs = false;
  for (uint64_t seed = 4; seed < 20 && !differs; ++seed)
    differs = PoolOrder(seed) != order;
  EXPECT_TRUE(differs);
}

// ASan still sees a use of a freed block, and a run past the requested bytes,
// with the block kept by the pool rather than given back to the host.
class PoolPoisonDeathTest : public FirmwareFixture {
protected:
  void SetUp() override {
    if (!PoolMemory::Poisons())
      GTEST_SKIP() << "needs an AddressSanitizer build";
    FirmwareFixture::SetUp();
  }
};

TEST_F(PoolPoisonDeathTest, UseAfterFreePoolIsReported) {
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";
  EXPECT_DEATH(
      {
        void *p = nullptr;
        Bs()->AllocatePool(EfiBootServicesData, 64, &p);
        Bs()->FreePool(p);
        static_cast<volatile uint8_t *>(p)[8] = 1;
      },
      "use-after-poison.*zem4 pool: 0x[0-9a-f]+ is 8 byte\\(s\\) into freed pool block #[0-9]+ "
      "\\(64 byte\\(s\\)\\), freed by FreePool called from");
}

TEST_F(PoolPoisonDeathTest, AWritePastTheBlockInsideItsClassIsReported) {
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";
  EXPECT_DEATH(
      {
        void *p = nullptr;
        Bs()->AllocatePool(EfiBootServicesData, 20, &p);
        static_cast<volatile uint8_t *>(p)[20] = 1;
      },
      "use-after-poison.*zem4 pool: 0x[0-9a-f]+ is 0 byte\\(s\\) past the end of pool block "
      "#[0-9]+ \\(20 byte\\(s\\)\\)");
}

} // namespace
} // namespace zem4::test
