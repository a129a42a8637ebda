// What a person sees: on a pseudo-terminal 40 or 200 columns wide no line of
// progress wraps; TERM=dumb and pipes get plain lines without escapes; a
// silent server is announced at once ("waiting for ADDR:PORT…") and named
// with the file when it times out; "(multicast)" only when the server
// answered by multicast; -q prints nothing but errors and --log error only
// the driver's error lines; names work for --server and --station may be
// left out.
#include "tests/e2e/Cli.h"

namespace {

using namespace zem4::e2e;

// What a terminal shows: the text between carriage returns and line feeds,
// with control sequences (ESC [ ... final) taken out.
std::vector<std::string> ScreenSegments(const std::string &raw) {
  std::vector<std::string> out(1);
  for (size_t i = 0; i < raw.size(); ++i) {
    char c = raw[i];
    if (c == '\x1b' && i + 1 < raw.size() && raw[i + 1] == '[') {
      i += 2;
      while (i < raw.size() && !(raw[i] >= 0x40 && raw[i] <= 0x7e))
        ++i;
      continue;
    }
    if (c == '\r' || c == '\n') {
      out.emplace_back();
      continue;
    }
    out.back() += c;
  }
  return out;
}

// Columns taken: one per UTF-8 character.
size_t Columns(const std::string &text) {
  return size_t(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

class Terminal : public TempDirTest {
protected:
  void StartServer(std::vector<std::string> extra = {}) {
    server_ = std::make_unique<Daemon>(Root(), dir_, std::move(extra));
  }
  void TearDown() override {
    server_.reset();
    TempDirTest::TearDown();
  }
  std::unique_ptr<Daemon> server_;
};

class TerminalWidth : public Terminal, public ::testing::WithParamInterface<unsigned> {};

TEST_P(TerminalWidth, NoLineWraps) {
  const unsigned columns = GetParam();
  WriteFile(Root() / "a-rather-long-file-name.bin", RandomBytes(4 << 20, 41));
  StartServer();
  auto p = Zem4({"get", "a-rather-long-file-name.bin", "--server", server_->Address()},
                ProcessOptions{.ptyColumns = columns, .env = {"TERM=xterm"}});
  ASSERT_EQ(p->Wait(), kOk) << p->Output();
  EXPECT_EQ(ReadFile(Out() / "a-rather-long-file-name.bin"),
            ReadFile(Root() / "a-rather-long-file-name.bin"));
  size_t progress = 0, bars = 0;
  for (const std::string &segment : ScreenSegments(p->Output())) {
    if (segment.find("zem4: ") == 0)
      continue; // messages may wrap like any text; progress lines may not
    EXPECT_LT(Columns(segment), columns) << "[" << segment << "]";
    progress += segment.find('%') != std::string::npos;
    bars += segment.find("] ") != std::string::npos && segment.find("MiB/s") != std::string::npos;
  }
  EXPECT_GT(progress, 0u) << p->Output();
  if (columns >= 100) {
    EXPECT_GT(bars, 0u) << p->Output(); // room for the whole line
  }
  EXPECT_TRUE(Says(p->Output(), "\x1b["));
}

INSTANTIATE_TEST_SUITE_P(Columns, TerminalWidth, ::testing::Values(40u, 200u));

TEST_F(Terminal, DumbTerminalsAndPipesGetPlainLines) {
  WriteFile(Root() / "f.bin", RandomBytes(2 << 20, 42));
  StartServer();
  std::vector<std::string> args = {"get", "f.bin", "--server", server_->Address()};
  for (bool pty : {true, false}) {
    SCOPED_TRACE(pty ? "TERM=dumb" : "pipe");
    ProcessOptions options;
    if (pty)
      options = ProcessOptions{.ptyColumns = 80, .env = {"TERM=dumb"}};
    auto p = Zem4(args, options);
    EXPECT_EQ(p->Wait(), kOk) << p->Output();
    EXPECT_EQ(p->Output().find('\x1b'), std::string::npos) << p->Output();
    EXPECT_TRUE(Says(p->Output(), "f.bin: 100% 2.0 MiB of 2.0 MiB"));
    EXPECT_TRUE(Says(p->Output(), "zem4: waiting for " + server_->Address() + "\u2026"));
  }
}

TEST_F(Terminal, ASilentServerIsAnnouncedAndNamedWithTheFile) {
  ScriptedServer silent({});
  const std::string address = silent.Address();
  auto p = Zem4({"get", "x.bin", "--server", address, "--timeout", "2"},
                ProcessOptions{.ptyColumns = 80, .env = {"TERM=xterm"}});
  EXPECT_EQ(p->Wait(), kTimeout) << p->Output();
  const std::string &out = p->Output();
  size_t waiting = out.find("zem4: waiting for " + address + "\u2026");
  size_t gaveUp = out.find("zem4: no answer from " + address + " for x.bin");
  EXPECT_NE(waiting, std::string::npos) << out;
  EXPECT_NE(gaveUp, std::string::npos) << out;
  EXPECT_LT(waiting, gaveUp);
  EXPECT_TRUE(Listing(Out()).empty());
}

TEST_F(Terminal, MulticastIsShownOnlyWhenTheServerAnsweredByGroup) {
  WriteFile(Root() / "m.bin", RandomBytes(1 << 20, 43));
  StartServer({"--no-multicast"});
  Result r = Run({"get", "m.bin", "--server", server_->Address(), "--multicast"});
  EXPECT_EQ(r.code, kOk) << r.output;
  EXPECT_TRUE(Says(r.output, "m.bin: 100%"));
  EXPECT_EQ(r.output.find("(multicast)"), std::string::npos) << r.output;
  EXPECT_EQ(r.output.find("falling back"), std::string::npos) << r.output;
  EXPECT_EQ(ReadFile(Out() / "m.bin"), ReadFile(Root() / "m.bin"));
}

TEST_F(Terminal, QuietPrintsOnlyErrors) {
  WriteFile(Root() / "q.bin", RandomBytes(100000, 44));
  StartServer();
  for (unsigned columns : {0u, 80u}) {
    SCOPED_TRACE(columns ? "terminal" : "pipe");
    ProcessOptions options{.ptyColumns = columns, .env = {"TERM=xterm"}};
    auto ok = Zem4({"get", "q.bin", "--server", server_->Address(), "-q", "-o", "q2.bin"}, options);
    EXPECT_EQ(ok->Wait(), kOk);
    EXPECT_EQ(ok->Output(), "");
    auto missing = Zem4({"get", "nope.bin", "--server", server_->Address(), "-q"}, options);
    EXPECT_EQ(missing->Wait(), kNotFound);
    EXPECT_EQ(ScreenSegments(missing->Output())[0], "zem4: server error 1: File not found")
        << missing->Output();
  }
  EXPECT_EQ(ReadFile(Out() / "q2.bin"), ReadFile(Root() / "q.bin"));
}

struct LogCase {
  const char *level;
  bool showsNotice;
};

TEST_F(Terminal, LogLevelsShowWhatTheyName) {
  StartServer();
  for (LogCase c : {LogCase{"off", false}, LogCase{"error", false}, LogCase{"notice", true}}) {
    SCOPED_TRACE(c.level);
    Result r = Run({"get", "nope.bin", "--server", server_->Address(), "--log", c.level});
    EXPECT_EQ(r.code, kNotFound) << r.output;
    EXPECT_EQ(r.output.find("zem4: driver: Zem4RrqInitRcvError: received an error packet(1) "
                            "from server\n") != std::string::npos,
              c.showsNotice)
        << r.output;
    // The driver's own unbinding is narrated at the error level; it is no
    // failure and never shown.
    EXPECT_EQ(r.output.find("DriverBindingStop"), std::string::npos) << r.output;
    EXPECT_EQ(Count(r.output, "zem4: driver: "), c.showsNotice ? 1u : 0u) << r.output;
  }
}

TEST_F(Terminal, HelpExplainsGaps) {
  Result r = Run({"get", "--help"});
  EXPECT_EQ(r.code, kOk);
  EXPECT_TRUE(Says(r.output, "\"gaps\" counts the blocks of the file that arrived after a later"));
}

TEST_F(Terminal, ServerByNameAndStationFromTheRoute) {
  WriteFile(Root() / "n.bin", RandomBytes(50000, 45));
  StartServer();
  const std::string port = server_->Address().substr(server_->Address().find(':') + 1);
  Result r = Run({"get", "n.bin", "--server", "localhost:" + port});
  EXPECT_EQ(r.code, kOk) << r.output;
  EXPECT_EQ(ReadFile(Out() / "n.bin"), ReadFile(Root() / "n.bin"));
  EXPECT_TRUE(server_->WaitForTransfer("n.bin", "complete"));
  EXPECT_TRUE(Says(server_->Proc().Output(), "client=127.0.0.1:"));

  Result bad = Run({"get", "n.bin", "--server", "no-such-host.invalid:" + port});
  EXPECT_EQ(bad.code, kUsage) << bad.output;
  EXPECT_TRUE(Says(bad.output, "zem4: --server: cannot resolve no-such-host.invalid"));

  // Numbers the resolver would read its own way (octal, short and hex forms,
  // one number) are refused, not resolved: "127.1" would reach this server.
  for (const char *numeric : {"127.1", "0127.0.0.1", "0x7f.0.0.1", "2130706433", "127.0.0.01."}) {
    Result refused = Run({"get", "n.bin", "--server", std::string(numeric) + ":" + port});
    EXPECT_EQ(refused.code, kUsage) << numeric << ": " << refused.output;
    EXPECT_TRUE(
        Says(refused.output, std::string("zem4: --server is not an IPv4 address: ") + numeric));
  }
}

} // namespace
