// Seed ranges, the pairs the CI range must reach, the sanitizer's last word
// and the command line of test_chaos.
#include "tests/chaos/ChaosRunner.h"

#include "tests/chaos/ChaosWorld.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern "C" __attribute__((weak)) void __sanitizer_set_death_callback(void (*callback)(void));

namespace zem4::test::chaos {

namespace {

const SeedResult *gCurrent = nullptr;
std::atomic<uint64_t> gHeartbeatSeed{0};
std::atomic<int64_t> gHeartbeatStart{0};

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The sanitizer stops the process at its first report: say which seed and
// what it had done.
void OnSanitizerDeath() {
  if (gCurrent != nullptr) {
    SeedResult copy = *gCurrent;
    if (copy.failure.empty()) {
      copy.failure = "sanitizer report (above)";
    }
    PrintFailure(copy);
  }
}

void InstallDeathCallback() {
  if (__sanitizer_set_death_callback != nullptr) {
    __sanitizer_set_death_callback(OnSanitizerDeath);
  }
}

// Last resort for a loop that never ticks the firmware: only the seed can be
// named from here.
void StartRealTimeWatchdog(uint64_t limitSeconds) {
  static bool started = false;
  if (started) {
    return;
  }
  started = true;
  std::thread([limitSeconds] {
    for (;;) {
      std::this_thread::sleep_for(std::chrono::seconds(1));
      const int64_t start = gHeartbeatStart.load();
      if (start != 0 && NowNs() - start > int64_t(limitSeconds + 30) * 1'000'000'000) {
        std::fprintf(stderr,
                     "chaos seed %llu FAILED: hang (no tick for %llu s of real time)\n"
                     "reproduce with: test_chaos --seeds %llu\n",
                     static_cast<unsigned long long>(gHeartbeatSeed.load()),
                     static_cast<unsigned long long>(limitSeconds + 30),
                     static_cast<unsigned long long>(gHeartbeatSeed.load()));
        std::fflush(stderr);
        std::_Exit(4);
      }
    }
  }).detach();
}

void Merge(RangeReport &report, const SeedResult &result) {
  report.seeds++;
  report.actions += result.actions;
  report.tokens += result.tokens;
  report.successes += result.successes;
  for (const auto &[key, n] : result.pairs) {
    report.pairs[key] += n;
  }
  if (!result.failure.empty()) {
    report.failures.emplace_back(result.seed, result.failure);
  }
}

// The child writes its result as lines; a child that dies says nothing more.
std::string Encode(const SeedResult &result) {
  std::ostringstream out;
  out << "A " << result.actions << " " << result.tokens << " " << result.successes << "\n";
  for (const auto &[key, n] : result.pairs) {
    out << "P " << n << " " << key << "\n";
  }
  if (!result.failure.empty()) {
    std::string one = result.failure;
    for (char &ch : one) {
      if (ch == '\n') {
        ch = ' ';
      }
    }
    out << "F " << one << "\n";
  }
  out << "E\n";
  return out.str();
}

std::string ReadAll(int fd) {
  std::string text;
  char buf[4096];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof(buf));
    if (n <= 0) {
      break;
    }
    text.append(buf, static_cast<size_t>(n));
  }
  return text;
}

// The sanitizer's one-line summary (or the harness's own verdict) from a
// dead child's error output.
std::string Verdict(const std::string &path) {
  std::ifstream in(path);
  std::string line, summary, verdict;
  while (std::getline(in, line)) {
    if (summary.empty() && line.rfind("SUMMARY:", 0) == 0) {
      summary = line;
    }
    if (verdict.empty() && line.find("FAILED:") != std::string::npos &&
        line.rfind("chaos seed", 0) == 0) {
      verdict = line.substr(line.find("FAILED:") + 8);
    }
  }
  if (!summary.empty()) {
    return summary;
  }
  return verdict.empty() ? "died without a report" : verdict;
}

SeedResult RunIsolated(uint64_t seed, const RangeOptions &options) {
  SeedResult result;
  result.seed = seed;
  int fds[2];
  if (pipe(fds) != 0) {
    result.failure = "cannot make a pipe";
    return result;
  }
  const std::string errPath = "/tmp/zem4-chaos-seed-" + std::to_string(seed) + ".txt";
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (err >= 0) {
      dup2(err, 2);
      close(err);
    }
    SetCurrentResult(nullptr);
    SeedResult r = RunSeed(seed, options.run);
    if (!r.failure.empty()) {
      PrintFailure(r);
    }
    const std::string text = Encode(r);
    (void)!write(fds[1], text.data(), text.size());
    close(fds[1]);
    std::_Exit(0);
  }
  close(fds[1]);
  const std::string text = ReadAll(fds[0]);
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  std::istringstream in(text);
  std::string line;
  bool ended = false;
  while (std::getline(in, line)) {
    if (line.rfind("A ", 0) == 0) {
      std::istringstream a(line.substr(2));
      a >> result.actions >> result.tokens >> result.successes;
    } else if (line.rfind("P ", 0) == 0) {
      std::istringstream p(line.substr(2));
      uint64_t n = 0;
      std::string key;
      p >> n >> key;
      result.pairs[key] += n;
    } else if (line.rfind("F ", 0) == 0) {
      result.failure = line.substr(2);
    } else if (line == "E") {
      ended = true;
    }
  }
  if (!ended) {
    result.failure = "crashed: " + Verdict(errPath) + " (trace in " + errPath + ")";
  } else if (result.failure.empty()) {
    std::remove(errPath.c_str());
  } else {
    result.failure += " (trace in " + errPath + ")";
  }
  return result;
}

} // namespace

