// The driver images against zem4d over loopback: `zem4 get --driver IMAGE`
// runs the X64 image in the 64-bit command line and hands the IA32 image to
// the 32-bit runner (zem4-32). Whole files compared byte for byte, a
// multicast group with a late joiner, the image refused when it is damaged.
// Waits are for events (a line of output, a process ending); a generous kill
// timer only keeps a broken build from hanging.
#include "tests/e2e/Cli.h"
#include "tests/images/DriverImages.h"

#include <ostream>

namespace {

using namespace zem4::e2e;

struct ImageKind {
  const char *name;
  const char *path;
};
void PrintTo(const ImageKind &kind, std::ostream *os) {
  *os << kind.name;
}

class ImageEndToEnd : public ::testing::TestWithParam<ImageKind> {
protected:
  void SetUp() override {
    const bool require = std::getenv("ZEM4_REQUIRE_IMAGES") != nullptr;
    if (!fs::exists(kCli) || !fs::exists(kDaemon) || !fs::exists(GetParam().path)) {
      if (require && fs::exists(kCli)) {
        FAIL() << "missing: " << kCli << " " << kDaemon << " " << GetParam().path;
      }
      GTEST_SKIP() << "zem4, zem4d or the " << GetParam().name << " image not built";
    }
    dir_ = fs::temp_directory_path() /
           ("zem4-image-e2e-" + std::to_string(::getpid()) + "-" + GetParam().name);
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "root");
    fs::create_directories(dir_ / "out");
  }
  void TearDown() override {
    server_.reset();
    if (!HasFailure() && !dir_.empty()) {
      fs::remove_all(dir_);
    }
  }

  void StartServer(std::vector<std::string> extra = {}) {
    server_ = std::make_unique<Daemon>(dir_ / "root", dir_, std::move(extra));
    server_addr_ = server_->Address();
    ASSERT_FALSE(server_addr_.empty());
  }

  std::unique_ptr<Process> Get(const std::string &file, std::vector<std::string> extra,
                               const std::string &image = "") {
    std::vector<std::string> args = {kCli,
                                     "get",
                                     file,
                                     "--server",
                                     server_addr_,
                                     "--driver",
                                     image.empty() ? GetParam().path : image};
    args.insert(args.end(), extra.begin(), extra.end());
    return std::make_unique<Process>(args, dir_ / "out");
  }

  // The command said which image it ran, and that machine is the image's.
  void ExpectRanTheImage(const Process &p) {
    EXPECT_NE(p.Output().find(std::string("running the ") + GetParam().name + " driver image"),
              std::string::npos)
        << p.Output();
  }

  fs::path dir_;
  std::unique_ptr<Daemon> server_;
  std::string server_addr_;
};

TEST_P(ImageEndToEnd, UnicastFilesArriveWhole) {
  const std::vector<std::pair<std::string, size_t>> files = {
      {"empty.bin", 0}, {"odd.bin", 1033}, {"big.bin", 3 << 20}};
  for (auto &[name, size] : files) {
    WriteFile(dir_ / "root" / name, RandomBytes(size, static_cast<uint32_t>(size)));
  }
  StartServer();
  for (auto &[name, size] : files) {
    SCOPED_TRACE(name);
    auto p = Get(name, {"--station", "127.0.0.2"});
    ASSERT_EQ(p->Wait(), 0) << p->Output();
    ExpectRanTheImage(*p);
    EXPECT_NE(p->Output().find("SHA-256 verified"), std::string::npos) << p->Output();
    EXPECT_EQ(ReadFile(dir_ / "out" / name), ReadFile(dir_ / "root" / name));
  }
  auto s = Get("big.bin", {"--station", "127.0.0.3", "--stream", "--out", "streamed.bin"});
  ASSERT_EQ(s->Wait(), 0) << s->Output();
  EXPECT_EQ(ReadFile(dir_ / "out" / "streamed.bin"), ReadFile(dir_ / "root" / "big.bin"));
}

