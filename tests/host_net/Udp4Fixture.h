// A firmware with a simulated LAN, controllers and raw endpoints on it, and
// small RAII helpers for UDP4 children and completion tokens.
#pragma once

#include "host/SimNetwork.h"
#include "host/Udp4.h"
#include "tests/common/FirmwareFixture.h"

#include <memory>
#include <vector>

namespace zem4::test {

inline const host::Ipv4 kClientIp{10, 0, 0, 2};
inline const host::Ipv4 kServerIp{10, 0, 0, 1};
inline const host::Ipv4 kOtherIp{10, 0, 0, 7};
inline const host::Ipv4 kGroupIp{239, 255, 0, 1};

inline EFI_IPv4_ADDRESS Efi(host::Ipv4 a) {
  return EFI_IPv4_ADDRESS{{a.b[0], a.b[1], a.b[2], a.b[3]}};
}

// GetModeData's IPv4 record in the layout the host presents by default, and
// the pointer type the function table declares for it.
using Ip4Mode = EFI_IP4_MODE_DATA_WITH_MAX_PACKET_SIZE;
inline EFI_IP4_MODE_DATA *AsIp4(Ip4Mode *m) {
  return reinterpret_cast<EFI_IP4_MODE_DATA *>(m);
}

// A completion token with an event that counts its notifications.
class TestToken {
public:
  explicit TestToken(host::Firmware &fw, EFI_TPL tpl = TPL_CALLBACK) : fw_(fw) {
    EXPECT_EQ(fw.BootServices()->CreateEvent(EVT_NOTIFY_SIGNAL, tpl, &Notify, this, &token.Event),
              EFI_SUCCESS);
    token.Status = EFI_NOT_READY; // so that a completion shows
  }
  ~TestToken() {
    if (token.Event)
      fw_.BootServices()->CloseEvent(token.Event);
  }
  TestToken(const TestToken &) = delete;
  TestToken &operator=(const TestToken &) = delete;

  EFI_UDP4_COMPLETION_TOKEN token{};
  int fired = 0;

private:
  static VOID EFIAPI Notify(EFI_EVENT, VOID *context) {
    ++static_cast<TestToken *>(context)->fired;
  }
  host::Firmware &fw_;
};

// Transmit data with its own fragment table (up to four fragments).
struct TxData {
  struct {
    EFI_UDP4_TRANSMIT_DATA head;
    EFI_UDP4_FRAGMENT_DATA more[3];
  } d{};
  EFI_UDP4_SESSION_DATA session{};
  std::vector<std::vector<uint8_t>> pieces;

  explicit TxData(std::vector<std::vector<uint8_t>> parts) : pieces(std::move(parts)) {
    d.head.FragmentCount = UINT32(pieces.size());
    // Through a pointer: the declared table has one entry, ours runs on.
    EFI_UDP4_FRAGMENT_DATA *table = d.head.FragmentTable;
    for (size_t i = 0; i < pieces.size(); ++i) {
      table[i].FragmentLength = UINT32(pieces[i].size());
      table[i].FragmentBuffer = pieces[i].data();
      d.head.DataLength += UINT32(pieces[i].size());
    }
  }
  TxData &To(host::Ipv4 dst, uint16_t port) {
    session.DestinationAddress = Efi(dst);
    session.DestinationPort = port;
    d.head.UdpSessionData = &session;
    return *this;
  }
  EFI_UDP4_TRANSMIT_DATA *Get() { return &d.head; }
};

class Udp4Fixture : public FirmwareFixture {
protected:
  static constexpr uint64_t kSeed = 4242;

  void SetUp() override {
    FirmwareFixture::SetUp();
    net_ = std::make_unique<host::SimNetwork>([this] { return Fw().Now(); }, kSeed);
    Fw().AddDevice(*net_);
  }
  void TearDown() override {
    endpoints_.clear();
    controllers_.clear();
    Fw().RemoveDevice(*net_);
    if (HasFailure())
      std::fprintf(stderr, "network: %s\n", net_->Describe().c_str());
    FirmwareFixture::TearDown();
    net_.reset();
  }

  host::SimNetwork &Net() { return *net_; }

  host::Udp4Controller &Controller(host::Ipv4 address, host::Time100ns mappingDelay = 0) {
    host::Udp4ControllerOptions options;
    options.mappingDelay = mappingDelay;
    return Controller(address, options);
  }
  host::Udp4Controller &Controller(host::Ipv4 address, const host::Udp4ControllerOptions &options) {
    controllers_.push_back(std::make_unique<host::Udp4Controller>(Fw(), *net_, address, options));
    return *controllers_.back();
  }

  struct Child {
    EFI_HANDLE handle = nullptr;
    EFI_UDP4_PROTOCOL *udp = nullptr;
  };
  Child CreateChild(host::Udp4Controller &ctl) {
    Child c;
    EXPECT_EQ(ctl.ServiceBinding()->CreateChild(ctl.ServiceBinding(), &c.handle), EFI_SUCCESS);
    c.udp = static_cast<EFI_UDP4_PROTOCOL *>(Fw().GetProtocol(c.handle, gEfiUdp4ProtocolGuid));
    EXPECT_NE(c.udp, nullptr);
    return c;
  }

  // StationAddress/port given, connected to `remote` when set.
  static EFI_UDP4_CONFIG_DATA Config(host::Ipv4 station, uint16_t port, host::Ipv4 remote = {},
                                     uint16_t remotePort = 0) {
    EFI_UDP4_CONFIG_DATA c{};
    c.TimeToLive = 64;
    c.StationAddress = Efi(station);
    c.SubnetMask = Efi(host::Ipv4(255, 255, 255, 0));
    c.StationPort = port;
    c.RemoteAddress = Efi(remote);
    c.RemotePort = remotePort;
    return c;
  }

  host::PeerPort &Peer(host::Ipv4 address, uint16_t port) {
    endpoints_.push_back(
        net_->OpenPeerPort(address, port, [this](const host::Datagram &d, host::Time100ns) {
          peerLog_.push_back(d);
        }));
    return *endpoints_.back();
  }

  // Polls `udp` until `done` or `limit` polls; the number of polls made.
  template <typename Pred> int PollUntil(EFI_UDP4_PROTOCOL *udp, Pred done, int limit = 100) {
    int n = 0;
    while (!done() && n < limit) {
      EXPECT_EQ(udp->Poll(udp), EFI_SUCCESS);
      ++n;
    }
    return n;
  }

  std::vector<host::Datagram> peerLog_;

private:
  std::unique_ptr<host::SimNetwork> net_;
  std::vector<std::unique_ptr<host::Udp4Controller>> controllers_;
  std::vector<std::unique_ptr<host::PeerPort>> endpoints_;
};

} // namespace zem4::test
