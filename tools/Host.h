// The firmware the command line runs the driver in: a real-clock host
// firmware over the socket network, one UDP4 controller per station address,
// the driver loaded through its entry point and connected to each controller.
// Children are made through the driver's service binding and used through the
// Zem4 protocol, as a boot loader would.
#pragma once

#include "host/Firmware.h"
#include "host/ImageLoader.h"
#include "host/SocketNetwork.h"
#include "host/Udp4.h"
#include "tools/Gaps.h"
#include "zem4/Zem4.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zem4::cli {

struct HostOptions {
  host::SocketNetworkOptions net;
  // Driver diagnostic levels to show (DIAG_ERROR, DIAG_NOTICE); none by default.
  std::vector<uint32_t> logLevels;
  // Where shown diagnostic lines go.
  std::function<void(const std::string &)> onLog;
};

class Host {
public:
  explicit Host(HostOptions options);
  ~Host();
  Host(const Host &) = delete;
  Host &operator=(const Host &) = delete;

  host::Firmware &Fw() { return *fw_; }
  host::SocketNetwork &Net() { return *net_; }
  // Where downloads have their gaps counted from what the ports take in.
  GapTap &Gaps() { return gaps_; }

  // A controller for `station`, with the driver connected to it. Throws
  // Failure on error.
  EFI_HANDLE AddStation(net::Ipv4 station);
  struct Child {
    EFI_HANDLE controller = nullptr;
    EFI_HANDLE handle = nullptr;
    Zem4 *zem4 = nullptr;
  };
  Child CreateChild(EFI_HANDLE controller);
  void DestroyChild(Child &child);

  // Lets the firmware run once: a tick, and when nothing was runnable a wait
  // in poll() up to the next timer (or a datagram, or Wake).
  void Step();
  // Called whenever the firmware is about to idle, at the caller's TPL (also
  // inside a blocking driver call such as GetInfo); while set, idle waits
  // last at most 100 ms. Null clears it.
  void SetIdleWatch(std::function<void()> watch) { watch_ = std::move(watch); }

  // Shows the driver's diagnostic lines recorded since the last call.
  void FlushLog();

  // Disconnects every controller, unloads the driver, drops the controllers.
  // Returns what the firmware still holds (empty when nothing leaked).
  std::vector<std::string> TearDown();

private:
  EFI_STATUS Disconnect(EFI_HANDLE controller);

  HostOptions options_;
  GapTap gaps_;
  // A driver image file (--driver), kept mapped until the firmware is gone.
  std::unique_ptr<host::LoadedDriverImage> imageFile_;
  std::unique_ptr<host::Firmware> fw_;
  std::unique_ptr<host::SocketNetwork> net_;
  std::vector<std::unique_ptr<host::Udp4Controller>> controllers_;
  EFI_HANDLE image_ = nullptr;
  bool tornDown_ = false;
  std::function<void()> watch_;
};

// "HOST" or "HOST:port", HOST an IPv4 address or a name resolved to one;
// throws Failure(kExitUsage) otherwise.
void ParseServer(const std::string &text, net::Ipv4 &address, uint16_t &port);
net::Ipv4 ResolveHost(const std::string &name, const char *what);
// The address this machine sends from to reach `server` (its route's source).
net::Ipv4 RouteSource(net::Ipv4 server, uint16_t port);
net::Ipv4 ParseAddress(const std::string &text, const char *what);

} // namespace zem4::cli
