// Serving files from a root directory: what is refused, what is read.
#include "server/engine/FileSource.h"
#include "server/engine/Schedule.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zem4::server {
namespace {

namespace fs = std::filesystem;

class DirectorySourceTest : public ::testing::Test {
protected:
  void SetUp() override {
    char Template[] = "/tmp/zem4-root-XXXXXX";
    ASSERT_NE(mkdtemp(Template), nullptr);
    Base = Template;
    Root = Base / "root";
    fs::create_directories(Root / "sub");
    Write(Root / "file.bin", "hello world");
    Write(Root / "sub" / "inner.txt", std::string(3000, 'x'));
    Write(Base / "secret", "outside");
    fs::create_symlink("file.bin", Root / "link-in");
    fs::create_symlink("../secret", Root / "link-out");
    fs::create_symlink("/etc/hostname", Root / "link-abs");
    fs::create_directory_symlink("sub", Root / "dirlink");
    ASSERT_EQ(mkfifo((Root / "fifo").c_str(), 0600), 0);
  }
  void TearDown() override { fs::remove_all(Base); }
  static void Write(const fs::path &P, const std::string &Text) {
    std::ofstream(P, std::ios::binary) << Text;
  }

  fs::path Base, Root;
};

TEST_F(DirectorySourceTest, RefusesEverythingOutsideTheRootAndNonRegularFiles) {
  DirectoryFileSource S(Root.string());
  EXPECT_EQ(S.Open("missing").Error, OpenError::NotFound);
  EXPECT_EQ(S.Open("sub/missing").Error, OpenError::NotFound);
  EXPECT_EQ(S.Open("file.bin/x").Error, OpenError::NotFound);
  EXPECT_EQ(S.Open("").Error, OpenError::NotFound);
  EXPECT_EQ(S.Open("/etc/hostname").Error, OpenError::AccessDenied);
  EXPECT_EQ(S.Open("../secret").Error, OpenError::AccessDenied);
  EXPECT_EQ(S.Open("sub/../file.bin").Error, OpenError::AccessDenied);
  EXPECT_EQ(S.Open("link-out").Error, OpenError::AccessDenied);
  EXPECT_EQ(S.Open("link-abs").Error, OpenError::AccessDenied);
  EXPECT_EQ(S.Open("sub").Error, OpenError::AccessDenied); // directory
  EXPECT_EQ(S.Open(".").Error, OpenError::AccessDenied);
  EXPECT_EQ(S.Open("fifo").Error, OpenError::AccessDenied); // and no hang opening it
}

TEST_F(DirectorySourceTest, ServesRegularFilesAndLinksThatStayInside) {
  DirectoryFileSource S(Root.string());
  auto F = S.Open("file.bin");
  ASSERT_EQ(F.Error, OpenError::None);
  EXPECT_EQ(F.File->Size(), 11u);
  std::vector<uint8_t> Out(5);
  ASSERT_TRUE(F.File->ReadAt(6, Out));
  EXPECT_EQ(std::string(Out.begin(), Out.end()), "world");
  EXPECT_FALSE(F.File->ReadAt(7, Out)); // past the end
  auto L = S.Open("link-in");
  ASSERT_EQ(L.Error, OpenError::None);
  EXPECT_EQ(L.File->Id(), F.File->Id()); // one file, one group
  EXPECT_EQ(S.Open("dirlink/inner.txt").Error, OpenError::None);
  EXPECT_EQ(S.Open("./sub/inner.txt").Error, OpenError::None);
}

// Waits (bounded) for the source's worker to finish the digest of F.
DigestResult DigestWhenReady(DirectoryFileSource &S, OpenFile &F) {
  DigestResult D = F.Digest();
  for (int I = 0; I < 1000 && D.Status == DigestResult::State::Pending; ++I) {
    usleep(10'000);
    D = F.Digest();
  }
  (void)S;
  return D;
}

TEST_F(DirectorySourceTest, DigestIsComputedAwayFromTheCallerAndCachedUntilTheFileChanges) {
  DirectoryFileSource S(Root.string());
  std::atomic<int> Told{0};
  S.SetDigestReadyHook([&](const FileId &) { ++Told; });
  auto F = S.Open("file.bin");
  // SHA-256("hello world")
  const std::string Known = "b94d27b9934d3e08a52e52d7da7dabfac484efe37a5380ee9088f7ace2efcde9";
  EXPECT_EQ(F.File->Digest().Status, DigestResult::State::Pending);
  EXPECT_EQ(DigestWhenReady(S, *F.File).Hex, Known);
  EXPECT_EQ(Told, 1);
  auto Again = S.Open("link-in").File->Digest();
  EXPECT_EQ(Again.Status, DigestResult::State::Ready); // same file, from the cache
  EXPECT_EQ(Again.Hex, Known);
  Write(Root / "file.bin", "hello there, world");
  // The open file no longer matches what it would send: no digest.
  EXPECT_EQ(F.File->Digest().Status, DigestResult::State::Unavailable);
  auto G = S.Open("file.bin");
  EXPECT_EQ(DigestWhenReady(S, *G.File).Hex,
            Sha256Hex(std::span<const uint8_t>(
                reinterpret_cast<const uint8_t *>("hello there, world"), 18)));
}

TEST_F(DirectorySourceTest, NoDigestAboveTheLimitAndStoppingAbandonsOne) {
  DirectoryFileSource Small(Root.string(), 11);
  EXPECT_NE(Small.Open("file.bin").File->Digest().Status, DigestResult::State::Unavailable);
  EXPECT_EQ(Small.Open("sub/inner.txt").File->Digest().Status, DigestResult::State::Unavailable);
  // A 64 GiB sparse file: stopping does not wait for its digest.
  { std::ofstream(Root / "huge"); }
  ASSERT_EQ(truncate((Root / "huge").c_str(), off_t{64} << 30), 0);
  DirectoryFileSource S(Root.string(), uint64_t{1} << 40);
  auto H = S.Open("huge");
  ASSERT_EQ(H.Error, OpenError::None);
  EXPECT_EQ(H.File->Digest().Status, DigestResult::State::Pending);
  S.StopDigests();
  EXPECT_EQ(H.File->Digest().Status, DigestResult::State::Unavailable);
}

// True once Pid sleeps in the kernel waiting for a FIFO's other end.
bool BlockedOnFifo(pid_t Pid) {
  std::ifstream W("/proc/" + std::to_string(Pid) + "/wchan");
  std::string Where;
  W >> Where;
  return Where.find("fifo") != std::string::npos || Where.find("pipe") != std::string::npos ||
         Where.find("partner") != std::string::npos;
}

TEST_F(DirectorySourceTest, AFifoIsRefusedWithoutBeingOpened) {
  DirectoryFileSource S(Root.string());
  pid_t Writer = fork();
  if (Writer == 0) {
    int Fd = ::open((Root / "fifo").c_str(), O_WRONLY); // blocks until a reader opens
    _exit(Fd >= 0 ? 0 : 1);
  }
  ASSERT_GT(Writer, 0);
  for (int I = 0; I < 500 && !BlockedOnFifo(Writer); ++I) {
    usleep(10'000);
  }
  ASSERT_TRUE(BlockedOnFifo(Writer));
  EXPECT_EQ(S.Open("fifo").Error, OpenError::AccessDenied);
  usleep(50'000);
  int Status = 0;
  EXPECT_EQ(waitpid(Writer, &Status, WNOHANG), 0) << "the writer was woken by our open";
  kill(Writer, SIGKILL);
  waitpid(Writer, &Status, 0);
}

TEST_F(DirectorySourceTest, OnlyFilesEveryoneMayReadAreServedEvenAsRoot) {
  DirectoryFileSource S(Root.string());
  for (mode_t Mode : {0000, 0600, 0640, 0604}) {
    SCOPED_TRACE(Mode);
    ASSERT_EQ(chmod((Root / "file.bin").c_str(), Mode), 0);
    EXPECT_EQ(S.Open("file.bin").Error,
              (Mode & S_IROTH) ? OpenError::None : OpenError::AccessDenied);
  }
}

TEST(NameCheck, AbsoluteAndParentComponents) {
  EXPECT_EQ(CheckRequestName("a/b/c"), OpenError::None);
  EXPECT_EQ(CheckRequestName("a..b"), OpenError::None);
  EXPECT_EQ(CheckRequestName("..a"), OpenError::None);
  EXPECT_EQ(CheckRequestName("a/.."), OpenError::AccessDenied);
  EXPECT_EQ(CheckRequestName("../a"), OpenError::AccessDenied);
  EXPECT_EQ(CheckRequestName("/a"), OpenError::AccessDenied);
  EXPECT_EQ(CheckRequestName(""), OpenError::NotFound);
}

TEST(Blocks, CountsLengthsAndSchedules) {
  EXPECT_EQ(BlockCount(0), 1u);
  EXPECT_EQ(BlockCount(1031), 1u);
  EXPECT_EQ(BlockCount(1032), 2u); // the last one empty
  EXPECT_EQ(BlockCount(1033), 2u);
  EXPECT_EQ(BlockLength(1032, 1), 1032u);
  EXPECT_EQ(BlockLength(1032, 2), 0u);
  EXPECT_EQ(BlockLength(1040, 2), 8u);
  EXPECT_EQ(BlockLength(0, 1), 0u);

  std::vector<BlockRange> Listed{{9, 12}, {0, 2}, {11, 15}, {16, 16}, {18, 0xFFFFFFFF}, {7, 5}};
  auto S = PassSchedule::FromRanges(Listed, 20);
  EXPECT_EQ(S.Ranges(), (std::vector<BlockRange>{{1, 2}, {9, 16}, {18, 20}}));
  EXPECT_EQ(S.Count(), 13u);
  EXPECT_EQ(S.BlockAt(1), 1u);
  EXPECT_EQ(S.BlockAt(3), 9u);
  EXPECT_EQ(S.BlockAt(10), 16u);
  EXPECT_EQ(S.BlockAt(11), 18u);
  EXPECT_EQ(S.BlockAt(13), 20u);
  // Nothing that exists: the last block alone.
  auto Empty = PassSchedule::FromRanges(std::vector<BlockRange>{{21, 0xFFFFFFFF}}, 20);
  EXPECT_EQ(Empty.Ranges(), (std::vector<BlockRange>{{20, 20}}));
  EXPECT_EQ(PassSchedule::WholeFile(5).BlockAt(5), 5u);
}

} // namespace
} // namespace zem4::server
