// The zem4 subcommands.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zem4::cli {

struct GetOptions {
  std::vector<std::string> files;
  std::string server = "127.0.0.1";
  std::string out;     // a file, a device or FIFO, "-" (standard output), or a directory
  std::string station; // empty: the source address of the route to the server
  std::string mcastIf; // empty: the interface that has the station address
  bool multicast = false;
  bool stream = false;
  bool quiet = false;
  unsigned timeout = 30;   // seconds without progress
  unsigned retries = 5;    // when the server is busy
  unsigned mcastWait = 5;  // seconds for the first multicast data
  std::string log = "off"; // off, error, notice
  double loss = 0;         // injected on receive (tests, demos)
  uint64_t seed = 1;
};
int RunGet(const GetOptions &options);

struct InfoOptions {
  std::string file;
  std::string server = "127.0.0.1";
  std::string station;
  bool multicast = false;
  unsigned timeout = 10;
};
int RunInfo(const InfoOptions &options);

struct DemoOptions {
  std::string size = "32M";
  unsigned clients = 4;
  double loss = 0.01;
  uint64_t seed = 1;
  bool keep = false;
};
int RunDemo(const DemoOptions &options);

// "32M", "1032", "10MiB", "64k": bytes; throws Failure(kExitUsage).
uint64_t ParseSize(const std::string &text);

} // namespace zem4::cli
