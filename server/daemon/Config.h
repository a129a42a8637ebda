// zem4d's command line and configuration file: one set of keys (the long
// option names), --check-config, and the reload on SIGHUP.
#pragma once

#include "server/daemon/Daemon.h"

#include <iosfwd>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace CLI {
class ParseError;
}

namespace zem4::server {

// What zem4d has beside the daemon's own options (`zem4 serve` has none of it).
struct ServiceOptions {
  std::string ConfigFile; // --config
  bool CheckConfig = false;
  std::string User;
  std::string LogTarget = "auto";
  std::string LogFormat = "text";
  std::string Metrics; // [ADDR:]PORT; empty: none
};

struct Zem4dSettings {
  DaemonOptions Daemon;
  ServiceOptions Service;
  // Every key as the file would give it (defaults too), to see what changed.
  std::map<std::string, std::string> Keys;
};

// The keys a reload applies; any other key waits for a restart.
inline constexpr const char *kReloadableKeys[] = {
    "allow",      "max-sessions", "max-per-client", "max-groups", "max-active-passes",
    "rate-limit", "log-level",    "stats-interval"};

// zem4d's options on App, writing into S.
void AddZem4dOptions(CLI::App &App, Zem4dSettings &S);

// Parses Args (argv without the program name) and the file --config names;
// throws CLI::ParseError (CLI::Success for --help and --version).
Zem4dSettings ParseZem4d(const std::vector<std::string> &Args);

// A parse error in words; File names the configuration file in them.
std::string ParseErrorText(const CLI::ParseError &E, const std::string &File);

// --check-config: what a start checks, short of taking the port; one line on
// Out (exit 0) or on Err (exit 2).
int CheckConfig(const Zem4dSettings &S, std::ostream &Out, std::ostream &Err);

// Everything zem4d adds around the daemon: its logger, the metrics, and the
// reload on SIGHUP (the command line read again, file included).
DaemonHooks Zem4dHooks(std::vector<std::string> Args, const Zem4dSettings &S);

} // namespace zem4::server
