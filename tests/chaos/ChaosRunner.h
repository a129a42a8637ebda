// Runs a range of seeds: in this process (CI), or each seed in a child
// process of its own (--isolate), so that a seed the sanitizer stops does not
// hide the seeds after it.
#pragma once

#include "tests/chaos/Chaos.h"

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace zem4::test::chaos {

struct RangeReport {
  uint64_t first = 0;
  uint64_t last = 0;
  uint64_t seeds = 0;
  // (seed, first failure) for every seed that failed.
  std::vector<std::pair<uint64_t, std::string>> failures;
  std::map<std::string, uint64_t> pairs;
  uint64_t actions = 0;
  uint64_t tokens = 0;
  uint64_t successes = 0;
  double seconds = 0;
  uint64_t slowestSeed = 0;
  double slowestSeconds = 0;
  // Required pairs that no seed of the range reached.
  std::vector<std::string> missing;
};

struct RangeOptions {
  RunOptions run;
  bool isolate = false;    // one child process per seed
  bool printTraces = true; // a failing seed prints its trace
  bool traceAll = false;   // every seed prints its trace
};

RangeReport RunRange(uint64_t first, uint64_t last, const RangeOptions &options);

// "Act@Ctx+Q1+Q2" is reached by any counted key of that action and context
// whose qualifiers include Q1 and Q2.
bool Reached(const std::string &required, const std::map<std::string, uint64_t> &pairs);

// One line for the log: seeds, time, seeds per second, what was checked.
std::string Summary(const RangeReport &report);

} // namespace zem4::test::chaos
