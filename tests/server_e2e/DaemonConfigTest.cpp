// zem4d --config: the file's values take effect, --check-config answers a
// service manager in one line, and SIGHUP applies what may change.
#include "tests/server_e2e/DaemonHarness.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zem4::server::testing {
namespace {

class DaemonConfig : public DaemonFixture {
protected:
  void SetUp() override {
    DaemonFixture::SetUp();
    Conf = Root / "zem4d.conf";
    WriteFile("f.bin", Data);
  }

  // The fixture's arguments with the root and the log level left to the file.
  std::vector<std::string> ArgsWithoutRoot() {
    auto A = Args();
    for (const char *Key : {"--root", "--log-level"}) {
      auto It = std::find(A.begin(), A.end(), Key);
      A.erase(It, It + 2);
    }
    A.insert(A.end(), {"--config", Conf.string()});
    return A;
  }

  std::string RootKey(const fs::path &R) { return "root = \"" + R.string() + "\"\n"; }

  fs::path Conf;
  const Bytes Data = RandomBytes(30000, 21);
};

TEST_F(DaemonConfig, FileValuesTakeEffectAndTheCommandLineWins) {
  struct Case {
    const char *What;
    std::string File;
    std::vector<std::string> Extra;
    int Error; // -1: served whole
  };
  const Case Cases[] = {
      {"allow-list from the file", "allow = [\"10.0.0.0/8\", \"192.168.0.0/16\"]\n", {}, 2},
      {"a limit from the file", "max-per-client = 0\n", {}, ZEM4_ERR_NOT_READY},
      {"command line over the file", "allow = [\"10.0.0.0/8\"]\n", {"--allow", "127.0.0.0/8"}, -1},
      {"nothing but comments", "# allow = [\"10.0.0.0/8\"]\n\n  # indented\n", {}, -1},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(C.What);
    WriteConfig(Conf, C.File);
    auto A = Args();
    A.insert(A.end(), {"--config", Conf.string()});
    A.insert(A.end(), C.Extra.begin(), C.Extra.end());
    DaemonProcess D(A);
    const uint16_t Listen = D.WaitForPort();
    ASSERT_NE(Listen, 0) << D.Log;
    auto Got = Fetch(D, Listen, "f.bin");
    if (C.Error < 0) {
      ASSERT_TRUE(Got->Model.Complete()) << D.Log;
      EXPECT_EQ(Got->Model.Content(), Data);
    } else {
      EXPECT_EQ(Got->Model.Error(), C.Error) << D.Log;
    }
    EXPECT_EQ(D.Terminate(), 0) << D.Log;
  }
}

TEST_F(DaemonConfig, CheckConfigSaysOneLineAndExitsZeroOrTwo) {
  const std::string P = Conf.string();
  const std::string Bad = "zem4d: configuration error: ";
  struct Case {
    const char *What;
    std::string File; // after the root
    int Code;
    std::string Said; // all it prints
  };
  const Case Cases[] = {
      {"good", "allow = [\"127.0.0.0/8\"]\nmax-sessions = 8\n", 0,
       "zem4d: configuration ok: serving " + Root.string() + " on 127.0.0.1:0\n"},
      {"unknown key", "max-sesions = 8\n", 2, Bad + P + ": unknown key max-sesions\n"},
      {"a section", "[server]\nport = 1\n", 2, Bad + P + ": unknown section [server]\n"},
      {"a key twice", "window = 8\nwindow = 9\n", 2,
       Bad + "--window: At Most 1 required but received 2\n"},
      {"out of range", "window = 0\n", 2, Bad + "--window: Value 0 not in range 1 to 64\n"},
      {"not a network", "allow = [\"300.1.1.1/8\"]\n", 2,
       Bad + "--allow: not a network: 300.1.1.1/8\n"},
      {"group network not multicast", "mcast-net = \"10.0.0.0/8\"\n", 2,
       Bad + "--mcast-net must be a multicast network, e.g. 239.255.0.0/16\n"},
      {"bind address not here", "bind = \"192.0.2.1\"\n", 2,
       Bad + "--bind 192.0.2.1: no interface of this machine has that address\n"},
      {"root missing", "root = \"" + (Root / "absent").string() + "\"\n", 2,
       Bad + "cannot open root " + (Root / "absent").string() + ": No such file or directory\n"},
      {"no such user", "user = \"zem4-no-such-user\"\n", 2,
       Bad + "--user: no such user: zem4-no-such-user\n"},
      {"metrics not an address", "metrics = \"localhost:x\"\n", 2,
       Bad + "--metrics: not [ADDRESS:]PORT with an IPv4 address: localhost:x\n"},
      {"log target unknown", "log-target = \"kmsg\"\n", 2,
       Bad + "--log-target: kmsg not in {auto,stderr,journal,syslog}\n"},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(C.What);
    // A file that names the root before the case's keys (a later root wins).
    std::string Text = C.File.rfind("root", 0) == 0 ? C.File : RootKey(Root) + C.File;
    WriteConfig(Conf, Text);
    DaemonProcess D({"--port", "0", "--config", P, "--check-config"}, true);
    EXPECT_EQ(D.WaitExit(), C.Code) << D.Log;
    EXPECT_EQ(D.Log, C.Said);
  }
  DaemonProcess Missing({"--config", (Root / "absent.conf").string(), "--check-config"}, true);
  EXPECT_EQ(Missing.WaitExit(), 2);
  EXPECT_EQ(Missing.Log, Bad + (Root / "absent.conf").string() + " was not readable (missing?)\n");
}

TEST_F(DaemonConfig, SighupAppliesTheAllowListKeepsTheRootAndSurvivesABadFile) {
  const fs::path Other = Root / "other"; // a root without f.bin
  fs::create_directory(Other);
  const std::string Reloaded = "configuration reloaded from " + Conf.string() + ": ";
  WriteConfig(Conf, RootKey(Root) + "allow = [\"127.0.0.0/8\"]\n");
  DaemonProcess D(ArgsWithoutRoot());
  const uint16_t Listen = D.WaitForPort();
  ASSERT_NE(Listen, 0) << D.Log;
  ASSERT_TRUE(Fetch(D, Listen, "f.bin")->Model.Complete()) << D.Log;

  struct Step {
    const char *What;
    std::string File;
    std::string Line; // the one line the reload logs
    int Error;        // of the download that follows; -1: served whole
  };
  const Step Steps[] = {
      {"the allow-list shuts us out; the root waits for a restart",
       RootKey(Other) + "allow = [\"10.0.0.0/8\"]\n",
       Reloaded + "applied allow; kept until a restart: root", 2},
      {"a bad file changes nothing", "allow = [\"127.0.0.0/8\"]\nbogus = 1\n",
       "configuration reload from " + Conf.string() +
           " failed, running settings kept: " + Conf.string() + ": unknown key bogus",
       2},
      {"a value that does not parse changes nothing", "allow = [\"127.0.0.0/33\"]\n",
       "configuration reload from " + Conf.string() +
           " failed, running settings kept: --allow: not a network: 127.0.0.0/33",
       2},
      {"let in again, still from the running root",
       RootKey(Other) + "allow = [\"127.0.0.0/8\"]\nmax-sessions = 8\nlog-level = \"warn\"\n",
       Reloaded + "applied allow,log-level,max-sessions; kept until a restart: root", -1},
      {"the same file again",
       RootKey(Other) + "allow = [\"127.0.0.0/8\"]\nmax-sessions = 8\n"
                        "log-level = \"warn\"\n",
       Reloaded + "nothing changed; kept until a restart: root", -1},
  };
  for (const Step &S : Steps) {
    SCOPED_TRACE(S.What);
    WriteConfig(Conf, S.File);
    size_t Before = D.Log.size();
    kill(D.Pid, SIGHUP);
    ASSERT_TRUE(D.WaitForLine(S.Line)) << D.Log;
    EXPECT_EQ(D.Log.find(S.Line, Before), D.Log.rfind(S.Line)) << "one line per reload";
    auto Got = Fetch(D, Listen, "f.bin");
    if (S.Error < 0) {
      ASSERT_TRUE(Got->Model.Complete()) << D.Log;
      EXPECT_EQ(Got->Model.Content(), Data);
    } else {
      EXPECT_EQ(Got->Model.Error(), S.Error) << D.Log;
    }
  }
  // At "warn", the reloads that say so are still told, and the info lines
  // of the stop are not.
  EXPECT_NE(D.Log.find("[warning] " + Reloaded + "nothing changed"), std::string::npos) << D.Log;
  EXPECT_EQ(D.Terminate(), 0) << D.Log;
  EXPECT_EQ(D.Log.find("zem4d stopping:"), std::string::npos) << D.Log;
}

TEST_F(DaemonConfig, SighupWithoutConfigIsLoggedAndServingGoesOn) {
  DaemonProcess D(Args());
  const uint16_t Listen = D.WaitForPort();
  ASSERT_NE(Listen, 0) << D.Log;
  kill(D.Pid, SIGHUP);
  ASSERT_TRUE(
      D.WaitForLine("signal 1 (SIGHUP) received: started without --config, nothing to reload"))
      << D.Log;
  auto Got = Fetch(D, Listen, "f.bin");
  ASSERT_TRUE(Got->Model.Complete()) << D.Log;
  EXPECT_EQ(Got->Model.Content(), Data);
  EXPECT_EQ(D.Terminate(), 0) << D.Log;
}

// What /proc/PID/status says on the line that starts with Key ("" if none).
std::string StatusLine(pid_t Pid, const std::string &Key) {
  std::ifstream Status("/proc/" + std::to_string(Pid) + "/status");
  std::string Line;
  while (std::getline(Status, Line)) {
    if (Line.rfind(Key, 0) == 0) {
      return Line.substr(Key.size());
    }
  }
  return "";
}

// Whether Pid's signal mask holds both SIGHUP and SIGUSR1 (bit N-1 for signal N).
bool HoldsReloadAndStats(pid_t Pid) {
  const std::string Mask = StatusLine(Pid, "SigBlk:");
  const uint64_t Both = (uint64_t{1} << (SIGHUP - 1)) | (uint64_t{1} << (SIGUSR1 - 1));
  return !Mask.empty() && (std::stoull(Mask, nullptr, 16) & Both) == Both;
}

// zem4d itself (exec done), asleep: waiting for its configuration.
bool WaitingInZem4d(pid_t Pid) {
  return StatusLine(Pid, "Name:\t") == "zem4d" && StatusLine(Pid, "State:\t").rfind("S", 0) == 0;
}

// Writes Text into the FIFO at Path once a reader has it open; false if none
// came before Deadline.
bool FeedFifo(const fs::path &Path, const std::string &Text,
              std::chrono::steady_clock::time_point Deadline) {
  int Fd = -1;
  while ((Fd = open(Path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) < 0) {
    if (errno != ENXIO || std::chrono::steady_clock::now() > Deadline) {
      return false;
    }
    poll(nullptr, 0, 1);
  }
  const bool Whole = write(Fd, Text.data(), Text.size()) == static_cast<ssize_t>(Text.size());
  close(Fd);
  return Whole;
}

// A service manager may reload or ask for the totals the moment it has
// started us. The configuration is a FIFO, so zem4d waits in main, before its
// handlers exist, until we write it: the signals sent then wait and are
// answered once it serves (the reload reads the FIFO again).
TEST_F(DaemonConfig, SighupAndSigusr1BeforeTheHandlersWaitAndAreAnswered) {
  const fs::path Fifo = Root / "held.conf";
  ASSERT_EQ(mkfifo(Fifo.c_str(), 0600), 0) << strerror(errno);
  const std::string Text = "# nothing but the command line\n";
  auto A = Args();
  A.insert(A.end(), {"--config", Fifo.string()});
  for (int Run = 0; Run < 3; ++Run) {
    SCOPED_TRACE(Run);
    DaemonProcess D(A);
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!WaitingInZem4d(D.Pid) && std::chrono::steady_clock::now() < Deadline) {
      D.Drain(1);
    }
    ASSERT_TRUE(WaitingInZem4d(D.Pid)) << D.Log;
    EXPECT_TRUE(HoldsReloadAndStats(D.Pid)) << "SIGHUP and SIGUSR1 not held at the start";
    for (int I = 0; I < 4; ++I) {
      ASSERT_EQ(kill(D.Pid, SIGHUP), 0);
      ASSERT_EQ(kill(D.Pid, SIGUSR1), 0);
    }
    int Status = 0;
    ASSERT_EQ(waitpid(D.Pid, &Status, WNOHANG), 0)
        << "zem4d ended by signal " << (WIFSIGNALED(Status) ? WTERMSIG(Status) : 0);
    ASSERT_TRUE(FeedFifo(Fifo, Text, Deadline)) << D.Log;
    const uint16_t Listen = D.WaitForPort();
    ASSERT_NE(Listen, 0) << D.Log;
    ASSERT_TRUE(FeedFifo(Fifo, Text, Deadline)) << "no reload\n" << D.Log;
    ASSERT_TRUE(D.WaitForLine("configuration reloaded from " + Fifo.string())) << D.Log;
    ASSERT_TRUE(D.WaitForLine("stats: ")) << D.Log;
    auto Got = Fetch(D, Listen, "f.bin");
    ASSERT_TRUE(Got->Model.Complete()) << D.Log;
    EXPECT_EQ(Got->Model.Content(), Data);
    EXPECT_EQ(D.Terminate(), 0) << D.Log;
  }
}

} // namespace
} // namespace zem4::server::testing
