#include "server/daemon/Config.h"

#include "server/daemon/Logging.h"
#include "server/daemon/Metrics.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <asio.hpp>
#include <fmt/format.h>
#include <ostream>
#include <pwd.h>
#include <spdlog/spdlog.h>

namespace zem4::server {

namespace {

constexpr const char *kConfigHelp =
    R"(Configuration file (--config FILE): one "key = value" a line, the keys being the long
option names above without "--", e.g.
  root = "/srv/boot"
  bind = "10.1.2.3"
  allow = ["10.1.2.0/24", "127.0.0.0/8"]
  max-sessions = 32
  no-multicast = true
"#" starts a comment; an unknown key, a repeated key or a [section] is an error. The
command line wins over the file. SIGHUP reads the file again and applies
  {}
and any other key (bind, port, root...) keeps its running value until a restart.
--check-config checks the command line and the file as a start would (short of taking
the port), prints one line and exits 0 (good) or 2 (bad).)";

std::map<std::string, std::string> ConfigKeys(CLI::App &App) {
  std::map<std::string, std::string> Keys;
  std::string Text = App.config_to_str(true, false);
  size_t At = 0;
  while (At < Text.size()) {
    size_t End = std::min(Text.find('\n', At), Text.size());
    std::string Line = Text.substr(At, End - At);
    auto Eq = Line.find('=');
    if (Eq != std::string::npos && Line[0] != '#') {
      Keys[Line.substr(0, Eq)] = Line.substr(Eq + 1);
    }
    At = End + 1;
  }
  return Keys;
}

bool Reloadable(const std::string &Key) {
  return std::any_of(std::begin(kReloadableKeys), std::end(kReloadableKeys),
                     [&](const char *K) { return Key == K; });
}

std::string Join(const std::vector<std::string> &Items) {
  std::string Out;
  for (const auto &I : Items) {
    Out += (Out.empty() ? "" : ",") + I;
  }
  return Out;
}

// The running values of every key, and how to read them again.
struct Reloader {
  std::vector<std::string> Args;
  std::string File;
  std::map<std::string, std::string> Running;
  Daemon &D;

  void operator()() {
    Zem4dSettings New;
    try {
      New = ParseZem4d(Args);
      D.ApplyLive(New.Daemon); // checks every value before it changes any
    } catch (const CLI::ParseError &E) {
      return Failed(ParseErrorText(E, File));
    } catch (const std::exception &E) {
      return Failed(E.what());
    }
    auto Level = spdlog::level::from_str(New.Daemon.LogLevel);
    spdlog::set_level(Level);
    std::vector<std::string> Applied, Kept;
    for (const auto &[Key, Value] : New.Keys) {
      auto It = Running.find(Key);
      if (It != Running.end() && It->second == Value) {
        continue;
      }
      if (Reloadable(Key)) {
        Applied.push_back(Key);
        Running[Key] = Value;
      } else {
        Kept.push_back(Key);
      }
    }
    // Told even when the new level hides info lines (unless it hides warnings too).
    LogLine(Level <= spdlog::level::info ? NoteLevel::Info : NoteLevel::Warn,
            LogRecord{"reloaded",
                      std::string("configuration reloaded from {file}: ") +
                          (Applied.empty() ? "nothing changed" : "applied {applied}") +
                          (Kept.empty() ? "" : "; kept until a restart: {kept}"),
                      {},
                      true}
                .Add("file", Word{File})
                .Add("applied", Word{Join(Applied)})
                .Add("kept", Word{Join(Kept)}));
  }

  void Failed(const std::string &Why) const {
    LogLine(NoteLevel::Warn,
            LogRecord{"reload_failed",
                      "configuration reload from {file} failed, running settings kept: {error}",
                      {},
                      true}
                .Add("file", Word{File})
                .Add("error", Word{Why}));
  }
};

} // namespace

std::string ParseErrorText(const CLI::ParseError &E, const std::string &File) {
  // CLI11 says "INI was not able to parse KEY" (a section comes as "NAME.++").
  std::string What = E.what();
  const std::string Unknown = "INI was not able to parse ";
  if (What.rfind(Unknown, 0) == 0) {
    std::string Key = What.substr(Unknown.size());
    if (Key.size() > 3 && Key.compare(Key.size() - 3, 3, ".++") == 0) {
      return File + ": unknown section [" + Key.substr(0, Key.size() - 3) + "]";
    }
    return File + ": unknown key " + Key;
  }
  return What;
}

