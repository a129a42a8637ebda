// The driver image and a caller's buffer at the top of the address space: a
// BufferSize that runs past the end of the address space is refused before a
// byte is written, and an honest one is kept to. The buffer sits right before
// a page nobody may touch, so any write beyond it ends the test.
#include "tests/common/EngineServer.h"
#include "tests/image_run/ImageRun.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

namespace zem4::test {
namespace {

constexpr host::Ipv4 kServer{127, 0, 9, 1};
constexpr host::Ipv4 kStation{127, 0, 9, 2};
constexpr size_t kBlock = 1032;

// One writable page followed by an inaccessible one, as high up as the
// process may map (on IA32 right under the top of the 4 GiB space).
class GuardedPage {
public:
  GuardedPage() {
    page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    if (sizeof(void *) == 4) {
      for (uintptr_t hint = 0xFFFF0000u; hint >= 0xC0000000u && base_ == nullptr;
           hint -= 0x10000u) {
        Map(reinterpret_cast<void *>(hint));
      }
    }
    if (base_ == nullptr) {
      Map(nullptr);
    }
    if (base_ != nullptr) {
      mprotect(base_, page_, PROT_READ | PROT_WRITE);
      std::memset(base_, 0xEE, page_);
    }
  }
  ~GuardedPage() {
    if (base_ != nullptr) {
      munmap(base_, 2 * page_);
    }
  }
  bool Ok() const { return base_ != nullptr; }
  // `bytes` right before the guard page.
  uint8_t *Tail(size_t bytes) const { return static_cast<uint8_t *>(base_) + page_ - bytes; }
  size_t Page() const { return page_; }
  const uint8_t *Base() const { return static_cast<const uint8_t *>(base_); }

private:
  void Map(void *hint) {
    void *at = mmap(hint, 2 * page_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (at == MAP_FAILED) {
      return;
    }
    if (hint != nullptr && at != hint) {
      munmap(at, 2 * page_);
      return;
    }
    base_ = at;
  }
  size_t page_ = 4096;
  void *base_ = nullptr;
};

VOID EFIAPI Signalled(EFI_EVENT, VOID *context) {
  ++*static_cast<int *>(context);
}

class BufferEndTest : public ImageWithEngine {
protected:
  BufferEndTest() : ImageWithEngine(kServer, 1) {}

  void SetUp() override {
    ImageWithEngine::SetUp();
    if (SetUpFailed()) {
      return;
    }
    file_ = MakeFile(kBlock + 500, 13); // two blocks
    engine_->Files().Add("two", file_);
    controller_ = host_.AddController(kStation);
    ASSERT_EQ(host_.Connect(controller_), EFI_SUCCESS);
    ASSERT_EQ(host_.CreateChild(controller_, &child_), EFI_SUCCESS);
    proto_ = host_.Protocol(child_);
    ASSERT_NE(proto_, nullptr);
    ASSERT_EQ(ConfigureChild(proto_, kStation, kServer, server::EngineConfig{}.ListenPort),
              EFI_SUCCESS);
    ASSERT_EQ(
        host_.Fw().CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, Signalled, &signalled_, &event_),
        EFI_SUCCESS);
  }
  void TearDown() override {
    if (child_ != nullptr) {
      EXPECT_EQ(host_.DestroyChild(controller_, child_), EFI_SUCCESS);
    }
    if (event_ != nullptr) {
      host_.Fw().CloseEvent(event_);
    }
    ImageWithEngine::TearDown();
    EXPECT_TRUE(host_.Fw().Violations().empty()) << Join(host_.Fw().Violations());
  }

  Bytes file_;
  EFI_HANDLE controller_ = nullptr;
  EFI_HANDLE child_ = nullptr;
  Zem4 *proto_ = nullptr;
  EFI_EVENT event_ = nullptr;
  int signalled_ = 0;
};

TEST_F(BufferEndTest, OnlyWhatFitsBeforeTheGuardIsEverWritten) {
  GuardedPage page;
  ASSERT_TRUE(page.Ok());
  uint8_t *buffer = page.Tail(kBlock);
  // From the buffer to the end of the address space, and one block beyond.
  const UINT64 toTheTop = UINT64(UINTN(~UINTN(0)) - reinterpret_cast<UINTN>(buffer)) + 1;
  const struct {
    const char *name;
    UINT64 size;
    EFI_STATUS start;
    EFI_STATUS end; // the token's status, for a transfer that started
  } cases[] = {
      {"a size that wraps past the top", toTheTop + kBlock, EFI_INVALID_PARAMETER, EFI_SUCCESS},
      {"a size beyond anything", ~UINT64(0), EFI_INVALID_PARAMETER, EFI_SUCCESS},
      {"the true size, one block", kBlock, EFI_SUCCESS, EFI_BUFFER_TOO_SMALL},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    signalled_ = 0;
    Zem4Token token{};
    token.Event = event_;
    token.Filename = const_cast<CHAR8 *>("two");
    token.Buffer = buffer;
    token.BufferSize = c.size;
    ASSERT_EQ(proto_->ReadFile(proto_, &token), c.start);
    if (c.start == EFI_SUCCESS) {
      ASSERT_TRUE(host_.RunUntil([&] { return signalled_ > 0; }, 60 * kSecond));
      EXPECT_EQ(token.Status, c.end);
    } else {
      host_.RunUntil([] { return false; }, 5 * kSecond);
      EXPECT_EQ(signalled_, 0);
    }
    // The second block never reached the guard page (the test would have
    // died), and nothing was written before the buffer either.
    const size_t before = static_cast<size_t>(buffer - page.Base());
    const size_t checked = c.start == EFI_SUCCESS ? before : page.Page();
    for (size_t i = 0; i < checked; i++) {
      ASSERT_EQ(page.Base()[i], 0xEE) << "byte " << i << " of the page was written";
    }
  }
}

} // namespace
} // namespace zem4::test
