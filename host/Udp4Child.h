// One UDP4 child: the EFI_UDP4_PROTOCOL instance on a child handle, its
// configuration, its network port, groups and tokens.
#pragma once

#include "host/Network.h"
#include "host/Udp4.h"

#include "efi/Uefi.h"

#include <deque>
#include <memory>
#include <optional>
#include <vector>

namespace zem4::host {

class Udp4ControllerImpl;

class Udp4Child final : private PortListener {
public:
  Udp4Child(Udp4ControllerImpl &controller);
  ~Udp4Child();
  Udp4Child(const Udp4Child &) = delete;
  Udp4Child &operator=(const Udp4Child &) = delete;

  // The child that owns this interface, if it is one of ours and alive.
  static Udp4Child *FromProtocol(const EFI_UDP4_PROTOCOL *protocol);

  EFI_UDP4_PROTOCOL *Protocol() { return &protocol_; }
  EFI_HANDLE Handle() const { return handle_; }
  void SetHandle(EFI_HANDLE handle) { handle_ = handle; }
  Udp4ControllerImpl &Controller() { return controller_; }
  bool destroying = false;

  EFI_STATUS GetModeData(EFI_UDP4_CONFIG_DATA *udp, EFI_IP4_MODE_DATA *ip4,
                         EFI_MANAGED_NETWORK_CONFIG_DATA *mnp, EFI_SIMPLE_NETWORK_MODE *snp);
  EFI_STATUS Configure(const EFI_UDP4_CONFIG_DATA *config);
  EFI_STATUS Groups(bool join, const EFI_IPv4_ADDRESS *group);
  EFI_STATUS Transmit(EFI_UDP4_COMPLETION_TOKEN *token);
  EFI_STATUS Receive(EFI_UDP4_COMPLETION_TOKEN *token);
  EFI_STATUS Cancel(EFI_UDP4_COMPLETION_TOKEN *token);

  // Overrides the controller's send completion for this child.
  void SetSendCompletion(SendCompletion mode);
  SendCompletion SendMode() const;

  // Back to unconfigured: the posted receives and queued transmits end with
  // EFI_ABORTED, groups are left and the port is closed.
  void Reset();
  // Still installed but its controller is going: reset, and answer nothing
  // more (calls through the interface get EFI_INVALID_PARAMETER).
  void Orphan();
  // The default address has just been obtained: bind a waiting configuration.
  void OnMapped();
  // From the controller's tick: complete transmits queued before it (as the
  // send completion says) and hand waiting datagrams to posted receives, in
  // the order they were posted. True when anything happened.
  bool Service();
  bool HasWork() const;

private:
  // A datagram reached the port: work when a receive is waiting for it.
  void OnArrival() override;
  bool Mapped() const;
  Ipv4 LocalAddress() const;
  Ipv4 SubnetMask() const;
  EFI_STATUS OpenPort();
  struct Pending {
    EFI_UDP4_COMPLETION_TOKEN *token = nullptr;
    unsigned ticksHeld = 0; // out of order: ticks it was passed over
  };
  bool CompleteTransmits();
  bool DeliverReceives();
  // Sets the status and signals the event; `call` names the token's kind.
  void Complete(const char *call, EFI_UDP4_COMPLETION_TOKEN *token, EFI_STATUS status);
  bool Queued(const EFI_UDP4_COMPLETION_TOKEN *token) const;
  // A token's event must notify at TPL_CALLBACK or below.
  void CheckTokenEvent(const char *call, const EFI_UDP4_COMPLETION_TOKEN &token);

  EFI_UDP4_PROTOCOL protocol_; // first: the interface handed out
  Udp4ControllerImpl &controller_;
  EFI_HANDLE handle_ = nullptr;
  bool configured_ = false;
  EFI_UDP4_CONFIG_DATA config_{};
  std::unique_ptr<NetworkPort> port_;
  std::vector<Ipv4> groups_;
  std::vector<EFI_IPv4_ADDRESS> groupTable_; // what GetModeData points at
  std::deque<Pending> transmits_;
  std::deque<EFI_UDP4_COMPLETION_TOKEN *> receives_;
  std::optional<SendCompletion> sendCompletion_;
};

// The function tables every child and controller interface starts from.
const EFI_UDP4_PROTOCOL &Udp4ProtocolTable();
const EFI_SERVICE_BINDING_PROTOCOL &Udp4ServiceBindingTable();

inline Ipv4 ToIpv4(const EFI_IPv4_ADDRESS &a) {
  return Ipv4::FromBytes(a.Addr);
}
inline EFI_IPv4_ADDRESS ToEfi(Ipv4 a) {
  EFI_IPv4_ADDRESS out;
  for (int i = 0; i < 4; ++i)
    out.Addr[i] = a.b[i];
  return out;
}

} // namespace zem4::host
