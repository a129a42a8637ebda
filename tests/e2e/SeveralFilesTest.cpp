// `zem4 get A B C… -o DIR`: the files are fetched side by side, never more
// than four at once (the server here serves at most four transfers per
// client address and the command may not retry a busy answer), each arrives
// whole, each gets one line, and the exit code is that of the first failure
// in the order given.
#include "tests/e2e/Cli.h"

namespace {

using namespace zem4::e2e;

class SeveralFiles : public TempDirTest {
protected:
  void SetUp() override {
    TempDirTest::SetUp();
    if (IsSkipped())
      return;
    const std::vector<std::pair<std::string, size_t>> files = {
        {"a.bin", 2 << 20}, {"b.bin", 0},    {"c.bin", 1032},
        {"d.bin", 700000},  {"e.bin", 1033}, {"f.bin", 64 * 1032}};
    for (auto &[name, size] : files) {
      WriteFile(Root() / name, RandomBytes(size, uint32_t(size + name[0])));
      names_.push_back(name);
    }
    fs::create_directories(Out() / "dir");
    server_ =
        std::make_unique<Daemon>(Root(), dir_, std::vector<std::string>{"--max-per-client", "4"});
  }
  void TearDown() override {
    server_.reset();
    TempDirTest::TearDown();
  }
  Result Get(std::vector<std::string> files, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"get"};
    args.insert(args.end(), files.begin(), files.end());
    args.insert(args.end(), {"--server", server_->Address(), "--retries", "0"});
    args.insert(args.end(), extra.begin(), extra.end());
    return Run(args);
  }

  std::vector<std::string> names_;
  std::unique_ptr<Daemon> server_;
};

TEST_F(SeveralFiles, AllArriveWholeWithOneLineEach) {
  Result r = Get(names_, {"-o", "dir"});
  ASSERT_EQ(r.code, kOk) << r.output;
  for (const std::string &name : names_) {
    SCOPED_TRACE(name);
    EXPECT_EQ(ReadFile(Out() / "dir" / name), ReadFile(Root() / name));
    EXPECT_EQ(Count(r.output, "zem4: " + name + " -> dir/" + name + ": "), 1u) << r.output;
  }
  EXPECT_EQ(Count(r.output, "SHA-256 verified"), names_.size()) << r.output;
  EXPECT_EQ(Listing(Out() / "dir"), names_);
  EXPECT_EQ(r.output.find("busy"), std::string::npos) << r.output;
}

struct OrderCase {
  const char *name;
  std::vector<std::string> files;
  int code;
};

TEST_F(SeveralFiles, TheFirstFailureInArgumentOrderDecides) {
  const std::vector<OrderCase> cases = {
      {"missing first", {"a.bin", "nope.bin", "c.bin", "../x.bin", "d.bin"}, kNotFound},
      {"refused first", {"a.bin", "../x.bin", "c.bin", "nope.bin", "d.bin"}, kAccess},
  };
  for (const OrderCase &c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(Out() / "dir");
    fs::create_directories(Out() / "dir");
    Result r = Get(c.files, {"-o", "dir"});
    EXPECT_EQ(r.code, c.code) << r.output;
    EXPECT_TRUE(Says(r.output, "zem4: nope.bin: server error 1: File not found\n"));
    EXPECT_TRUE(Says(r.output, "zem4: ../x.bin: server error 2: Access violation\n"));
    // The others are fetched all the same, and only they are there.
    for (const char *name : {"a.bin", "c.bin", "d.bin"})
      EXPECT_EQ(ReadFile(Out() / "dir" / name), ReadFile(Root() / name)) << name;
    EXPECT_EQ(Listing(Out() / "dir"), (std::vector<std::string>{"a.bin", "c.bin", "d.bin"}));
  }
}

TEST_F(SeveralFiles, OutputMustBeADirectoryAndNamesMustNotCollide) {
  Result notDir = Get({"a.bin", "c.bin"}, {"-o", "one.bin"});
  EXPECT_EQ(notDir.code, kUsage) << notDir.output;
  EXPECT_TRUE(Says(notDir.output, "zem4: with several files, --out names a directory: one.bin"));
  Result stdoutToo = Get({"a.bin", "c.bin"}, {"-o", "-"});
  EXPECT_EQ(stdoutToo.code, kUsage) << stdoutToo.output;
  Result twice = Get({"a.bin", "sub/a.bin"}, {"-o", "dir"});
  EXPECT_EQ(twice.code, kUsage) << twice.output;
  EXPECT_TRUE(Says(twice.output, "zem4: two files would both be written to dir/a.bin"));
  EXPECT_TRUE(Listing(Out() / "dir").empty());
}

} // namespace
