// --version of both programs as an administrator or a bug report reads it:
// one line on standard output naming the program, the version and the commit
// it was built from, the same for both (they are built from one tree).
#include "tests/e2e/Cli.h"

namespace {

using namespace zem4::e2e;

class Version : public TempDirTest {};

TEST_F(Version, BothProgramsPrintTheSameVersionAndCommit) {
  const std::regex line(R"(^(zem4d?) (\d+\.\d+\.\d+) \(commit ([0-9A-Za-z._-]+)\)\n$)");
  struct Case {
    const char *program;
    std::vector<std::string> args;
    const char *name;
  };
  const Case cases[] = {
      {kCli, {"--version"}, "zem4"},
      {kDaemon, {"--version"}, "zem4d"},
      // Options before --version do not change what it prints.
      {kDaemon, {"--port", "0", "--version"}, "zem4d"},
  };
  std::string seen; // "version commit" of the first program
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.program) + " " + c.args.front());
    std::vector<std::string> args = {c.program};
    args.insert(args.end(), c.args.begin(), c.args.end());
    // Standard output alone: a script reads the version from there.
    const fs::path stdoutPath = Out() / "stdout.txt";
    Process p(args, Out(), ProcessOptions{.stdoutPath = stdoutPath});
    EXPECT_EQ(p.Wait(), 0) << p.Output();
    EXPECT_EQ(p.Output(), "");
    const std::vector<uint8_t> bytes = ReadFile(stdoutPath);
    const std::string text(bytes.begin(), bytes.end());
    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, line)) << text;
    EXPECT_EQ(m[1].str(), c.name);
    const std::string versionAndCommit = m[2].str() + " " + m[3].str();
    if (seen.empty())
      seen = versionAndCommit;
    EXPECT_EQ(versionAndCommit, seen) << text;
  }
}

} // namespace
