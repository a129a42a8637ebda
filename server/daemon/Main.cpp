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
  CLI11_PARSE(App, argc, argv);
  return zem4::server::RunDaemon(Options, User);
}
