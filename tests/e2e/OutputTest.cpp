// Where `zem4 get -o` writes: nothing but a regular file is ever replaced. A
// symbolic link is written through, a FIFO, a character device (a "null"
// made in the test's directory) and standard output are written directly in
// file order; anything else is refused with exit 9 and left as it was. A
// full disk (a small tmpfs, or a file-size limit) and a closed pipe are exit
// 9 with their message, never a signal, and leave no temporary file.
#include "tests/e2e/Cli.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>

#include <thread>

namespace {

using namespace zem4::e2e;

class Output : public TempDirTest {
protected:
  void SetUp() override {
    TempDirTest::SetUp();
    if (IsSkipped())
      return;
    data_ = RandomBytes(3 * 1024 * 1024 + 77, 31);
    WriteFile(Root() / "f.bin", data_);
    server_ = std::make_unique<Daemon>(Root(), dir_);
  }
  void TearDown() override {
    server_.reset();
    TempDirTest::TearDown();
  }
  std::vector<std::string> GetArgs(const std::string &out, bool stream) {
    std::vector<std::string> args = {"get", "f.bin", "--server", server_->Address(), "-o", out};
    if (stream)
      args.push_back("--stream");
    return args;
  }
  mode_t Kind(const fs::path &p) {
    struct stat st {};
    EXPECT_EQ(::lstat(p.c_str(), &st), 0) << p;
    return st.st_mode & S_IFMT;
  }
  // Only these names in out/: no temporary file anywhere.
  void ExpectOnly(std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    EXPECT_EQ(Listing(Out()), names);
  }

