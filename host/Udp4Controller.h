// Inside of a UDP4 controller: the service binding, the children, the
// received datagrams handed out and not yet recycled, and the tick.
#pragma once

#include "host/Udp4.h"
#include "host/Udp4Child.h"

#include <map>
#include <memory>
#include <vector>

namespace zem4::host {

// Shared by every controller of one firmware; outlives them, so a datagram
// left unrecycled still shows in the firmware's leak report.
struct Udp4Shared {
  size_t unrecycled = 0;
  uint64_t activity = 0; // deliveries and completions, for Poll's idle test
};

class Udp4ControllerImpl final : public Device {
public:
  Udp4ControllerImpl(Firmware &firmware, Network &network, Ipv4 address,
                     const Udp4ControllerOptions &options);
  ~Udp4ControllerImpl() override;

  static Udp4ControllerImpl *FromServiceBinding(const EFI_SERVICE_BINDING_PROTOCOL *sb);

  Firmware &Fw() { return fw_; }
  Network &Net() { return net_; }
  const Udp4ControllerOptions &Options() const { return options_; }
  Udp4ControllerOptions &MutableOptions() { return options_; }
  Udp4Child *FindChild(EFI_HANDLE handle) const;
  // The controller's seeded sequence (SplitMix64).
  uint64_t NextRandom();
  Ipv4 Address() const { return address_; }
  bool Mapped() const { return mapped_; }
  EFI_HANDLE Handle() const { return handle_; }
  EFI_SERVICE_BINDING_PROTOCOL *ServiceBinding() { return &sb_; }
  size_t ChildCount() const { return children_.size(); }
  size_t Unrecycled() const { return records_.size(); }
  Udp4Shared &Shared() { return *shared_; }

  EFI_STATUS CreateChild(EFI_HANDLE *childHandle);
  EFI_STATUS DestroyChild(EFI_HANDLE childHandle);
  // Ticks the firmware; lets virtual time jump when the tick did nothing.
  EFI_STATUS Poll();
  // A child may have work: serviced at the next tick (every tick anyway on a
  // network that does not report arrivals).
  void Wake() { fw_.WakeDevice(*this); }

  // Fills `rx` for `token` and hands the datagram out until RecycleSignal.
  EFI_STATUS HandOut(ReceivedDatagram &&rx, EFI_UDP4_COMPLETION_TOKEN *token);

  void Service(Time100ns now) override;
  std::optional<Time100ns> NextDeadline() const override;

private:
  struct RxRecord;
  static void EFIAPI OnRecycle(EFI_EVENT event, void *context);
  void Recycle(RxRecord *record);

  EFI_SERVICE_BINDING_PROTOCOL sb_; // first: the interface handed out
  Firmware &fw_;
  Network &net_;
  Ipv4 address_;
  Udp4ControllerOptions options_;
  Time100ns mappedAt_;
  bool mapped_ = false;
  EFI_HANDLE handle_ = nullptr;
  EFI_HANDLE agent_ = nullptr; // the UDP4 stack's own handle, agent of its opens
  std::vector<std::unique_ptr<Udp4Child>> children_;
  std::map<RxRecord *, std::unique_ptr<RxRecord>> records_;
  std::shared_ptr<Udp4Shared> shared_;
  bool inService_ = false;
  uint64_t random_ = 0;
};

} // namespace zem4::host
