// The image and the built-in library are the same driver: for one scenario
// they send the same datagrams at the same virtual times, give the same
// statuses and write the same diagnostic lines (both are built for this
// process's width, so even width-bound fields agree; only pointer values,
// which depend on where things were allocated, are masked). A fault sweep
// makes every Boot Services or UDP4 call of a download fail in turn under
// both.
#include "tests/common/EngineServer.h"
#include "tests/image_run/ImageRun.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

namespace zem4::test {
namespace {

constexpr host::Ipv4 kServer{127, 0, 9, 1};
constexpr host::Ipv4 kStation{127, 0, 9, 2};
constexpr uint16_t kScriptPort = 6900;

struct Outcome {
  std::vector<EFI_STATUS> statuses; // what the scenario's calls and tokens gave, in order
  std::vector<std::string> log;
  std::vector<std::string> wire; // "time src:port > dst:port hex"
  std::vector<std::string> leaks;
  Bytes received;
};

struct Scenario {
  const char *name;
  std::function<void(DriverHost &, Outcome &)> run;
};

// Pointers printed by the driver are addresses of this run's allocations.
std::string MaskPointers(const std::string &line) {
  static const std::regex kLongHex("[0-9A-Fa-f]{7,16}");
  return std::regex_replace(line, kLongHex, "<ptr>");
}

// Connects one controller and runs `t` to its end (or `limit`).
void RunOne(DriverHost &host, Transfer &t, Outcome &out, host::Time100ns limit) {
  t.controller = host.AddController(kStation);
  out.statuses.push_back(host.Connect(t.controller));
  t.station = kStation;
  t.server = kServer;
  const EFI_STATUS started = StartTransfer(host, t);
  out.statuses.push_back(started);
  if (!EFI_ERROR(started)) {
    host.RunUntil([&] { return t.signalled != 0; }, limit);
    out.statuses.push_back(t.signalled);
    out.statuses.push_back(t.token.Status);
    out.received = t.Received();
  }
  out.statuses.push_back(EndTransfer(host, t));
  out.statuses.push_back(host.Disconnect(t.controller));
  out.statuses.push_back(host.Unload());
}

Transfer EngineTransfer(const std::string &file, size_t size, bool stream) {
  Transfer t;
  t.serverPort = server::EngineConfig{}.ListenPort;
  t.file = file;
  t.stream = stream;
  t.bufferSize = size + 1;
  return t;
}

Transfer ScriptTransfer(size_t bufferSize) {
  Transfer t;
  t.serverPort = kScriptPort;
  t.file = "f";
  t.bufferSize = bufferSize;
  return t;
}

const Bytes &TheFile() {
  static const Bytes file = MakeFile(40 * 1032 + 123, 5);
  return file;
}

void Download(DriverHost &host, Outcome &out, bool stream, const Bytes &file = TheFile()) {
  EngineServer engine(host.Fw(), host.Net(), kServer);
  engine.Files().Add("f", file);
  Transfer t = EngineTransfer("f", file.size(), stream);
  RunOne(host, t, out, 120 * kSecond);
}

const Scenario kScenarios[] = {
    {"Download", [](DriverHost &h, Outcome &o) { Download(h, o, false); }},
    {"StreamDownload", [](DriverHost &h, Outcome &o) { Download(h, o, true); }},
    {"LossyDownload",
     [](DriverHost &h, Outcome &o) {
       host::FaultProfile rough;
       rough.loss = 0.1;
       rough.duplicate = 0.05;
       rough.reorder = 0.05;
       h.Net().SetDefaultProfile(rough);
       Download(h, o, false);
     }},
    {"MissingFile",
     [](DriverHost &h, Outcome &o) {
       EngineServer engine(h.Fw(), h.Net(), kServer);
       Transfer t = EngineTransfer("nothing-here", 100, false);
       RunOne(h, t, o, 60 * kSecond);
     }},
    {"SilentServer",
     [](DriverHost &h, Outcome &o) {
       Transfer t = ScriptTransfer(100);
       RunOne(h, t, o, 600 * kSecond);
     }},
    {"ServerError",
     [](DriverHost &h, Outcome &o) {
       ScriptedServer s(h.Net(), kServer, kScriptPort);
       s.ExpectMatching("request", [](const host::Datagram &) {
          return true;
        }).Reply(ErrorPacket(2, "Access violation"));
       Transfer t = ScriptTransfer(100);
       RunOne(h, t, o, 60 * kSecond);
     }},
    {"MalformedOack",
     [](DriverHost &h, Outcome &o) {
       ScriptedServer s(h.Net(), kServer, kScriptPort);
       s.ExpectMatching("request", [](const host::Datagram &) {
          return true;
        }).Reply(OackPacket({{"tsize", "12x"}}));
       Transfer t = ScriptTransfer(100);
       RunOne(h, t, o, 60 * kSecond);
     }},
    {"BufferTooSmall",
     [](DriverHost &h, Outcome &o) {
       EngineServer engine(h.Fw(), h.Net(), kServer);
       engine.Files().Add("f", TheFile());
       Transfer t = EngineTransfer("f", TheFile().size(), false);
       t.bufferSize = 5000;
       RunOne(h, t, o, 60 * kSecond);
     }},
    {"CallerCancels",
     [](DriverHost &h, Outcome &o) {
       ScriptedServer s(h.Net(), kServer, kScriptPort); // never answers
       Transfer t = ScriptTransfer(100);
       int calls = 0;
       t.onTimer = [&calls] { return ++calls < 3 ? EFI_SUCCESS : EFI_ABORTED; };
       RunOne(h, t, o, 60 * kSecond);
     }},
    {"BadCalls",
     [](DriverHost &h, Outcome &o) {
       EFI_HANDLE controller = h.AddController(kStation);
       o.statuses.push_back(h.Connect(controller));
       EFI_HANDLE child = nullptr;
       o.statuses.push_back(h.CreateChild(controller, &child));
       Zem4 *p = h.Protocol(child);
       if (p == nullptr) {
         return;
       }
       Zem4Token token{};
       o.statuses.push_back(p->GetModeData(p, nullptr));
       o.statuses.push_back(p->GetModeData(nullptr, nullptr));
       o.statuses.push_back(p->ReadFile(p, &token)); // not configured, no file name
       o.statuses.push_back(p->ReadFile(nullptr, &token));
       o.statuses.push_back(p->Poll(nullptr));
       o.statuses.push_back(p->GetStatus(p, nullptr));
       o.statuses.push_back(p->GetInfo(p, nullptr, nullptr, nullptr, 0, nullptr, nullptr, nullptr));
       Zem4ConfigData config{};
       config.UseDefaultSetting = FALSE;
       config.SubnetMask = {{255, 0, 255, 0}}; // not a mask
       o.statuses.push_back(p->Configure(p, &config));
       o.statuses.push_back(h.DestroyChild(controller, child));
       o.statuses.push_back(h.DestroyChild(controller, child)); // twice
       o.statuses.push_back(h.Disconnect(controller));
       o.statuses.push_back(h.Unload());
     }},
};

// Runs `scenario` under `kind` in a fresh firmware, with `fault` (if named)
// failing the `n`th time.
Outcome RunScenario(const Scenario &scenario, DriverKind kind, const std::string &fault = "",
                    uint64_t n = 0,
                    std::map<std::string, uint64_t, std::less<>> *counts = nullptr) {
  Outcome out;
  DriverHost host(3);
  host.Net().SetCaptureEnabled(true);
  std::string why;
  EFI_STATUS loaded = LoadDriver(host, kind, &why);
  EXPECT_FALSE(EFI_ERROR(loaded) && fault.empty()) << KindName(kind) << ": " << why;
  out.statuses.push_back(loaded);
  if (!fault.empty()) {
    host.Fw().Faults().FailNth(fault, host.Fw().Faults().Count(fault) + n, EFI_OUT_OF_RESOURCES);
  }
  if (!EFI_ERROR(loaded)) {
    scenario.run(host, out);
  }
  if (counts != nullptr) {
    *counts = host.Fw().Faults().Counts();
  }
  out.log = host.LogTexts();
  for (std::string &line : out.log) {
    line = MaskPointers(line);
  }
  for (const host::CaptureRecord &rec : host.Net().Capture()) {
    const host::Datagram &d = rec.datagram;
    out.wire.push_back(std::to_string(rec.time) + " " + d.src.ToString() + ":" +
                       std::to_string(d.srcPort) + " > " + d.dst.ToString() + ":" +
                       std::to_string(d.dstPort) + " " + Hex(d.payload));
  }
  out.leaks = host.TearDown();
  return out;
}

void ExpectSame(const Outcome &lib, const Outcome &img, const std::string &what,
                bool firmwareKeepsSomething = false) {
  SCOPED_TRACE(what);
  EXPECT_EQ(lib.statuses, img.statuses);
  EXPECT_EQ(lib.log, img.log) << "library:\n" << Join(lib.log) << "image:\n" << Join(img.log);
  ASSERT_EQ(lib.wire.size(), img.wire.size());
  for (size_t i = 0; i < lib.wire.size(); i++) {
    ASSERT_EQ(lib.wire[i], img.wire[i]) << "datagram " << i;
  }
  EXPECT_TRUE(lib.received == img.received);
  if (firmwareKeepsSomething) {
    EXPECT_EQ(lib.leaks.size(), img.leaks.size());
    return;
  }
  EXPECT_TRUE(lib.leaks.empty()) << "library:\n" << Join(lib.leaks);
  EXPECT_TRUE(img.leaks.empty()) << "image:\n" << Join(img.leaks);
}

class SameAsLibrary : public ::testing::TestWithParam<Scenario> {
protected:
  void SetUp() override { ImageBuilt(); }
};

TEST_P(SameAsLibrary, SameWireStatusesAndDiagnostics) {
  const Outcome lib = RunScenario(GetParam(), DriverKind::Library);
  const Outcome img = RunScenario(GetParam(), DriverKind::Image);
  ExpectSame(lib, img, GetParam().name);
  EXPECT_FALSE(lib.wire.empty() && std::string(GetParam().name) != "BadCalls");
}

INSTANTIATE_TEST_SUITE_P(Scenarios, SameAsLibrary, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario> &info) {
                           return std::string(info.param.name);
                         });

// What each scenario must show, so that the comparison above compares
// something: the file, or the failure and its diagnostic line.
TEST(SameAsLibraryScenarios, EachShowsWhatItIsFor) {
  const auto find = [](const char *name) -> const Scenario & {
    for (const Scenario &s : kScenarios) {
      if (std::string(s.name) == name) {
        return s;
      }
    }
    throw std::runtime_error(name);
  };
  const auto logHas = [](const Outcome &o, const std::string &text) {
    for (const std::string &line : o.log) {
      if (line.find(text) != std::string::npos) {
        return true;
      }
    }
    return false;
  };
  Outcome o = RunScenario(find("Download"), DriverKind::Library);
  Bytes expected = TheFile();
  expected.push_back(0xEE);
  EXPECT_TRUE(o.received == expected);
  // load, connect, ReadFile, signalled once, token status, destroy, disconnect, unload
  EXPECT_EQ(o.statuses, (std::vector<EFI_STATUS>{0, 0, 0, 1, 0, 0, 0, 0}));
  o = RunScenario(find("ServerError"), DriverKind::Library);
  EXPECT_TRUE(EFI_ERROR(o.statuses.at(4)));
  EXPECT_TRUE(logHas(o, "error packet")) << Join(o.log);
  o = RunScenario(find("SilentServer"), DriverKind::Library);
  EXPECT_EQ(o.statuses.at(4), EFI_TIMEOUT);
  o = RunScenario(find("BadCalls"), DriverKind::Library);
  EXPECT_TRUE(logHas(o, "invalid parameter")) << Join(o.log);
}

// Every call a download makes fails in turn: both drivers take the same path.
TEST(SameAsLibraryFaults, EveryFailingCallTakesTheSamePath) {
  if (!ImageBuilt()) {
    return;
  }
  // Small, so that the sweep stays short: a few windows and the FIN.
  const Scenario download{"SmallDownload", [](DriverHost &h, Outcome &o) {
                            static const Bytes file = MakeFile(3 * 1032 + 5, 8);
                            Download(h, o, false, file);
                          }};
  std::map<std::string, uint64_t, std::less<>> counts;
  RunScenario(download, DriverKind::Library, "", 0, &counts);
  ASSERT_FALSE(counts.empty());
  size_t runs = 0;
  for (const auto &[call, count] : counts) {
    // Raising and restoring the level cannot fail; copies are too many to sweep.
    if (call == "RaiseTPL" || call == "RestoreTPL" || call == "CopyMem" || call == "SetMem") {
      continue;
    }
    // The first few occurrences and a spread of the rest.
    for (uint64_t n = 1; n <= count; n = n < 8 ? n + 1 : n * 2) {
      const Outcome lib = RunScenario(download, DriverKind::Library, call, n);
      const Outcome img = RunScenario(download, DriverKind::Image, call, n);
      // Memory or an event that the firmware refuses to free stays live, and
      // so does a datagram whose recycle signal it refuses.
      ExpectSame(lib, img, call + " #" + std::to_string(n),
                 call == "FreePool" || call == "CloseEvent" || call == "SignalEvent");
      runs++;
    }
  }
  EXPECT_GT(runs, 10u);
}

// ---- Across widths: the IA32 image against the 64-bit library --------------
//
// The 32-bit runner writes what its image did in each scenario; the 64-bit
// tests run the same scenarios on the library and compare. Statuses are
// written without their width (error bit apart), and pointer values and
// status codes printed in hex are masked, since their width follows the
// target: everything else must be the same, the datagrams and their virtual
// times included.

std::string Portable(uint64_t status, bool isStatus) {
  if (isStatus && EFI_ERROR(static_cast<EFI_STATUS>(status))) {
    return "E" + std::to_string(static_cast<EFI_STATUS>(status) & ~EFI_ERROR_BIT);
  }
  return std::to_string(status);
}

std::vector<std::string> Serialize(const Outcome &o) {
  std::vector<std::string> lines;
  for (size_t i = 0; i < o.statuses.size(); i++) {
    lines.push_back("status " + Portable(o.statuses[i], true));
  }
  for (const std::string &line : o.log) {
    std::string flat = line;
    for (char &c : flat) {
      c = c == '\n' ? '|' : c;
    }
    lines.push_back("log " + flat);
  }
  for (const std::string &w : o.wire) {
    lines.push_back("wire " + w);
  }
  // FNV-1a over every byte, so that the record holds the whole download.
  uint64_t digest = 14695981039346656037ull;
  for (const uint8_t b : o.received) {
    digest = (digest ^ b) * 1099511628211ull;
  }
  lines.push_back("received " + Hex(o.received).substr(0, 64) + " size " +
                  std::to_string(o.received.size()) + " fnv " + std::to_string(digest));
  lines.push_back("leaks " + std::to_string(o.leaks.size()));
  return lines;
}

// ---- Golden records ----------------------------------------------------------
//
// What each scenario did when these records were written, kept in
// tests/image_run/golden/<scenario>.txt. The comparison above only holds the
// image to the library of the same commit, so a change made on both sides would
// pass it; these records hold both to what the driver did before. To write them
// again after a change meant to alter what the driver does, run
//   ZEM4_GOLDEN_UPDATE=1 test_image_run --gtest_filter='Golden/*'
// and commit the new files on their own, saying why they changed.

#ifdef ZEM4_GOLDEN_DIR
std::filesystem::path GoldenPath(const Scenario &scenario) {
  return std::filesystem::path(ZEM4_GOLDEN_DIR) / (std::string(scenario.name) + ".txt");
}

std::vector<std::string> ReadLines(const std::filesystem::path &path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}
#endif

// The first line where `got` leaves `want`, with its neighbours.
std::string FirstDifference(const std::vector<std::string> &want,
                            const std::vector<std::string> &got) {
  size_t i = 0;
  while (i < want.size() && i < got.size() && want[i] == got[i]) {
    i++;
  }
  if (i == want.size() && i == got.size()) {
    return {};
  }
  const auto at = [](const std::vector<std::string> &v, size_t n) {
    return n < v.size() ? v[n].substr(0, 240) : std::string("<end>");
  };
  return "line " + std::to_string(i + 1) + " of " + std::to_string(want.size()) + " recorded, " +
         std::to_string(got.size()) + " now\n  recorded: " + at(want, i) +
         "\n  now:      " + at(got, i);
}

class Golden : public ::testing::TestWithParam<Scenario> {
protected:
  void Check([[maybe_unused]] DriverKind kind) {
#ifndef ZEM4_GOLDEN_DIR
    GTEST_SKIP() << "the records are checked by the 64-bit tests";
#else
    const std::vector<std::string> got = Serialize(RunScenario(GetParam(), kind));
    const std::filesystem::path path = GoldenPath(GetParam());
    const char *update = std::getenv("ZEM4_GOLDEN_UPDATE");
    if (update != nullptr && std::string(update) == "1" && kind == DriverKind::Library) {
      std::ofstream out(path);
      for (const std::string &line : got) {
        out << line << "\n";
      }
      ASSERT_TRUE(out.good()) << path;
      return;
    }
    const std::vector<std::string> want = ReadLines(path);
    ASSERT_FALSE(want.empty()) << "no record at " << path;
    EXPECT_EQ(FirstDifference(want, got), "") << KindName(kind) << " against " << path;
#endif
  }
};

TEST_P(Golden, LibraryDoesWhatWasRecorded) {
  Check(DriverKind::Library);
}

TEST_P(Golden, ImageDoesWhatWasRecorded) {
  if (!ImageBuilt()) {
    return;
  }
  Check(DriverKind::Image);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, Golden, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario> &info) {
                           return std::string(info.param.name);
                         });

