// UDP4 for the host firmware: a controller handle that carries the UDP4
// service binding; its children carry the UDP4 protocol, served over a
// Network port. Behaves as UEFI firmware does where a driver can tell.
#pragma once

#include "host/Firmware.h"
#include "host/Network.h"

#include <memory>

namespace zem4::host {

struct Udp4ControllerOptions {
  // Virtual time from creation until the default address is obtained;
  // until then UseDefaultAddress configurations get EFI_NO_MAPPING.
  Time100ns mappingDelay = 0;
  // Subnet mask reported for the default address.
  Ipv4 subnetMask{255, 255, 255, 0};
  // Transmits queued per child before EFI_NOT_READY.
  size_t transmitQueueLimit = 1024;
  // Groups per child before EFI_OUT_OF_RESOURCES.
  size_t groupLimit = 32;
};

class Udp4ControllerImpl;

// One network controller with its UDP4 service binding. Destroying it
// disconnects the drivers on it, destroys the UDP4 children left and
// uninstalls everything. It must not outlive its Firmware or Network.
class Udp4Controller {
public:
  Udp4Controller(Firmware &firmware, Network &network, Ipv4 address,
                 const Udp4ControllerOptions &options = {});
  ~Udp4Controller();
  Udp4Controller(Udp4Controller &&) noexcept;
  Udp4Controller &operator=(Udp4Controller &&) noexcept;

  // The controller handle (carries EFI_UDP4_SERVICE_BINDING_PROTOCOL).
  EFI_HANDLE Handle() const;
  EFI_SERVICE_BINDING_PROTOCOL *ServiceBinding() const;
  Ipv4 Address() const;
  // The default address has been obtained.
  bool Mapped() const;
  size_t ChildCount() const;
  // Datagrams handed to receivers of this controller and not yet recycled.
  size_t Unrecycled() const;

private:
  std::unique_ptr<Udp4ControllerImpl> impl_;
};

Udp4Controller MakeController(Firmware &firmware, Network &network, Ipv4 address,
                              Time100ns mappingDelay = 0);

// Name of the live counter that every controller of a firmware feeds.
inline constexpr const char *kUnrecycledCounter = "unrecycled datagrams";

} // namespace zem4::host
