// UDP4 for the host firmware: a controller handle that carries the UDP4
// service binding; its children carry the UDP4 protocol, served over a
// Network port. Behaves as UEFI firmware does where a driver can tell, and is
// stricter where firmware would only misbehave later: calls above
// TPL_CALLBACK and completions on closed events are recorded as violations,
// sends complete later than Transmit (in order, out of order or held, as set),
// and GetModeData writes a whole published IPv4 mode-data layout.
#pragma once

#include "host/Firmware.h"
#include "host/Network.h"

#include <memory>

namespace zem4::host {

// When UDP4 completes a transmit token. Real stacks complete sends from their
// own poll, later than Transmit, and not always in the order they were queued.
enum class SendCompletion {
  NextTick,   // at the next Poll or timer tick after Transmit, in order
  OutOfOrder, // at later ticks, shuffled, some held back a few ticks (seeded)
  Held,       // never by themselves: Configure(NULL), Cancel or the child's
              // end aborts them with EFI_ABORTED
};

// Which published EFI_IP4_MODE_DATA layout GetModeData writes.
enum class Ip4ModeLayout {
  Current, // MaxPacketSize after IsStarted, IsConfigured at offset 36
  Uefi20,  // the 2.0-era layout: no MaxPacketSize, IsConfigured at offset 32
};

struct Udp4ControllerOptions {
  // Virtual time from creation until the default address is obtained;
  // until then UseDefaultAddress configurations get EFI_NO_MAPPING.
  Time100ns mappingDelay = 0;
  // Subnet mask reported for the default address.
  Ipv4 subnetMask{255, 255, 255, 0};
  // Transmits queued per child before EFI_NOT_READY.
  size_t transmitQueueLimit = 1024;
  // Receive tokens queued per child before EFI_NOT_READY.
  size_t receiveQueueLimit = 16;
  // Groups per child before EFI_OUT_OF_RESOURCES.
  size_t groupLimit = 32;
  SendCompletion sendCompletion = SendCompletion::NextTick;
  Ip4ModeLayout ip4ModeLayout = Ip4ModeLayout::Current;
  // Drives every seeded choice of the controller (out-of-order completion).
  uint64_t seed = 1;
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

  // For every child without a setting of its own; takes effect at the next tick.
  void SetSendCompletion(SendCompletion mode);
  // For one UDP4 child of this controller; false when `child` is none.
  bool SetSendCompletion(EFI_HANDLE child, SendCompletion mode);
  void SetIp4ModeLayout(Ip4ModeLayout layout);

private:
  std::unique_ptr<Udp4ControllerImpl> impl_;
};

Udp4Controller MakeController(Firmware &firmware, Network &network, Ipv4 address,
                              Time100ns mappingDelay = 0);

// Name of the live counter that every controller of a firmware feeds.
inline constexpr const char *kUnrecycledCounter = "unrecycled datagrams";

} // namespace zem4::host