// A record that no longer matches is found, wherever it differs.
TEST(GoldenCompare, FindsTheFirstDifference) {
  EXPECT_EQ(FirstDifference({"a", "b"}, {"a", "b"}), "");
  EXPECT_NE(FirstDifference({"a", "b"}, {"a", "c"}).find("line 2"), std::string::npos);
  EXPECT_NE(FirstDifference({"a", "b"}, {"a"}).find("<end>"), std::string::npos);
  EXPECT_NE(FirstDifference({"a"}, {"a", "b"}).find("line 2"), std::string::npos);
  EXPECT_NE(FirstDifference({}, {"a"}).find("line 1"), std::string::npos);
}

// Writes the image's outcomes when asked to (by the test below, in the other
// process); otherwise there is nothing to do.
TEST(CrossWidth, DumpImageOutcomes) {
  const char *dir = std::getenv("ZEM4_OUTCOME_DUMP");
  if (dir == nullptr) {
    GTEST_SKIP() << "only run on behalf of the cross-width comparison";
  }
  ASSERT_FALSE(RunnableImagePath().empty());
  for (const Scenario &scenario : kScenarios) {
    std::ofstream out(std::filesystem::path(dir) / (std::string(scenario.name) + ".txt"));
    for (const std::string &line : Serialize(RunScenario(scenario, DriverKind::Image))) {
      out << line << "\n";
    }
  }
}

