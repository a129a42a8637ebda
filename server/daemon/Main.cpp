// zem4d: serve the files of one directory to zem4 clients.
#include "server/daemon/Config.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <iostream>

int main(int argc, char **argv) {
  using namespace zem4::server;
  // systemd may send its reload the moment we are started.
  HoldDaemonSignals();
  std::vector<std::string> Args(argv + 1, argv + argc);
  bool Check = std::find(Args.begin(), Args.end(), "--check-config") != Args.end();
  auto Config = std::find(Args.begin(), Args.end(), "--config");
  std::string File = Config != Args.end() && Config + 1 != Args.end() ? *(Config + 1) : "--config";
  Zem4dSettings S;
  CLI::App App{"zem4d - serves files to zem4 clients by unicast and multicast", "zem4d"};
  AddZem4dOptions(App, S);
  try {
    S = ParseZem4d(Args);
  } catch (const CLI::Success &E) { // --help, --version
    return App.exit(E);
  } catch (const CLI::ParseError &E) {
    if (Check) {
      std::cerr << "zem4d: configuration error: " << ParseErrorText(E, File) << "\n";
      return kDaemonExitUsage;
    }
    if (dynamic_cast<const CLI::ConfigError *>(&E) != nullptr) {
      std::cerr << "zem4d: " << ParseErrorText(E, File) << "\n";
      return kDaemonExitUsage;
    }
    // CLI11's own codes (105, 109, ...) would tell a service manager nothing.
    App.exit(E);
    return kDaemonExitUsage;
  }
  if (S.Service.CheckConfig) {
    return CheckConfig(S, std::cout, std::cerr);
  }
  return RunDaemon(S.Daemon, S.Service.User, Zem4dHooks(Args, S));
}
