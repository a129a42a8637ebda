// zem4: download files with the zem4 driver, run as firmware runs it, over
// real UDP; serve files; show the whole system at work (zem4 demo).
#include "tools/Commands.h"
#include "tools/DriverImage.h"
#include "tools/Exit.h"
#include "tools/Signals.h"

#include "server/daemon/Daemon.h"

#include <CLI/CLI.hpp>

#include <cstdio>

using namespace zem4::cli;

// What the progress line's "gaps" count.
constexpr const char *kGapsHelp =
    R"(Progress: "gaps" counts the blocks of the file that arrived after a later
block had (lost or reordered on the way and sent again, or sent before this
client joined its multicast group), each block once, so never more than the
file has. A gap costs time, never data: the copy is still checked whole.)";

int main(int argc, char **argv) {
  IgnoreWriteSignals();
  CLI::App app{"zem4 - boot-time network downloads by unicast and multicast, run on Linux"};
  app.require_subcommand(1);
  app.set_version_flag("--version", "zem4 " + zem4::server::VersionText());
  app.footer(kExitCodeHelp);

  GetOptions get;
  auto *getCmd = app.add_subcommand("get", "Download FILE from a zem4 server through the driver");
  getCmd
      ->add_option("FILE", get.files,
                   "File names on the server; several are fetched side by side (4 at a time)")
      ->required();
  getCmd->add_option("--server", get.server, "Server HOST[:PORT] (an IPv4 address or a name)")
      ->capture_default_str();
  getCmd->add_option("--out,-o", get.out,
                     "Output file, device or FIFO, - for standard output, or a directory "
                     "(default: the file's name here). A symbolic link is written through; "
                     "nothing but a regular file is ever replaced");
  getCmd->add_flag("--multicast", get.multicast,
                   "Join the file's multicast group; falls back to unicast when it stays silent");
  getCmd->add_option("--station", get.station,
                     "This client's IPv4 address (default: the source of the route to the server)");
  getCmd->add_option("--mcast-if", get.mcastIf,
                     "Interface to join the multicast group on, by name or IPv4 address "
                     "(default: the one that has the station address)");
  getCmd->add_flag("--stream", get.stream, "Take the data in file order through CheckPacket");
  getCmd->add_option("--timeout", get.timeout, "Give up after S seconds without progress")
      ->capture_default_str()
      ->check(CLI::Range(1u, 3600u));
  getCmd->add_option("--retries", get.retries, "Tries when the server is busy")
      ->capture_default_str();
  getCmd
      ->add_option("--mcast-wait", get.mcastWait,
                   "Seconds to wait for multicast data before falling back to unicast")
      ->capture_default_str()
      ->check(CLI::Range(1u, 3600u));
  getCmd
      ->add_option("--log", get.log,
                   "Driver diagnostic lines to show: off, error (failures only), notice")
      ->capture_default_str()
      ->check(CLI::IsMember({"off", "error", "notice", "all"}));
  getCmd->add_flag("--quiet,-q", get.quiet, "No progress, no summary; errors only");
  getCmd->add_option("--loss", get.loss, "Drop this share of received datagrams (testing)")
      ->check(CLI::Range(0.0, 0.9))
      ->group("Testing");
  getCmd->add_option("--seed", get.seed, "Seed of the injected loss")->group("Testing");
  std::string driver;
  const char *driverHelp = "Run this UEFI driver image instead of the built-in driver (X64 here, "
                           "IA32 through the 32-bit runner zem4-32)";
  getCmd->add_option("--driver", driver, driverHelp)->check(CLI::ExistingFile);
  getCmd->footer(std::string(kGapsHelp) + "\n\n" + kExitCodeHelp);

  InfoOptions info;
  auto *infoCmd = app.add_subcommand("info", "Ask the server about FILE: size, SHA-256, multicast");
  infoCmd->add_option("FILE", info.file, "File name on the server")->required();
  infoCmd->add_option("--server", info.server, "Server HOST[:PORT] (an IPv4 address or a name)")
      ->capture_default_str();
  infoCmd->add_option("--station", info.station,
                      "This client's IPv4 address (default: the source of the route to the "
                      "server)");
  infoCmd->add_flag("--multicast", info.multicast, "Ask as a multicast client (group and role)");
  infoCmd->add_option("--timeout", info.timeout, "Seconds to wait for an answer")
      ->capture_default_str()
      ->check(CLI::Range(1u, 3600u));
  infoCmd->footer(kExitCodeHelp);

  zem4::server::DaemonOptions serve;
  auto *serveCmd = app.add_subcommand("serve", "Serve the files of a directory (as zem4d does)");
  zem4::server::AddDaemonOptions(*serveCmd, serve);
  // Not the download's codes that the subcommands inherit: serve ends as zem4d does.
  serveCmd->footer(zem4::server::kDaemonExitHelp);

  DemoOptions demo;
  auto *demoCmd = app.add_subcommand(
      "demo", "Make a test file, serve it on 127.0.0.1 and download it by unicast and multicast");
  demoCmd->add_option("--size", demo.size, "Size of the test file (e.g. 32M, 1032, 64k)")
      ->capture_default_str();
  demoCmd->add_option("--clients", demo.clients, "Members of the multicast group")
      ->capture_default_str()
      ->check(CLI::Range(2u, 16u));
  demoCmd->add_option("--loss", demo.loss, "Share of datagrams the multicast members lose")
      ->capture_default_str()
      ->check(CLI::Range(0.0, 0.5));
  demoCmd->add_option("--seed", demo.seed, "Seed of the injected loss")->capture_default_str();
  demoCmd->add_flag("--keep", demo.keep, "Keep the temporary directory");
  demoCmd->add_option("--driver", driver, driverHelp)->check(CLI::ExistingFile);
  demoCmd->footer("Exits 0 only when every copy matches the file.");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp &e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp &e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion &e) {
    return app.exit(e);
  } catch (const CLI::ParseError &e) {
    app.exit(e);
    return kExitUsage;
  }

  try {
    if (!driver.empty())
      SelectDriverImage(driver, argv, *getCmd && get.quiet);
    if (*getCmd)
      return RunGet(get);
    if (*infoCmd)
      return RunInfo(info);
    if (*serveCmd)
      return zem4::server::RunDaemon(serve);
    if (*demoCmd)
      return RunDemo(demo);
  } catch (const Failure &f) {
    std::fprintf(stderr, "zem4: %s\n", f.what());
    return f.Code();
  } catch (const std::exception &e) {
    std::fprintf(stderr, "zem4: %s\n", e.what());
    return kExitFailure;
  }
  return kExitUsage;
}