void SetCurrentResult(const SeedResult *result) {
  gCurrent = result;
  gHeartbeatSeed = result != nullptr ? result->seed : 0;
  gHeartbeatStart = result != nullptr ? NowNs() : 0;
}

const std::vector<std::string> &RequiredPairs() {
  static const std::vector<std::string> pairs = {
      // A token notification that configures and reads again while its child
      // is being destroyed.
      "ConfigureData@TokenNotify+InDestroy",
      "ReadFileEvent@TokenNotify+InDestroy",
      // DestroyChild, Configure(NULL) and a nested ReadFile while ReadFile
      // waits for an address.
      "DestroyChild@TimerCallback+AddrWait",
      "ConfigureNull@TimerCallback+AddrWait",
      "ReadFileEvent@TimerCallback+AddrWait",
      // The wait itself, and a ReadFile at TPL_CALLBACK that would need it.
      "ReadFileEvent@App+NeedsAddress+Idle",
      "ReadFileBlocking@App+NeedsAddress+Idle",
      "ReadFileEvent@TimerCallback+NeedsAddress+Idle",
      // Calls above TPL_CALLBACK, where UDP4 may not be called.
      "CreateChild@TimerNotify",
      "DestroyChild@TimerNotify+Running",
      "ReadFileEvent@TimerNotify+Idle",
      "ConfigureNull@TimerNotify+Running",
      "Poll@TimerNotify",
      "GetInfo@TimerCallback",
      "ReadFileBlocking@TokenNotify",
      // Another controller's child.
      "DestroyForeign@App",
      // A UDP4 reset refused twice while a transfer runs.
      "InjectFaultTwice@App+Udp4.Configure+Running",
      // CreateChild's clean-up after a failed install, for a child that got
      // a UDP4 child of its own.
      "CreateChild@App+Later+fault:InstallMultipleProtocolInterfaces",
      // CreateChild once the last child's destruction has taken it off the count.
      "CreateChild@TimerCallback+LastLeaving",
      // Ends of multicast transfers, and calls from the driver's call-outs.
      "ConfigureNull@App+Running+Mcast",
      "DestroyChild@CheckPacket+Running",
      "DestroyChild@TimeoutCallback+Running",
      "ReadFileEvent@CheckPacket+Busy",
      "ConfigureNull@CheckPacket+Running",
      // Stops and unloads in the middle of downloads.
      "Disconnect@App+Running",
      "Disconnect@TimerCallback+Running",
      "Unload@App+Running",
  };
  return pairs;
}

bool Reached(const std::string &required, const std::map<std::string, uint64_t> &pairs) {
  auto split = [](const std::string &key) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
      const size_t at = key.find('+', start);
      parts.push_back(key.substr(start, at - start));
      if (at == std::string::npos) {
        return parts;
      }
      start = at + 1;
    }
  };
  const std::vector<std::string> want = split(required);
  for (const auto &[key, n] : pairs) {
    if (n == 0) {
      continue;
    }
    const std::vector<std::string> have = split(key);
    if (have[0] != want[0]) {
      continue;
    }
    bool all = true;
    for (size_t i = 1; i < want.size() && all; i++) {
      all = std::find(have.begin() + 1, have.end(), want[i]) != have.end();
    }
    if (all) {
      return true;
    }
  }
  return false;
}

bool ParseSeedRange(const std::string &text, uint64_t &first, uint64_t &last) {
  const size_t colon = text.find(':');
  auto number = [](const std::string &s, uint64_t &out) {
    if (s.empty() || s.size() > 19 || s.find_first_not_of("0123456789") != std::string::npos) {
      return false;
    }
    out = std::stoull(s);
    return true;
  };
  if (colon == std::string::npos) {
    if (!number(text, first)) {
      return false;
    }
    last = first;
    return true;
  }
  return number(text.substr(0, colon), first) && number(text.substr(colon + 1), last) &&
         first <= last;
}