#if defined(__x86_64__) && defined(ZEM4_RUNNER32_TESTS)
TEST(CrossWidth, Ia32ImageDoesWhatThe64BitLibraryDoes) {
  const std::string runner = ZEM4_RUNNER32_TESTS;
  if (access(runner.c_str(), X_OK) != 0) {
    if (std::getenv("ZEM4_REQUIRE_IMAGES") != nullptr) {
      FAIL() << "32-bit runner missing: " << runner;
    }
    GTEST_SKIP() << "32-bit runner not built (" << runner << ")";
  }
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("zem4-cross-width-" + std::to_string(getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  const pid_t pid = fork();
  if (pid == 0) {
    setenv("ZEM4_OUTCOME_DUMP", dir.c_str(), 1);
    execl(runner.c_str(), runner.c_str(), "--gtest_filter=CrossWidth.DumpImageOutcomes",
          static_cast<char *>(nullptr));
    _exit(127);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the runner failed: " << status;
  for (const Scenario &scenario : kScenarios) {
    SCOPED_TRACE(scenario.name);
    std::ifstream in(dir / (std::string(scenario.name) + ".txt"));
    std::vector<std::string> ia32;
    for (std::string line; std::getline(in, line);) {
      ia32.push_back(line);
    }
    const std::vector<std::string> x64 = Serialize(RunScenario(scenario, DriverKind::Library));
    ASSERT_FALSE(ia32.empty());
    EXPECT_EQ(ia32.size(), x64.size());
    for (size_t i = 0; i < std::min(ia32.size(), x64.size()); i++) {
      ASSERT_EQ(ia32[i], x64[i]) << "line " << i;
    }
  }
  std::filesystem::remove_all(dir);
}
#endif

} // namespace
} // namespace zem4::test
