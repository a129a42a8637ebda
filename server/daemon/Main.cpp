// zem4d: serve the files of one directory to zem4 clients.
#include "server/daemon/Daemon.h"

#include <CLI/CLI.hpp>
#include <iostream>

int main(int argc, char **argv) {
  zem4::server::DaemonOptions Options;
  CLI::App App{"zem4d - serves files to zem4 clients by unicast and multicast"};
  zem4::server::AddDaemonOptions(App, Options);
  std::string User;
  App.add_option("--user", User,
                 "Account to run as once the sockets are bound and the root is open");
  App.set_version_flag("--version", "zem4d " + zem4::server::VersionText());
  App.footer(zem4::server::kDaemonExitHelp);
  try {
    App.parse(argc, argv);
  } catch (const CLI::Success &E) { // --help, --version
    return App.exit(E);
  } catch (const CLI::ParseError &E) {
    // CLI11's own codes (105, 109, ...) would tell a service manager nothing.
    App.exit(E);
    return zem4::server::kDaemonExitUsage;
  }
  return zem4::server::RunDaemon(Options, User);
}