RangeReport RunRange(uint64_t first, uint64_t last, const RangeOptions &options) {
  RangeReport report;
  report.first = first;
  report.last = last;
  InstallDeathCallback();
  if (!options.isolate) {
    StartRealTimeWatchdog(options.run.realLimitSeconds);
  }
  const auto start = std::chrono::steady_clock::now();
  for (uint64_t seed = first;; seed++) {
    const auto seedStart = std::chrono::steady_clock::now();
    SeedResult result = options.isolate ? RunIsolated(seed, options) : RunSeed(seed, options.run);
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - seedStart).count();
    if (took > report.slowestSeconds) {
      report.slowestSeconds = took;
      report.slowestSeed = seed;
    }
    if (!result.failure.empty() && options.printTraces && !options.isolate) {
      PrintFailure(result);
    } else if (options.traceAll && !options.isolate) {
      std::fprintf(stderr, "chaos seed %llu passed:\n", static_cast<unsigned long long>(seed));
      for (const auto &line : result.trace) {
        std::fprintf(stderr, "  %s\n", line.c_str());
      }
    }
    Merge(report, result);
    if (seed == last) {
      break;
    }
  }
  report.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  for (const auto &required : RequiredPairs()) {
    if (!Reached(required, report.pairs)) {
      report.missing.push_back(required);
    }
  }
  return report;
}

std::string Summary(const RangeReport &report) {
  char line[320];
  std::snprintf(line, sizeof(line),
                "chaos: seeds %llu:%llu, %llu seeds in %.1f s (%.1f seeds/s), %llu actions, "
                "%llu tokens, %llu exact downloads, slowest seed %llu (%.2f s), %zu failed",
                static_cast<unsigned long long>(report.first),
                static_cast<unsigned long long>(report.last),
                static_cast<unsigned long long>(report.seeds), report.seconds,
                report.seconds > 0 ? static_cast<double>(report.seeds) / report.seconds : 0.0,
                static_cast<unsigned long long>(report.actions),
                static_cast<unsigned long long>(report.tokens),
                static_cast<unsigned long long>(report.successes),
                static_cast<unsigned long long>(report.slowestSeed), report.slowestSeconds,
                report.failures.size());
  return line;
}

} // namespace zem4::test::chaos

// test_chaos --seeds FIRST:LAST [--isolate] [--pairs] [--trace] [--without ACT,...]
//            [--real-limit SECONDS] [--net]
// runs a range and says what failed; without --seeds it is an ordinary
// GoogleTest binary.
int main(int argc, char **argv) {
  using namespace zem4::test::chaos;
  std::string seeds;
  bool isolate = false;
  bool pairs = false;
  RangeOptions options;
  for (int i = 1; i < argc; i++) {
    if (std::strcmp(argv[i], "--seeds") == 0 && i + 1 < argc) {
      seeds = argv[++i];
    } else if (std::strncmp(argv[i], "--seeds=", 8) == 0) {
      seeds = argv[i] + 8;
    } else if (std::strcmp(argv[i], "--isolate") == 0) {
      isolate = true;
    } else if (std::strcmp(argv[i], "--pairs") == 0) {
      pairs = true;
    } else if (std::strcmp(argv[i], "--real-limit") == 0 && i + 1 < argc) {
      options.run.realLimitSeconds = std::strtoull(argv[++i], nullptr, 10);
    } else if (std::strcmp(argv[i], "--net") == 0) {
      options.run.captureNet = true;
    } else if (std::strcmp(argv[i], "--trace") == 0) {
      options.traceAll = true;
    } else if (std::strcmp(argv[i], "--without") == 0 && i + 1 < argc) {
      if (!ParseActs(argv[++i], options.run.without)) {
        std::fprintf(stderr, "test_chaos: unknown action in --without %s\n", argv[i]);
        return 2;
      }
    }
  }
  if (seeds.empty()) {
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
  }
  uint64_t first = 0, last = 0;
  if (!ParseSeedRange(seeds, first, last)) {
    std::fprintf(stderr, "test_chaos: --seeds wants FIRST:LAST, got \"%s\"\n", seeds.c_str());
    return 2;
  }
  options.isolate = isolate;
  const RangeReport report = RunRange(first, last, options);
  for (const auto &[seed, why] : report.failures) {
    std::printf("seed %llu: %s\n", static_cast<unsigned long long>(seed), why.c_str());
  }
  if (pairs) {
    for (const auto &[key, n] : report.pairs) {
      std::printf("%8llu %s\n", static_cast<unsigned long long>(n), key.c_str());
    }
  }
  for (const auto &missing : report.missing) {
    std::printf("not reached: %s\n", missing.c_str());
  }
  std::printf("%s\n", Summary(report).c_str());
  return report.failures.empty() ? 0 : 1;
}