void AddZem4dOptions(CLI::App &App, Zem4dSettings &S) {
  AddDaemonOptions(App, S.Daemon);
  auto &O = S.Service;
  App.add_option("--user", O.User,
                 "Account to run as once the sockets are bound and the root is open");
  App.add_option("--log-target", O.LogTarget,
                 "auto, stderr, journal or syslog; auto is the journal when $JOURNAL_STREAM "
                 "names this stderr, else stderr")
      ->capture_default_str()
      ->check(
          CLI::IsMember(std::vector<std::string>(std::begin(kLogTargets), std::end(kLogTargets))));
  App.add_option("--log-format", O.LogFormat,
                 "text, or json: one object a line, a transfer's and the totals' key=value "
                 "pairs as fields")
      ->capture_default_str()
      ->check(
          CLI::IsMember(std::vector<std::string>(std::begin(kLogFormats), std::end(kLogFormats))));
  App.add_option("--metrics", O.Metrics,
                 "[ADDRESS:]PORT: serve the totals and group gauges in the Prometheus text "
                 "format at http://ADDRESS:PORT/metrics (ADDRESS 127.0.0.1 if left out)")
      ->check(CLI::Validator(
          [](std::string &Value) -> std::string {
            try {
              ParseMetricsAddress(Value);
              return {};
            } catch (const std::exception &E) {
              return E.what();
            }
          },
          "[ADDRESS:]PORT"));
  App.set_config("--config", "", "Read options from FILE (keys below); SIGHUP reads it again");
  App.allow_config_extras(CLI::config_extras_mode::error);
  App.add_flag("--check-config", O.CheckConfig,
               "Check the command line and the configuration file, print one line, exit 0 or 2")
      ->configurable(false);
  App.set_version_flag("--version", "zem4d " + VersionText());
  std::string Reloaded;
  for (const char *Key : kReloadableKeys) {
    Reloaded += (Reloaded.empty() ? "" : ", ") + std::string(Key);
  }
  App.footer(fmt::format(kConfigHelp, Reloaded) + "\n\n" + kDaemonExitHelp);
}

Zem4dSettings ParseZem4d(const std::vector<std::string> &Args) {
  Zem4dSettings S;
  CLI::App App{"zem4d"};
  AddZem4dOptions(App, S);
  std::vector<std::string> Reversed(Args.rbegin(), Args.rend()); // CLI11 takes them last first
  App.parse(Reversed);
  S.Service.ConfigFile = App.get_config_ptr()->as<std::string>();
  S.Keys = ConfigKeys(App);
  return S;
}

int CheckConfig(const Zem4dSettings &S, std::ostream &Out, std::ostream &Err) {
  try {
    // The start's own checks on a free port of the same address: the
    // configured one may be held by the zem4d this check is for.
    DaemonOptions O = S.Daemon;
    O.Port = 0;
    O.HandleSignals = false;
    asio::io_context Io;
    Daemon D(Io, O);
    if (!S.Service.User.empty() && ::getpwnam(S.Service.User.c_str()) == nullptr) {
      throw ConfigError("--user: no such user: " + S.Service.User);
    }
    Out << fmt::format("zem4d: configuration ok: serving {} on {}:{}\n", O.Root, O.Bind,
                       S.Daemon.Port);
    return 0;
  } catch (const std::exception &E) {
    Err << "zem4d: configuration error: " << E.what() << "\n";
    return kDaemonExitUsage;
  }
}

DaemonHooks Zem4dHooks(std::vector<std::string> Args, const Zem4dSettings &S) {
  DaemonHooks H;
  H.Logging = [Target = S.Service.LogTarget, Format = S.Service.LogFormat] {
    InstallLogger(Target, Format);
  };
  H.Prepare = [Args = std::move(Args), S](asio::io_context &Io,
                                          Daemon &D) -> std::shared_ptr<void> {
    std::shared_ptr<MetricsServer> Metrics;
    if (!S.Service.Metrics.empty()) {
      Metrics = std::make_shared<MetricsServer>(Io, S.Service.Metrics, D);
      D.SetStopHook([Weak = std::weak_ptr<MetricsServer>(Metrics)] {
        if (auto M = Weak.lock()) {
          M->Stop();
        }
      });
    }
    if (!S.Service.ConfigFile.empty()) {
      auto R = std::make_shared<Reloader>(Reloader{Args, S.Service.ConfigFile, S.Keys, D});
      D.SetReloadHook([R] { (*R)(); });
    }
    return Metrics;
  };
  return H;
}

} // namespace zem4::server
