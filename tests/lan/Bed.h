// The namespaced LAN (scripts/lan.sh) as a test fixture: a server namespace
// behind a shaped uplink and client namespaces on one bridge, made for one
// test and removed when it ends, whatever the way it ends. Processes run in
// those namespaces with their output in files of the test's own directory.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <vector>

namespace zem4::lan {

// One program run with `ip netns exec` (here when `ns` is empty); its stdout
// and stderr go to `log`.
class Process {
public:
  Process(const std::string &ns, const std::vector<std::string> &argv, std::filesystem::path log,
          const std::vector<std::string> &env = {});
  ~Process(); // kills it if still running
  Process(const Process &) = delete;
  Process &operator=(const Process &) = delete;

  // Exit code, 128 + signal when killed, -1 when still running after `limit`.
  int Wait(std::chrono::milliseconds limit);
  bool Running();
  void Signal(int sig);
  std::string Output() const;
  // Waits up to `limit` for `text` to appear in the output.
  bool WaitFor(const std::string &text, std::chrono::milliseconds limit);
  bool WaitFor(const std::regex &pattern, std::chrono::milliseconds limit);

private:
  int pid_ = -1;
  int status_ = -1;
  std::filesystem::path log_;
};

struct BedShape {
  unsigned clients;
  unsigned uplinkMbit;
};

// Files made for a test, removed after it.
std::filesystem::path TestDir();
std::string MakeRandomFile(const std::filesystem::path &path, uint64_t size, uint64_t seed);
std::string ReadFile(const std::filesystem::path &path);

class LanBed : public ::testing::Test {
protected:
  // Builds the bed, or fails (CI) or skips (elsewhere) with the reason.
  void Build(BedShape shape);
  void TearDown() override;

  static std::string Server() { return "10.199.0.1"; }
  static std::string ClientAddress(unsigned i) { return "10.199.0." + std::to_string(10 + i); }
  std::string ServerNs() const;
  std::string ClientNs(unsigned i) const;

  // zem4d in the server namespace on dir_/root; waits for its start line.
  std::unique_ptr<Process> StartServer(const std::vector<std::string> &extra = {});
  // zem4 get in client i's namespace, to dir_/c<i>.out.
  std::unique_ptr<Process> StartGet(unsigned i, const std::vector<std::string> &args);
  // Stops the server (SIGTERM) and returns its whole log.
  std::string StopServer(Process &server);

  void Loss(unsigned client, unsigned permille);
  void Cut(unsigned client);

  std::filesystem::path dir_;
  bool built_ = false;

private:
  bool Script(const std::vector<std::string> &args, std::string *output = nullptr);
  std::string tag_;
};

// Parsed "transfer client=... roles=... outcome=..." lines of zem4d.
struct TransferLine {
  std::string client; // address only
  std::string roles;
  std::string outcome;
};
std::vector<TransferLine> TransferLines(const std::string &serverLog);

} // namespace zem4::lan