  std::vector<uint8_t> data_;
  std::unique_ptr<Daemon> server_;
};

TEST_F(Output, ASymlinkIsWrittenThroughToItsFile) {
  for (bool stream : {false, true}) {
    SCOPED_TRACE(stream ? "stream" : "mapped");
    fs::create_directories(dir_ / "real");
    WriteFile(dir_ / "real" / "target.bin", {1, 2, 3});
    fs::create_symlink(dir_ / "real" / "target.bin", Out() / "link.bin");
    Result r = Run(GetArgs("link.bin", stream));
    EXPECT_EQ(r.code, kOk) << r.output;
    EXPECT_EQ(Kind(Out() / "link.bin"), S_IFLNK);
    EXPECT_EQ(ReadFile(dir_ / "real" / "target.bin"), data_);
    ExpectOnly({"link.bin"});
    EXPECT_EQ(Listing(dir_ / "real"), std::vector<std::string>{"target.bin"});
    fs::remove(Out() / "link.bin");
  }
}

TEST_F(Output, AFifoIsWrittenInFileOrderAndStaysAFifo) {
  ASSERT_EQ(::mkfifo((Out() / "pipe").c_str(), 0600), 0);
  std::vector<uint8_t> got;
  std::thread reader([&] { got = ReadFile(Out() / "pipe"); });
  Result r = Run(GetArgs("pipe", false));
  reader.join();
  EXPECT_EQ(r.code, kOk) << r.output;
  EXPECT_EQ(got, data_);
  EXPECT_EQ(Kind(Out() / "pipe"), S_IFIFO);
  ExpectOnly({"pipe"});
}

TEST_F(Output, ACharacterDeviceIsWrittenAndStaysADevice) {
  if (::mknod((Out() / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0)
    GTEST_SKIP() << "cannot make a device node here (not root?)";
  for (bool stream : {false, true}) {
    SCOPED_TRACE(stream ? "stream" : "mapped");
    Result r = Run(GetArgs("null", stream));
    EXPECT_EQ(r.code, kOk) << r.output;
    EXPECT_TRUE(Says(r.output, "SHA-256 verified"));
    EXPECT_EQ(Kind(Out() / "null"), S_IFCHR);
    ExpectOnly({"null"});
  }
}

// A block device too small for the file (a loop device over a 1 MiB image)
// is refused before anything is written to it.
TEST_F(Output, ABlockDeviceIsCheckedForRoomFirst) {
  const std::vector<uint8_t> image = RandomBytes(1 << 20, 5);
  WriteFile(dir_ / "disk.img", image);
  if (std::system(("cd " + dir_.string() + " && losetup -f --show disk.img >loop").c_str()))
    GTEST_SKIP() << "no loop device here";
  std::string device;
  std::ifstream(dir_ / "loop") >> device;
  Result r = Run(GetArgs(device, false));
  EXPECT_EQ(std::system(("losetup -d " + device).c_str()), 0);
  EXPECT_EQ(r.code, kLocalIo) << r.output;
  const std::string said = "no room for " + device + ": the device holds 1048576 bytes, the file";
  EXPECT_TRUE(Says(r.output, "zem4: " + said + " 3145805\n"));
  EXPECT_EQ(ReadFile(dir_ / "disk.img"), image);
}

TEST_F(Output, StandardOutputGetsTheDataAndProgressStaysOnStderr) {
  const fs::path captured = dir_ / "stdout.bin";
  auto p = Zem4(GetArgs("-", false), ProcessOptions{.stdoutPath = captured});
  EXPECT_EQ(p->Wait(), kOk) << p->Output();
  EXPECT_EQ(ReadFile(captured), data_);
  EXPECT_TRUE(Says(p->Output(), "f.bin: 100%"));
  EXPECT_TRUE(Says(p->Output(), "zem4: f.bin -> standard output: 3145805 bytes"));
  ExpectOnly({});
}

TEST_F(Output, ADanglingLinkOrASocketIsRefusedAndLeftAlone) {
  fs::create_symlink(dir_ / "nowhere", Out() / "dangling");
  Result r = Run(GetArgs("dangling", false));
  EXPECT_EQ(r.code, kLocalIo) << r.output;
  EXPECT_TRUE(Says(r.output, "zem4: dangling is a symbolic link to nothing; not replaced"));
  EXPECT_EQ(Kind(Out() / "dangling"), S_IFLNK);
  EXPECT_FALSE(fs::exists(dir_ / "nowhere"));

  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  std::string path = (Out() / "sock").string();
  ASSERT_LT(path.size(), sizeof sa.sun_path);
  std::copy(path.begin(), path.end(), sa.sun_path);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
  r = Run(GetArgs("sock", false));
  ::close(fd);
  EXPECT_EQ(r.code, kLocalIo) << r.output;
  EXPECT_TRUE(Says(r.output, "zem4: sock is not a regular file, device or FIFO; not replaced"));
  EXPECT_EQ(Kind(Out() / "sock"), S_IFSOCK);
  ExpectOnly({"dangling", "sock"});
}

// A closed pipe on standard output: one line and exit 9 (SIGPIPE is
// ignored), and the server hears that the client gave up.
TEST_F(Output, AClosedPipeIsExitNineWithOneLine) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[0]); // nobody will read
  std::vector<std::string> args = GetArgs("-", false);
  args.push_back("-q");
  auto p = Zem4(args, ProcessOptions{.stdoutFd = fds[1]});
  ::close(fds[1]);
  EXPECT_EQ(p->Wait(), kLocalIo) << p->Output();
  EXPECT_EQ(p->Output(), "zem4: cannot write to standard output: Broken pipe\n");
  EXPECT_TRUE(server_->WaitForTransfer("f.bin", "client error 3: User cancelled download"))
      << server_->Proc().Output();
}

struct FullCase {
  const char *name;
  bool tmpfs; // else a file-size limit
  bool stream;
  const char *message;
};

void PrintTo(const FullCase &c, std::ostream *os) {
  *os << c.name;
}

class FullDisk : public Output, public ::testing::WithParamInterface<FullCase> {
protected:
  void TearDown() override {
    if (mounted_)
      ::umount2(Target().c_str(), MNT_DETACH);
    Output::TearDown();
  }
  fs::path Target() const { return Out() / "small"; }
  bool mounted_ = false;
};

TEST_P(FullDisk, IsExitNineWithItsMessageAndNothingLeft) {
  const FullCase &c = GetParam();
  fs::create_directories(Target());
  ProcessOptions options;
  if (c.tmpfs) {
    if (::mount("tmpfs", Target().c_str(), "tmpfs", 0, "size=1m") != 0)
      GTEST_SKIP() << "cannot mount a tmpfs here";
    mounted_ = true;
  } else {
    options.fileSizeLimit = 1024 * 1024;
  }
  auto p = Zem4(GetArgs("small/f.bin", c.stream), options);
  EXPECT_EQ(p->Wait(), kLocalIo) << p->Output();
  EXPECT_TRUE(Says(p->Output(), std::string("zem4: ") + c.message));
  EXPECT_TRUE(Listing(Target()).empty()) << Listing(Target()).front();
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, FullDisk,
    ::testing::Values(
        FullCase{"TmpfsMapped", true, false, "no room for small/f.bin: No space left on device"},
        FullCase{"TmpfsStream", true, true, "cannot write to small/f.bin: No space left on device"},
        FullCase{"LimitMapped", false, false, "no room for small/f.bin: File too large"},
        FullCase{"LimitStream", false, true, "cannot write to small/f.bin: File too large"}),
    [](const ::testing::TestParamInfo<FullCase> &info) { return std::string(info.param.name); });

} // namespace
