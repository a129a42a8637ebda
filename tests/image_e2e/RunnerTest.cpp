// Where `zem4 get --driver IA32.efi` finds its 32-bit runner when nothing
// names one: beside zem4, then the optimised host32-release tree that
// scripts/demo.sh builds, then the host32 tree of the tests, each next to
// zem4's own build tree. A copy of zem4 is put in a build tree made in a
// temporary directory, with stand-in runners that record how they were
// called; with none there, the message names the places and what to set.
#include "tests/e2e/Cli.h"
#include "tests/images/DriverImages.h"

#include <sys/stat.h>

namespace {

using namespace zem4::e2e;

class RunnerLookup : public TempDirTest {
protected:
  void SetUp() override {
    TempDirTest::SetUp();
    if (IsSkipped())
      return;
    if (!fs::exists(ZEM4_IA32_IMAGE_PATH))
      GTEST_SKIP() << "no IA32 image";
    fs::create_directories(Tree() / "release" / "tools");
    fs::copy_file(kCli, Zem4Copy());
  }
  fs::path Tree() const { return dir_ / "build"; }
  fs::path Zem4Copy() const { return Tree() / "release" / "tools" / "zem4"; }
  // A runner that writes its name and arguments to calls.txt.
  void StandIn(const fs::path &path, const std::string &name) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << "#!/bin/sh\necho " << name << " \"$@\" >> " << (dir_ / "calls.txt")
                        << "\n";
    fs::permissions(path, fs::perms::owner_all);
  }
  Result Fetch() {
    Process p({Zem4Copy().string(), "get", "f.bin", "--driver", ZEM4_IA32_IMAGE_PATH, "--server",
               "127.0.0.1:9"},
              Out(), ProcessOptions{.env = {"ZEM4_RUNNER32="}});
    int code = p.Wait();
    return {code, p.Output()};
  }
  std::string Calls() {
    auto bytes = ReadFile(dir_ / "calls.txt");
    fs::remove(dir_ / "calls.txt");
    return std::string(bytes.begin(), bytes.end());
  }
};

TEST_F(RunnerLookup, PrefersTheReleaseRunnerThenTheTestOne) {
  const std::string args =
      std::string(" get f.bin --driver ") + ZEM4_IA32_IMAGE_PATH + " --server 127.0.0.1:9\n";
  StandIn(Tree() / "host32-release" / "tools" / "zem4-32", "release");
  StandIn(Tree() / "host32" / "tools" / "zem4-32", "sanitizer");
  Result r = Fetch();
  EXPECT_EQ(r.code, kOk) << r.output;
  EXPECT_EQ(Calls(), "release" + args);

  fs::remove(Tree() / "host32-release" / "tools" / "zem4-32");
  r = Fetch();
  EXPECT_EQ(r.code, kOk) << r.output;
  EXPECT_EQ(Calls(), "sanitizer" + args);

  fs::remove(Tree() / "host32" / "tools" / "zem4-32");
  r = Fetch();
  EXPECT_EQ(r.code, kDriver) << r.output;
  const fs::path tree = fs::canonical(Tree());
  for (const char *place : {"release", "host32-release", "host32"})
    EXPECT_NE(r.output.find((tree / place / "tools/zem4-32").string()), std::string::npos);
  EXPECT_NE(r.output.find("set ZEM4_RUNNER32 to their build/host32-release/tools/zem4-32"),
            std::string::npos)
      << r.output;
  EXPECT_FALSE(fs::exists(dir_ / "calls.txt"));
}

} // namespace
