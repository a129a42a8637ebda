// zem4d: the server engine behind real UDP sockets, with Asio as event loop.
// Kept as a library so `zem4 serve` runs the very same daemon.
#pragma once

#include "server/engine/Engine.h"

#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace CLI {
class App;
}
namespace asio {
class io_context;
}

namespace zem4::server {

inline constexpr const char *kDefaultRoot = "/srv/zem4";

struct DaemonOptions {
  std::string Bind = "127.0.0.1";
  uint16_t Port = 5568; // 0: any free port (see Daemon::ListenPort)
  // Never the working directory: a daemon started from the wrong place
  // would serve whatever lies there.
  std::string Root = kDefaultRoot;
  // Names exactly as asked (no "\\" mapping, a leading "/" refused).
  bool StrictNames = false;
  // "LOW-HIGH": the ports transfers bind (a firewall's opening); empty: any.
  std::string PortRange;
  bool Multicast = true;
  std::string McastNetwork = "239.255.0.0/16";
  uint16_t McastPort = 5570;
  // Interface for multicast: an IPv4 address of it or its name. Empty: the
  // interface of Bind (which must then not be 0.0.0.0).
  std::string McastInterface;
  int McastTtl = 1;
  uint64_t RateLimit = 0; // bytes per second to each group, 0: none
  uint32_t Window = 64;
  uint32_t TimeoutMs = 500;
  uint32_t MaxRetries = 10;
  uint32_t IdleTimeoutS = 60;
  uint32_t ListPatienceS = 15;
  uint32_t FinCount = 4;
  uint32_t FinIntervalMs = 100;
  uint32_t MaxSessions = 64;
  uint32_t MaxPerClient = 16;
  uint32_t MaxGroups = 16;
  uint32_t MaxActivePasses = 4;
  std::vector<std::string> Allow;
  // Files above this many bytes are answered without "sha256".
  uint64_t DigestMax = DefaultDigestMax;
  std::string LogLevel = "info";
  uint32_t StatsIntervalS = 0;
  // SIGINT/SIGTERM stop, SIGUSR1 logs the totals, SIGHUP reloads (see
  // Daemon::SetReloadHook); off for a host program
  // (e.g. a demo) that runs the daemon in-process and owns its signals.
  bool HandleSignals = true;
};

// Registers every option on App (for zem4d and for `zem4 serve`).
void AddDaemonOptions(CLI::App &App, DaemonOptions &Options);
// Throws std::invalid_argument for values that do not parse.
EngineConfig ToEngineConfig(const DaemonOptions &Options);
// --port-range "LOW-HIGH" (1 <= LOW <= HIGH <= 65535); throws
// std::invalid_argument otherwise.
std::pair<uint16_t, uint16_t> ParsePortRange(const std::string &Text);

class Daemon {
public:
  // Binds the listening socket and opens the root; throws on failure.
  Daemon(asio::io_context &Io, const DaemonOptions &Options);
  ~Daemon();
  Daemon(const Daemon &) = delete;
  Daemon &operator=(const Daemon &) = delete;

  // Starts receiving, the timers and the signal handlers (SIGINT/SIGTERM
  // stop, SIGUSR1 logs the totals, SIGHUP reloads).
  void Start();
  // Ends every transfer, logs the totals and closes every socket; the
  // io_context then runs out of work.
  void Stop();
  uint16_t ListenPort() const;
  EngineStats Stats() const;
  // Read-only, for the metrics.
  const Engine &Server() const;
  // SIGHUP runs Hook on the loop; without one the signal is logged and ignored.
  void SetReloadHook(std::function<void()> Hook);
  // Stop runs Hook after closing its own sockets: whatever else waits on the
  // loop closes too, so that the loop runs out of work.
  void SetStopHook(std::function<void()> Hook);
  // Takes over what may change while transfers run: the limits, the
  // allow-list and the stats interval. Throws std::invalid_argument (and
  // changes nothing) when a value does not parse.
  void ApplyLive(const DaemonOptions &Options);

  class Impl;

private:
  std::unique_ptr<Impl> P;
};

// "VERSION (commit COMMIT)", as configured.
std::string VersionText();

// Exit codes of zem4d (and of `zem4 serve`).
constexpr int kDaemonExitStopped = 0; // stopped by a signal
constexpr int kDaemonExitFailed = 1;  // e.g. the port is taken, the root cannot be opened
constexpr int kDaemonExitUsage = 2;   // bad command line or configuration
constexpr const char *kDaemonExitHelp = R"(Exit codes: 0 stopped by SIGINT or SIGTERM,
1 failed (e.g. the port is taken or the root cannot be opened),
2 bad command line or configuration.)";

// A configuration that cannot work (exit 2, unlike a failure while running).
struct ConfigError : std::invalid_argument {
  using std::invalid_argument::invalid_argument;
};

// What zem4d adds around the daemon; `zem4 serve` goes without.
struct DaemonHooks {
  // Installs the default logger (else stderr, in colour on a terminal).
  std::function<void()> Logging;
  // Once the daemon is bound, before privileges are dropped: more listeners
  // on the same loop (metrics), the reload hook. What it returns lives until
  // the loop has run out, and goes before the loop. Throws to refuse the start.
  std::function<std::shared_ptr<void>(asio::io_context &, Daemon &)> Prepare;
};

// Holds SIGHUP and SIGUSR1 pending in the calling thread (and the threads it
// starts) until a daemon with HandleSignals starts taking them: before that
// their default action would end the process. Called first thing in main.
void HoldDaemonSignals();

// zem4d's main: parse nothing more, run until a signal stops it. Returns the
// process exit code. With User, privileges are dropped to that account once
// the sockets are bound and the root is open (only zem4d itself asks for it).
int RunDaemon(const DaemonOptions &Options, const std::string &User = "",
              const DaemonHooks &Hooks = {});

} // namespace zem4::server