TEST_P(ImageEndToEnd, MulticastGroupWithALateJoiner) {
  WriteFile(dir_ / "root" / "m.bin", RandomBytes(4 << 20, 9));
  StartServer();
  std::vector<std::unique_ptr<Process>> clients;
  for (int i = 0; i < 2; ++i) {
    fs::create_directories(dir_ / "out" / std::to_string(i));
    clients.push_back(Get("m.bin", {"--multicast", "--station", "127.0.0." + std::to_string(21 + i),
                                    "--out", std::to_string(i) + "/m.bin"}));
  }
  ASSERT_TRUE(clients[0]->WaitFor(std::regex("m\\.bin \\(multicast\\): ([3-9][0-9]|100)%")))
      << clients[0]->Output();
  fs::create_directories(dir_ / "out" / "2");
  clients.push_back(Get("m.bin", {"--multicast", "--station", "127.0.0.23", "--out", "2/m.bin"}));
  const auto original = ReadFile(dir_ / "root" / "m.bin");
  for (size_t i = 0; i < clients.size(); ++i) {
    SCOPED_TRACE("client " + std::to_string(i));
    EXPECT_EQ(clients[i]->Wait(), 0) << clients[i]->Output();
    ExpectRanTheImage(*clients[i]);
    EXPECT_EQ(ReadFile(dir_ / "out" / std::to_string(i) / "m.bin"), original);
  }
}

TEST_P(ImageEndToEnd, ADamagedImageIsRefusedAndNothingIsWritten) {
  WriteFile(dir_ / "root" / "f.bin", RandomBytes(5000, 3));
  StartServer();
  std::vector<uint8_t> image = ReadFile(GetParam().path);
  ASSERT_GT(image.size(), 0x200u);
  image.resize(image.size() - 100); // the last section loses its end
  WriteFile(dir_ / "cut.efi", image);
  auto p = Get("f.bin", {"--station", "127.0.0.4"}, (dir_ / "cut.efi").string());
  EXPECT_EQ(p->Wait(), 10) << p->Output(); // driver or firmware failure
  EXPECT_NE(p->Output().find("beyond the file"), std::string::npos) << p->Output();
  EXPECT_FALSE(fs::exists(dir_ / "out" / "f.bin"));
}

// Ctrl-C of a flowing download: the image's driver sends its ERROR (the
// command refused a block), zem4d ends the transfer on it, nothing is left,
// and the next download from that address is served though the server
// allows two transfers per address (query and download) and waits a minute
// for silent ones.
TEST_P(ImageEndToEnd, InterruptTellsTheServer) {
  WriteFile(dir_ / "root" / "c.bin", RandomBytes(8 << 20, 5));
  WriteFile(dir_ / "root" / "n.bin", RandomBytes(3000, 6));
  StartServer({"--max-per-client", "2", "--idle-timeout", "60"});
  auto p = Get("c.bin", {"--station", "127.0.0.5"});
  ASSERT_TRUE(p->WaitFor(std::regex("c\\.bin: [1-9][0-9]%"))) << p->Output();
  ASSERT_EQ(::kill(p->Pid(), SIGINT), 0);
  EXPECT_EQ(p->Wait(), kInterrupt) << p->Output();
  ExpectRanTheImage(*p);
  EXPECT_TRUE(Listing(dir_ / "out").empty());
  EXPECT_TRUE(server_->WaitForTransfer("c.bin", "client error 3: User cancelled download"))
      << server_->Proc().Output();
  EXPECT_EQ(server_->ActiveClients(), 0) << server_->Proc().Output();
  // Two per address: the query before a download may still be ending when
  // the download's request arrives; a transfer held for the stopped client
  // makes three and keeps the address busy past the one try more.
  auto next = Get("n.bin", {"--station", "127.0.0.5", "--retries", "1"});
  EXPECT_EQ(next->Wait(), kOk) << next->Output() << server_->Proc().Output();
  EXPECT_EQ(ReadFile(dir_ / "out" / "n.bin"), ReadFile(dir_ / "root" / "n.bin"));
}

// -q: nothing at all on success, not even the line that names the image.
TEST_P(ImageEndToEnd, QuietIsSilent) {
  WriteFile(dir_ / "root" / "q.bin", RandomBytes(5000, 7));
  StartServer();
  auto p = Get("q.bin", {"--station", "127.0.0.6", "-q"});
  EXPECT_EQ(p->Wait(), kOk) << p->Output();
  EXPECT_EQ(p->Output(), "");
  EXPECT_EQ(ReadFile(dir_ / "out" / "q.bin"), ReadFile(dir_ / "root" / "q.bin"));
}

INSTANTIATE_TEST_SUITE_P(Images, ImageEndToEnd,
                         ::testing::Values(ImageKind{"X64", zem4::test::kX64ImagePath},
                                           ImageKind{"IA32", zem4::test::kIa32ImagePath}),
                         [](const ::testing::TestParamInfo<ImageKind> &info) {
                           return std::string(info.param.name);
                         });

} // namespace
