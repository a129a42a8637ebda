#include "server/daemon/Daemon.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <stdexcept>

namespace zem4::server {

void AddDaemonOptions(CLI::App &App, DaemonOptions &O) {
  App.add_option("--bind", O.Bind, "Address to listen on")->capture_default_str();
  App.add_option("--port", O.Port, "UDP port for requests (0: any free port)")
      ->capture_default_str();
  App.add_option("--root", O.Root,
                 "Directory whose regular files are served, read-only (never the working "
                 "directory unless named)")
      ->capture_default_str();
  App.add_flag("--strict-names", O.StrictNames,
               "Serve names exactly as asked; by default \"\\\" is read as \"/\" and leading "
               "\"/\" are dropped, so \"/boot/x.efi\" and \"\\EFI\\BOOT\\x.efi\" name files "
               "below the root (\"..\" is refused either way)");
  App.add_option("--port-range", O.PortRange,
                 "LOW-HIGH: the only UDP ports transfers and groups send from (for a "
                 "firewall); when all are taken, requests are answered busy");
  App.add_flag("!--no-multicast", O.Multicast, "Serve every request by unicast");
  App.add_option("--mcast-net", O.McastNetwork, "Network the group addresses are taken from (CIDR)")
      ->capture_default_str();
  App.add_option("--mcast-port", O.McastPort, "UDP port of the first group; later groups count up")
      ->capture_default_str();
  App.add_option("--mcast-if", O.McastInterface,
                 "Interface for multicast: its IPv4 address or name (default: the interface "
                 "of --bind; required with --bind 0.0.0.0)");
  App.add_option("--mcast-ttl", O.McastTtl, "Multicast TTL")
      ->capture_default_str()
      ->check(CLI::Range(0, 255));
  App.add_option("--rate-limit", O.RateLimit, "Bytes per second sent to each group (0: no limit)")
      ->capture_default_str();
  App.add_option("--window", O.Window, "DATA8 in flight beyond the last ACK8")
      ->capture_default_str()
      ->check(CLI::Range(1, 64));
  App.add_option("--timeout", O.TimeoutMs, "Retransmission time-out in milliseconds")
      ->capture_default_str()
      ->check(CLI::Range(10, 60000));
  App.add_option("--max-retries", O.MaxRetries,
                 "Time-outs in a row before a group's active client counts as gone")
      ->capture_default_str();
  App.add_option("--idle-timeout", O.IdleTimeoutS,
                 "Seconds of silence after which a transfer is dropped")
      ->capture_default_str()
      ->check(CLI::Range(1, 3600));
  App.add_option("--list-patience", O.ListPatienceS,
                 "Seconds a pass waits for the client's repair list")
      ->capture_default_str()
      ->check(CLI::Range(1, 600));
  App.add_option("--fin-count", O.FinCount, "FIN datagrams at the end of each pass")
      ->capture_default_str()
      ->check(CLI::Range(1, 20));
  App.add_option("--fin-interval", O.FinIntervalMs, "Milliseconds between FIN datagrams")
      ->capture_default_str()
      ->check(CLI::Range(1, 2000));
  App.add_option("--max-sessions", O.MaxSessions, "Clients served at once; more get error 9")
      ->capture_default_str();
  App.add_option("--max-per-client", O.MaxPerClient, "Clients served at once from one address")
      ->capture_default_str();
  App.add_option("--max-groups", O.MaxGroups, "Multicast groups at once")->capture_default_str();
  App.add_option("--max-active-passes", O.MaxActivePasses,
                 "Passes a client may drive in a group before it is served by unicast")
      ->capture_default_str();
  App.add_option("--allow", O.Allow,
                 "Client network allowed to ask (CIDR, repeatable; default: all)");
  App.add_option("--digest-max", O.DigestMax,
                 "Largest file (bytes) whose SHA-256 is computed; larger ones are answered "
                 "without sha256")
      ->capture_default_str();
  App.add_option("--log-level", O.LogLevel, "trace, debug, info, warn, error or off")
      ->capture_default_str()
      ->check(CLI::IsMember({"trace", "debug", "info", "warn", "error", "critical", "off"}));
  App.add_option("--stats-interval", O.StatsIntervalS,
                 "Log the totals every N seconds (0: only on SIGUSR1 and exit)")
      ->capture_default_str();
}

std::pair<uint16_t, uint16_t> ParsePortRange(const std::string &Text) {
  unsigned Low = 0, High = 0;
  char Dash = 0, Extra = 0;
  if (std::sscanf(Text.c_str(), "%5u%c%5u%c", &Low, &Dash, &High, &Extra) != 3 || Dash != '-' ||
      Low == 0 || Low > High || High > 65535) {
    throw std::invalid_argument("--port-range: not LOW-HIGH within 1-65535: " + Text);
  }
  return {static_cast<uint16_t>(Low), static_cast<uint16_t>(High)};
}

EngineConfig ToEngineConfig(const DaemonOptions &O) {
  EngineConfig C;
  C.ListenPort = O.Port;
  C.Window = O.Window;
  C.RetransmitTimeout = std::chrono::milliseconds(O.TimeoutMs);
  C.MaxRetries = O.MaxRetries;
  C.IdleTimeout = std::chrono::seconds(O.IdleTimeoutS);
  C.ListPatience = std::chrono::seconds(O.ListPatienceS);
  C.FinCount = O.FinCount;
  C.FinInterval = std::chrono::milliseconds(O.FinIntervalMs);
  C.MaxSessions = O.MaxSessions;
  C.MaxPerClient = O.MaxPerClient;
  C.MaxGroups = O.MaxGroups;
  C.MulticastEnabled = O.Multicast;
  C.StrictNames = O.StrictNames;
  if (!O.PortRange.empty()) {
    ParsePortRange(O.PortRange);
  }
  auto Net = Cidr::Parse(O.McastNetwork);
  if (!Net || !Net->network.IsMulticast() || !Net->Last().IsMulticast()) {
    throw std::invalid_argument("--mcast-net must be a multicast network, e.g. 239.255.0.0/16");
  }
  C.McastNetwork = *Net;
  C.McastPort = O.McastPort;
  C.McastRateLimit = O.RateLimit;
  C.MaxActivePasses = O.MaxActivePasses;
  for (const auto &A : O.Allow) {
    auto Network = Cidr::Parse(A);
    if (!Network) {
      throw std::invalid_argument("--allow: not a network: " + A);
    }
    C.Allow.push_back(*Network);
  }
  return C;
}

} // namespace zem4::server
