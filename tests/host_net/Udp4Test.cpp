// UDP4 as the driver meets it: service binding, configuration and the wait
// for a default address, transmit and receive through tokens in virtual time,
// fragment tables and recycling, groups, cancel, fault injection.
#include "tests/host_net/Udp4Fixture.h"

#include "host/FaultInjector.h"
#include "host/ProtocolServices.h"
#include "host/Udp4Child.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace zem4::test {
namespace {

using host::Ipv4;

std::vector<uint8_t> Payload(size_t n, uint8_t seed = 1) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i)
    v[i] = uint8_t(seed + i * 7);
  return v;
}

std::vector<uint8_t> Linear(const EFI_UDP4_RECEIVE_DATA &rx) {
  std::vector<uint8_t> out;
  const EFI_UDP4_FRAGMENT_DATA *table = rx.FragmentTable;
  for (UINT32 i = 0; i < rx.FragmentCount; ++i) {
    auto *p = static_cast<const uint8_t *>(table[i].FragmentBuffer);
    out.insert(out.end(), p, p + table[i].FragmentLength);
  }
  return out;
}

class Udp4Test : public Udp4Fixture {
protected:
  // Fails the next occurrence of `call` (counts run from the firmware's start).
  void FailNext(const char *call, uint64_t, EFI_STATUS status) {
    Fw().Faults().FailNth(call, Fw().Faults().Count(call) + 1, status);
  }
  // A child of ctl configured on kClientIp:1000.
  void ConfiguredChild(host::Udp4Controller &ctl, Child &c) {
    c = CreateChild(ctl);
    EFI_UDP4_CONFIG_DATA cfg = Config(kClientIp, 1000);
    ASSERT_EQ(c.udp->Configure(c.udp, &cfg), EFI_SUCCESS);
  }
  // Posts rx on c, has `from` send it `data` and polls until it is there;
  // the polls it took in *polls.
  void ReceiveOne(const Child &c, TestToken &rx, host::PeerPort &from,
                  const std::vector<uint8_t> &data, int *polls = nullptr) {
    ASSERT_EQ(c.udp->Receive(c.udp, &rx.token), EFI_SUCCESS);
    from.Send(kClientIp, 1000, data);
    const int n = PollUntil(c.udp, [&] { return rx.fired > 0; });
    if (polls != nullptr)
      *polls = n;
    ASSERT_EQ(rx.token.Status, EFI_SUCCESS);
  }
};

// ---- Service binding ----------------------------------------------------------

TEST_F(Udp4Test, ChildrenComeAndGoThroughTheServiceBinding) {
  auto &ctl = Controller(kClientIp);
  EFI_SERVICE_BINDING_PROTOCOL *sb = ctl.ServiceBinding();
  EXPECT_EQ(Fw().GetProtocol(ctl.Handle(), gEfiUdp4ServiceBindingProtocolGuid), sb);
  const size_t handlesBefore = Fw().Live().handles;

  Child a = CreateChild(ctl);
  Child b = CreateChild(ctl);
  EXPECT_NE(a.handle, b.handle);
  EXPECT_NE(a.udp, b.udp);
  EXPECT_EQ(ctl.ChildCount(), 2u);
  EXPECT_EQ(Fw().Live().handles, handlesBefore + 2);

  // Each child is recorded against the controller's service binding.
  EFI_OPEN_PROTOCOL_INFORMATION_ENTRY *info = nullptr;
  UINTN count = 0;
  ASSERT_EQ(Bs()->OpenProtocolInformation(ctl.Handle(), &gEfiUdp4ServiceBindingProtocolGuid, &info,
                                          &count),
            EFI_SUCCESS);
  ASSERT_EQ(count, 2u);
  EXPECT_EQ(info[0].ControllerHandle, a.handle);
  EXPECT_EQ(info[0].Attributes, EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER);
  EXPECT_EQ(info[1].ControllerHandle, b.handle);
  Bs()->FreePool(info);

  EXPECT_EQ(sb->DestroyChild(sb, a.handle), EFI_SUCCESS);
  EXPECT_FALSE(Fw().IsHandle(a.handle));
  EXPECT_EQ(sb->DestroyChild(sb, a.handle), EFI_INVALID_PARAMETER) << "handle is gone";
  EXPECT_EQ(ctl.ChildCount(), 1u);
  EXPECT_EQ(sb->DestroyChild(sb, b.handle), EFI_SUCCESS);
  EXPECT_EQ(Fw().Live().handles, handlesBefore);
  EXPECT_EQ(Fw().Live().openProtocolEntries, 0u);
}

TEST_F(Udp4Test, ServiceBindingRefusesBadArguments) {
  auto &ctl = Controller(kClientIp);
  auto &other = Controller(kOtherIp);
  EFI_SERVICE_BINDING_PROTOCOL *sb = ctl.ServiceBinding();
  EXPECT_EQ(sb->CreateChild(sb, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(sb->DestroyChild(sb, nullptr), EFI_INVALID_PARAMETER);
  EFI_SERVICE_BINDING_PROTOCOL fake = *sb;
  EFI_HANDLE h = nullptr;
  EXPECT_EQ(fake.CreateChild(&fake, &h), EFI_INVALID_PARAMETER) << "unknown This";
  EXPECT_EQ(h, nullptr);
  // A handle without UDP4, and another controller's child.
  EXPECT_EQ(sb->DestroyChild(sb, ctl.Handle()), EFI_UNSUPPORTED);
  Child foreign = CreateChild(other);
  EXPECT_EQ(sb->DestroyChild(sb, foreign.handle), EFI_INVALID_PARAMETER);
  EXPECT_EQ(other.ChildCount(), 1u);
}

TEST_F(Udp4Test, CreateChildAddsTheProtocolToAGivenHandle) {
  auto &ctl = Controller(kClientIp);
  static int marker;
  static const EFI_GUID kSomeGuid = {0x1, 0x2, 0x3, {4, 5, 6, 7, 8, 9, 10, 11}};
  EFI_HANDLE h = Fw().InstallProtocol(nullptr, kSomeGuid, &marker);
  ASSERT_NE(h, nullptr);
  EFI_HANDLE child = h;
  ASSERT_EQ(ctl.ServiceBinding()->CreateChild(ctl.ServiceBinding(), &child), EFI_SUCCESS);
  EXPECT_EQ(child, h);
  EXPECT_NE(Fw().GetProtocol(h, gEfiUdp4ProtocolGuid), nullptr);
  EXPECT_EQ(ctl.ServiceBinding()->DestroyChild(ctl.ServiceBinding(), h), EFI_SUCCESS);
  EXPECT_TRUE(Fw().IsHandle(h)) << "the other protocol keeps the handle";
  EXPECT_EQ(Fw().UninstallProtocol(h, kSomeGuid, &marker), EFI_SUCCESS);
}

TEST_F(Udp4Test, DestroyChildIsRefusedWhileADriverHoldsItAndTheChildStaysUsable) {
  auto &ctl = Controller(kClientIp);
  Child c = CreateChild(ctl);
  // An agent with no driver binding: nobody can stop it.
  static int marker;
  static const EFI_GUID kAgentGuid = {0x5, 0x6, 0x7, {1, 2, 3, 4, 5, 6, 7, 8}};
  EFI_HANDLE agent = Fw().InstallProtocol(nullptr, kAgentGuid, &marker);
  void *iface = nullptr;
  ASSERT_EQ(Bs()->OpenProtocol(c.handle, &gEfiUdp4ProtocolGuid, &iface, agent, ctl.Handle(),
                               EFI_OPEN_PROTOCOL_BY_DRIVER),
            EFI_SUCCESS);
  EFI_SERVICE_BINDING_PROTOCOL *sb = ctl.ServiceBinding();
  EXPECT_EQ(sb->DestroyChild(sb, c.handle), EFI_ACCESS_DENIED);
  EXPECT_EQ(ctl.ChildCount(), 1u);
  EFI_UDP4_CONFIG_DATA cfg = Config(kClientIp, 1000);
  EXPECT_EQ(c.udp->Configure(c.udp, &cfg), EFI_SUCCESS);
  // Its record against the controller was put back.
  EFI_OPEN_PROTOCOL_INFORMATION_ENTRY *info = nullptr;
  UINTN count = 0;
  ASSERT_EQ(Bs()->OpenProtocolInformation(ctl.Handle(), &gEfiUdp4ServiceBindingProtocolGuid, &info,
                                          &count),
            EFI_SUCCESS);
  EXPECT_EQ(count, 1u);
  Bs()->FreePool(info);

  ASSERT_EQ(Bs()->CloseProtocol(c.handle, &gEfiUdp4ProtocolGuid, agent, ctl.Handle()), EFI_SUCCESS);
  EXPECT_EQ(sb->DestroyChild(sb, c.handle), EFI_SUCCESS);
  EXPECT_EQ(Fw().UninstallProtocol(agent, kAgentGuid, &marker), EFI_SUCCESS);
}

// ---- Configure and GetModeData ---------------------------------------------------

TEST_F(Udp4Test, ConfigureChecksItsArguments) {
  auto &ctl = Controller(kClientIp);
  Child c = CreateChild(ctl);
  EFI_UDP4_CONFIG_DATA cfg = Config(kGroupIp, 1000);
  EXPECT_EQ(c.udp->Configure(c.udp, &cfg), EFI_INVALID_PARAMETER) << "multicast station";
  cfg = Config(Ipv4(255, 255, 255, 255), 1000);
  EXPECT_EQ(c.udp->Configure(c.udp, &cfg), EFI_INVALID_PARAMETER) << "broadcast station";
  cfg = Config(kClientIp, 1000);
  cfg.SubnetMask = Efi(Ipv4(255, 0, 255, 0));
  EXPECT_EQ(c.udp->Configure(c.udp, &cfg), EFI_INVALID_PARAMETER) << "mask with a hole";
  cfg = Config(kClientIp, 1000, kGroupIp);
  EXPECT_EQ(c.udp->Configure(c.udp, &cfg), EFI_INVALID_PARAMETER) << "multicast remote";
  EXPECT_EQ(c.udp->Configure(nullptr, &cfg), EFI_INVALID_PARAMETER);
  EFI_UDP4_CONFIG_DATA probe;
  EXPECT_EQ(c.udp->GetModeData(c.udp, &probe, nullptr, nullptr, nullptr), EFI_NOT_STARTED)
      << "nothing of the refused ones was kept";
}

TEST_F(Udp4Test, ReconfiguringNeedsAResetExceptForTheTunables) {
  auto &ctl = Controller(kClientIp);
  Child c = CreateChild(ctl);
  EFI_UDP4_CONFIG_DATA cfg = Config(kClientIp, 1000, kServerIp);
  ASSERT_EQ(c.udp->Configure(c.udp, &cfg), EFI_SUCCESS);
  EFI_UDP4_CONFIG_DATA tuned = cfg;
  tuned.TimeToLive = 7;
  tuned.ReceiveTimeout = 100;
  EXPECT_EQ(c.udp->Configure(c.udp, &tuned), EFI_SUCCESS);
  EFI_UDP4_CONFIG_DATA now{};
  ASSERT_EQ(c.udp->GetModeData(c.udp, &now, nullptr, nullptr, nullptr), EFI_SUCCESS);
  EXPECT_EQ(now.TimeToLive, 7);
  EFI_UDP4_CONFIG_DATA moved = cfg;
  moved.StationPort = 1001;
  EXPECT_EQ(c.udp->Configure(c.udp, &moved), EFI_ALREADY_STARTED);
  EXPECT_EQ(c.udp->Configure(c.udp, nullptr), EFI_SUCCESS);
  EXPECT_EQ(c.udp->Configure(c.udp, &moved), EFI_SUCCESS);
  EXPECT_EQ(c.udp->Configure(c.udp, nullptr), EFI_SUCCESS);
  EXPECT_EQ(c.udp->Configure(c.udp, nullptr), EFI_SUCCESS) << "resetting twice is fine";
}

TEST_F(Udp4Test, AStationPortIsExclusiveUnlessSharingIsAllowed) {
  auto &ctl = Controller(kClientIp);
  Child a = CreateChild(ctl), b = CreateChild(ctl);
  EFI_UDP4_CONFIG_DATA cfg = Config(kClientIp, 1000);
  ASSERT_EQ(a.udp->Configure(a.udp, &cfg), EFI_SUCCESS);
  EXPECT_EQ(b.udp->Configure(b.udp, &cfg), EFI_ACCESS_DENIED);
  cfg.AllowDuplicatePort = TRUE;
  EXPECT_EQ(b.udp->Configure(b.udp, &cfg), EFI_SUCCESS);
  // Port 0 picks a free one, reported back by GetModeData.
  Child e = CreateChild(ctl);
  EFI_UDP4_CONFIG_DATA any = Config(kClientIp, 0);
  ASSERT_EQ(e.udp->Configure(e.udp, &any), EFI_SUCCESS);
  EFI_UDP4_CONFIG_DATA got{};
  ASSERT_EQ(e.udp->GetModeData(e.udp, &got, nullptr, nullptr, nullptr), EFI_SUCCESS);
  EXPECT_GE(got.StationPort, 49152);
}

TEST_F(Udp4Test, GetModeDataReportsConfigurationAndIp4State) {
  auto &ctl = Controller(kClientIp);
  Child c = CreateChild(ctl);
  Ip4Mode ip4;
  std::memset(&ip4, 0xAB, sizeof ip4);
  ASSERT_EQ(c.udp->GetModeData(c.udp, nullptr, AsIp4(&ip4), nullptr, nullptr), EFI_SUCCESS);
  EXPECT_FALSE(ip4.IsStarted);
  EXPECT_FALSE(ip4.IsConfigured);
  EXPECT_EQ(c.udp->GetModeData(c.udp, nullptr, nullptr, nullptr, nullptr), EFI_SUCCESS);
  EXPECT_EQ(c.udp->GetModeData(nullptr, nullptr, AsIp4(&ip4), nullptr, nullptr),
            EFI_INVALID_PARAMETER);

  EFI_UDP4_CONFIG_DATA cfg = Config(kClientIp, 1000, kServerIp, 69);
  cfg.AcceptBroadcast = TRUE;
  ASSERT_EQ(c.udp->Configure(c.udp, &cfg), EFI_SUCCESS);
  EFI_UDP4_CONFIG_DATA got{};
  EFI_MANAGED_NETWORK_CONFIG_DATA mnp;
  EFI_SIMPLE_NETWORK_MODE snp;
  ASSERT_EQ(c.udp->GetModeData(c.udp, &got, AsIp4(&ip4), &mnp, &snp), EFI_SUCCESS);
  EXPECT_EQ(std::memcmp(&got, &cfg, sizeof cfg), 0);
  EXPECT_TRUE(ip4.IsStarted);
  EXPECT_TRUE(ip4.IsConfigured);
  EXPECT_EQ(ip4.ConfigData.DefaultProtocol, 17);
  EXPECT_TRUE(ip4.ConfigData.AcceptBroadcast);
  EXPECT_EQ(std::memcmp(&ip4.ConfigData.StationAddress, &cfg.StationAddress, 4), 0);
  EXPECT_EQ(ip4.ConfigData.TimeToLive, 64);
  EXPECT_EQ(ip4.GroupCount, 0u);
  EXPECT_EQ(ip4.RouteCount, 0u);
  EXPECT_EQ(snp.State, UINT32(EfiSimpleNetworkInitialized));
  EXPECT_TRUE(snp.MediaPresent);
}

TEST_F(Udp4Test, NoMappingUntilTheDefaultAddressArrivesThenConfigureSucceeds) {
  const host::Time100ns kDelay = 50'000'000; // 5 s
  auto &ctl = Controller(kClientIp, kDelay);
  Child c = CreateChild(ctl);
  EFI_UDP4_CONFIG_DATA cfg{};
  cfg.UseDefaultAddress = TRUE;
  cfg.StationPort = 1000;
  cfg.RemoteAddress = Efi(kServerIp);
  EXPECT_EQ(c.udp->Configure(c.udp, &cfg), EFI_NO_MAPPING);
  Ip4Mode ip4{};
  ASSERT_EQ(c.udp->GetModeData(c.udp, nullptr, AsIp4(&ip4), nullptr, nullptr), EFI_SUCCESS);
  EXPECT_FALSE(ip4.IsConfigured);
  TestToken rx(Fw());
  EXPECT_EQ(c.udp->Receive(c.udp, &rx.token), EFI_NO_MAPPING);
  EFI_IPv4_ADDRESS g = Efi(kGroupIp);
  EXPECT_EQ(c.udp->Groups(c.udp, TRUE, &g), EFI_NO_MAPPING);

  Fw().AdvanceBy(kDelay - 1);
  ASSERT_EQ(c.udp->GetModeData(c.udp, nullptr, AsIp4(&ip4), nullptr, nullptr), EFI_SUCCESS);
  EXPECT_FALSE(ip4.IsConfigured);
  EXPECT_FALSE(ctl.Mapped());

  // What the driver does: poll and look at IsConfigured. Idle polls let
  // virtual time jump to the moment the address comes.
  int polls = PollUntil(c.udp, [&] {
    c.udp->GetModeData(c.udp, nullptr, AsIp4(&ip4), nullptr, nullptr);
    return ip4.IsConfigured != 0;
  });
  EXPECT_LE(polls, 3);
  EXPECT_EQ(Fw().Now(), kDelay);
  EXPECT_EQ(host::ToIpv4(ip4.ConfigData.StationAddress), kClientIp);
  EXPECT_EQ(c.udp->Configure(c.udp, nullptr), EFI_SUCCESS);
  EXPECT_EQ(c.udp->Configure(c.udp, &cfg), EFI_SUCCESS);
  EXPECT_EQ(c.udp->Receive(c.udp, &rx.token), EFI_SUCCESS);
  // A configuration with an explicit station address never waited.
  Child d = CreateChild(ctl);
  EFI_UDP4_CONFIG_DATA fixed = Config(kClientIp, 1001);
  EXPECT_EQ(d.udp->Configure(d.udp, &fixed), EFI_SUCCESS);
  EXPECT_EQ(c.udp->Configure(c.udp, nullptr), EFI_SUCCESS); // before rx goes away
}

TEST_F(Udp4Test, AnExplicitStationAddressWorksBeforeTheDefaultOne) {
  auto &ctl = Controller(kClientIp, 50'000'000);
  Child c = CreateChild(ctl);
  EFI_UDP4_CONFIG_DATA cfg = Config(kClientIp, 1000);
  EXPECT_EQ(c.udp->Configure(c.udp, &cfg), EFI_SUCCESS);
  TestToken rx(Fw());
  EXPECT_EQ(c.udp->Receive(c.udp, &rx.token), EFI_SUCCESS);
  EXPECT_EQ(c.udp->Configure(c.udp, nullptr), EFI_SUCCESS);
  EXPECT_EQ(rx.token.Status, EFI_ABORTED);
}

// ---- Transmit -------------------------------------------------------------------

TEST_F(Udp4Test, TransmitSendsAtOnceAndCompletesOnALaterTick) {
  auto &ctl = Controller(kClientIp);
  Child c = CreateChild(ctl);
  EFI_UDP4_CONFIG_DATA cfg = Config(kClientIp, 1000, kServerIp, 5568);
  ASSERT_EQ(c.udp->Configure(c.udp, &cfg), EFI_SUCCESS);
  Peer(kServerIp, 5568);

  TestToken tx(Fw());
  TxData data({Payload(3, 1), Payload(5, 50)}); // linearised on the wire
  tx.token.Packet.TxData = data.Get();
  ASSERT_EQ(c.udp->Transmit(c.udp, &tx.token), EFI_SUCCESS);
  EXPECT_EQ(tx.fired, 0);
  EXPECT_EQ(tx.token.Status, EFI_NOT_READY) << "untouched until completion";
  ASSERT_EQ(Net().Capture().size(), 1u);
  const host::Datagram &sent = Net().Capture()[0].datagram;
  EXPECT_EQ(sent.src, kClientIp);
  EXPECT_EQ(sent.srcPort, 1000);
  EXPECT_EQ(sent.dst, kServerIp);
  EXPECT_EQ(sent.dstPort, 5568);
  std::vector<uint8_t> expect = Payload(3, 1);
  auto tail = Payload(5, 50);
  expect.insert(expect.end(), tail.begin(), tail.end());
  EXPECT_EQ(sent.payload, expect);

  ASSERT_EQ(c.udp->Poll(c.udp), EFI_SUCCESS);
  EXPECT_EQ(tx.fired, 1);
  EXPECT_EQ(tx.token.Status, EFI_SUCCESS);
  EXPECT_EQ(Fw().Now(), 0u) << "completion took no virtual time";
  PollUntil(c.udp, [&] { return !peerLog_.empty(); });
  ASSERT_EQ(peerLog_.size(), 1u);
  EXPECT_EQ(peerLog_[0].payload, expect);
}

TEST_F(Udp4Test, TransmitSessionDataOverridesTheConfiguredPeer) {
  auto &ctl = Controller(kClientIp);
  Child c = CreateChild(ctl);
  EFI_UDP4_CONFIG_DATA cfg = Config(kClientIp, 1000, kServerIp, 5568);
  ASSERT_EQ(c.udp->Configure(c.udp, &cfg), EFI_SUCCESS);
  TestToken tx(Fw());
  TxData data({Payload(4)});
  data.To(kOtherIp, 7000);
  tx.token.Packet.TxData = data.Get();
  ASSERT_EQ(c.udp->Transmit(c.udp, &tx.token), EFI_SUCCESS);
  EXPECT_EQ(Net().Capture().back().datagram.dst, kOtherIp);
  EXPECT_EQ(Net().Capture().back().datagram.dstPort, 7000);
  c.udp->Poll(c.udp);
  EXPECT_EQ(tx.token.Status, EFI_SUCCESS);
}

TEST_F(Udp4Test, TransmitRefusesBadArguments) {
  auto &ctl = Controller(kClientIp);
  Child c = CreateChild(ctl);
  TestToken tx(Fw());
  TxData good({Payload(4)});
  good.To(kServerIp, 69);
  tx.token.Packet.TxData = good.Get();
  EXPECT_EQ(c.udp->Transmit(c.udp, &tx.token), EFI_NOT_STARTED);
  EFI_UDP4_CONFIG_DATA cfg = Config(kClientIp, 1000); // not connected
  ASSERT_EQ(c.udp->Configure(c.udp, &cfg), EFI_SUCCESS);

  EXPECT_EQ(c.udp->Transmit(c.udp, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(c.udp->Transmit(nullptr, &tx.token), EFI_INVALID_PARAMETER);
  EFI_UDP4_COMPLETION_TOKEN noEvent{};
  noEvent.Packet.TxData = good.Get();
  EXPECT_EQ(c.udp->Transmit(c.udp, &noEvent), EFI_INVALID_PARAMETER);
  tx.token.Packet.TxData = nullptr;
  EXPECT_EQ(c.udp->Transmit(c.udp, &tx.token), EFI_INVALID_PARAMETER);

  auto expectInvalid = [&](TxData &d, const char *what) {
    tx.token.Packet.TxData = d.Get();
    EXPECT_EQ(c.udp->Transmit(c.udp, &tx.token), EFI_INVALID_PARAMETER) << what;
  };
  TxData noDest({Payload(4)});
  expectInvalid(noDest, "unconnected and no destination");
  TxData noFrag({});
  noFrag.To(kServerIp, 69);
  expectInvalid(noFrag, "no fragment");
  TxData badLen({Payload(4)});
  badLen.To(kServerIp, 69);
  badLen.d.head.DataLength = 5;
  expectInvalid(badLen, "length is not the fragments' sum");
  TxData emptyFrag({Payload(4), {}});
  emptyFrag.To(kServerIp, 69);
  expectInvalid(emptyFrag, "zero-length fragment");
  TxData nullBuf({Payload(4)});
  nullBuf.To(kServerIp, 69);
  nullBuf.d.head.FragmentTable[0].FragmentBuffer = nullptr;
  expectInvalid(nullBuf, "null fragment buffer");
  TxData badSrc({Payload(4)});
  badSrc.To(kServerIp, 69);
  badSrc.session.SourceAddress = Efi(kOtherIp);
  expectInvalid(badSrc, "source is not ours");
  TxData badGw({Payload(4)});
  badGw.To(kServerIp, 69);
  EFI_IPv4_ADDRESS gw = Efi(kGroupIp);
  badGw.d.head.GatewayAddress = &gw;
  expectInvalid(badGw, "multicast gateway");

  TxData huge({std::vector<uint8_t>(host::kMaxUdpPayload + 1)});
  huge.To(kServerIp, 69);
  tx.token.Packet.TxData = huge.Get();
  EXPECT_EQ(c.udp->Transmit(c.udp, &tx.token), EFI_BAD_BUFFER_SIZE);
  EXPECT_TRUE(Net().Capture().empty()) << "nothing refused reached the wire";

  // The same token (or event) twice while the first is queued.
  tx.token.Packet.TxData = good.Get();
  ASSERT_EQ(c.udp->Transmit(c.udp, &tx.token), EFI_SUCCESS);
  EXPECT_EQ(c.udp->Transmit(c.udp, &tx.token), EFI_ACCESS_DENIED);
  EFI_UDP4_COMPLETION_TOKEN sameEvent = tx.token;
  EXPECT_EQ(c.udp->Transmit(c.udp, &sameEvent), EFI_ACCESS_DENIED);
  c.udp->Poll(c.udp);
  EXPECT_EQ(tx.token.Status, EFI_SUCCESS);
  EXPECT_EQ(Net().Capture().size(), 1u);
}

// ---- Receive and recycling ----------------------------------------------------------

TEST_F(Udp4Test, DeliveryFillsTheToken) {
  auto &ctl = Controller(kClientIp);
  Child c = CreateChild(ctl);
  EFI_UDP4_CONFIG_DATA cfg = Config(kClientIp, 1000, kServerIp);
  ASSERT_EQ(c.udp->Configure(c.udp, &cfg), EFI_SUCCESS);
  TestToken rx(Fw());
  ASSERT_EQ(c.udp->Receive(c.udp, &rx.token), EFI_SUCCESS);
  EXPECT_EQ(c.udp->Receive(c.udp, nullptr), EFI_INVALID_PARAMETER);

  auto &server = Peer(kServerIp, 5568);
  server.Send(kClientIp, 1000, Payload(40, 9));
  EXPECT_EQ(rx.fired, 0) << "nothing before a tick";
  PollUntil(c.udp, [&] { return rx.fired > 0; });
  ASSERT_EQ(rx.fired, 1);
  ASSERT_EQ(rx.token.Status, EFI_SUCCESS);
  EFI_UDP4_RECEIVE_DATA *data = rx.token.Packet.RxData;
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(host::ToIpv4(data->UdpSession.SourceAddress), kServerIp);
  EXPECT_EQ(data->UdpSession.SourcePort, 5568);
  EXPECT_EQ(host::ToIpv4(data->UdpSession.DestinationAddress), kClientIp);
  EXPECT_EQ(data->UdpSession.DestinationPort, 1000);
  EXPECT_EQ(data->DataLength, 40u);
  ASSERT_EQ(data->FragmentCount, 1u);
  EXPECT_EQ(Linear(*data), Payload(40, 9));
  EXPECT_EQ(ctl.Unrecycled(), 1u);

  // The token may be posted again as soon as it completed.
  EXPECT_EQ(c.udp->Receive(c.udp, &rx.token), EFI_SUCCESS);
  ASSERT_EQ(Bs()->SignalEvent(data->RecycleSignal), EFI_SUCCESS);
  EXPECT_EQ(ctl.Unrecycled(), 0u);
  EXPECT_EQ(c.udp->Cancel(c.udp, &rx.token), EFI_SUCCESS);
}

TEST_F(Udp4Test, DatagramsWaitForAReceiveAndFiltersApply) {
  auto &ctl = Controller(kClientIp);
  Child c = CreateChild(ctl);
  EFI_UDP4_CONFIG_DATA cfg = Config(kClientIp, 1000, kServerIp);
  ASSERT_EQ(c.udp->Configure(c.udp, &cfg), EFI_SUCCESS);
  auto &stranger = Peer(kOtherIp, 5568);
  auto &server = Peer(kServerIp, 5568);
  auto &serverOtherPort = Peer(kServerIp, 6000);
  stranger.Send(kClientIp, 1000, Payload(4, 1));
  server.Send(kClientIp, 1000, Payload(4, 2));
  serverOtherPort.Send(kClientIp, 1000, Payload(4, 3)); // any port of the remote
  server.Send(kClientIp, 1001, Payload(4, 4));          // not our port
  for (int i = 0; i < 5; ++i)
    c.udp->Poll(c.udp);

  std::vector<uint8_t> firstBytes;
  for (int i = 0; i < 3; ++i) {
    TestToken rx(Fw());
    ASSERT_EQ(c.udp->Receive(c.udp, &rx.token), EFI_SUCCESS);
    PollUntil(
        c.udp, [&] { return rx.fired > 0; }, 5);
    if (!rx.fired) {
      ASSERT_EQ(c.udp->Cancel(c.udp, &rx.token), EFI_SUCCESS);
      EXPECT_EQ(rx.token.Status, EFI_ABORTED);
      break;
    }
    firstBytes.push_back(
        static_cast<uint8_t *>(rx.token.Packet.RxData->FragmentTable[0].FragmentBuffer)[0]);
    Bs()->SignalEvent(rx.token.Packet.RxData->RecycleSignal);
  }
  EXPECT_EQ(firstBytes, (std::vector<uint8_t>{Payload(4, 2)[0], Payload(4, 3)[0]}));
}

TEST_F(Udp4Test, AnEmptyDatagramArrivesWithNoFragment) {
  Child c;
  ASSERT_NO_FATAL_FAILURE(ConfiguredChild(Controller(kClientIp), c));
  TestToken rx(Fw());
  ASSERT_NO_FATAL_FAILURE(ReceiveOne(c, rx, Peer(kServerIp, 5568), {}));
  EXPECT_EQ(rx.token.Packet.RxData->DataLength, 0u);
  EXPECT_EQ(rx.token.Packet.RxData->FragmentCount, 0u);
  Bs()->SignalEvent(rx.token.Packet.RxData->RecycleSignal);
}

TEST_F(Udp4Test, FragmentedDeliveryGivesSeparateBuffersThatAddUp) {
  host::FaultProfile split;
  split.fragment = 1.0;
  split.maxFragments = 4;
  Net().SetDefaultProfile(split);
  auto &ctl = Controller(kClientIp);
  Child c;
  ASSERT_NO_FATAL_FAILURE(ConfiguredChild(ctl, c));
  auto &server = Peer(kServerIp, 5568);
  for (uint8_t round = 0; round < 10; ++round) {
    TestToken rx(Fw());
    ASSERT_NO_FATAL_FAILURE(ReceiveOne(c, rx, server, Payload(1042, round)));
    EFI_UDP4_RECEIVE_DATA *data = rx.token.Packet.RxData;
    ASSERT_GE(data->FragmentCount, 2u);
    ASSERT_LE(data->FragmentCount, 4u);
    EXPECT_EQ(data->DataLength, 1042u);
    EXPECT_EQ(Linear(*data), Payload(1042, round));
    const EFI_UDP4_FRAGMENT_DATA *table = data->FragmentTable;
    for (UINT32 i = 1; i < data->FragmentCount; ++i) {
      auto *prevEnd =
          static_cast<uint8_t *>(table[i - 1].FragmentBuffer) + table[i - 1].FragmentLength;
      EXPECT_NE(prevEnd, table[i].FragmentBuffer) << "fragments are not contiguous";
    }
    Bs()->SignalEvent(data->RecycleSignal);
  }
  EXPECT_EQ(ctl.Unrecycled(), 0u);
}

TEST_F(Udp4Test, AnUnrecycledDatagramShowsInTheLeakReport) {
  auto &ctl = Controller(kClientIp);
  Child c;
  ASSERT_NO_FATAL_FAILURE(ConfiguredChild(ctl, c));
  TestToken rx(Fw());
  ASSERT_NO_FATAL_FAILURE(ReceiveOne(c, rx, Peer(kServerIp, 5568), Payload(8)));
  const size_t eventsHeld = Fw().Live().events;
  auto report = Fw().LeakReport();
  EXPECT_NE(std::find(report.begin(), report.end(), std::string(host::kUnrecycledCounter) + ": 1"),
            report.end())
      << Join(report);
  // Destroying the child does not take the datagram away from its reader.
  EFI_UDP4_RECEIVE_DATA *data = rx.token.Packet.RxData;
  ASSERT_EQ(ctl.ServiceBinding()->DestroyChild(ctl.ServiceBinding(), c.handle), EFI_SUCCESS);
  EXPECT_EQ(Linear(*data), Payload(8));
  ASSERT_EQ(Bs()->SignalEvent(data->RecycleSignal), EFI_SUCCESS);
  EXPECT_EQ(Fw().Live().events, eventsHeld - 1) << "the recycle event went with it";
  EXPECT_EQ(ctl.Unrecycled(), 0u);
}

TEST(Udp4LeakTest, ADatagramLeftUnrecycledOutlivesItsControllerInTheReport) {
  host::Firmware fw;
  host::SimNetwork net([&] { return fw.Now(); }, 1);
  fw.AddDevice(net);
  std::vector<std::string> report;
  {
    host::Udp4Controller ctl = host::MakeController(fw, net, kClientIp);
    EFI_HANDLE h = nullptr;
    ASSERT_EQ(ctl.ServiceBinding()->CreateChild(ctl.ServiceBinding(), &h), EFI_SUCCESS);
    auto *udp = static_cast<EFI_UDP4_PROTOCOL *>(fw.GetProtocol(h, gEfiUdp4ProtocolGuid));
    EFI_UDP4_CONFIG_DATA cfg{};
    cfg.StationAddress = Efi(kClientIp);
    cfg.StationPort = 1000;
    ASSERT_EQ(udp->Configure(udp, &cfg), EFI_SUCCESS);
    EFI_UDP4_COMPLETION_TOKEN token{};
    token.Event = fw.CreateHostEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, [](EFI_EVENT) {});
    ASSERT_NE(token.Event, nullptr);
    ASSERT_EQ(udp->Receive(udp, &token), EFI_SUCCESS);
    auto peer = net.OpenPeerPort(kServerIp, 5568, nullptr);
    peer->Send(kClientIp, 1000, std::vector<uint8_t>{1, 2, 3});
    for (int i = 0; i < 5 && token.Packet.RxData == nullptr; ++i)
      udp->Poll(udp);
    ASSERT_NE(token.Packet.RxData, nullptr);
    fw.CloseEvent(token.Event);
    ASSERT_EQ(udp->Configure(udp, nullptr), EFI_SUCCESS);
  }
  report = fw.LeakReport();
  fw.RemoveDevice(net);
  EXPECT_NE(std::find(report.begin(), report.end(), std::string(host::kUnrecycledCounter) + ": 1"),
            report.end());
  EXPECT_EQ(fw.Live().handles, 0u) << "the controller took its handles with it";
  EXPECT_EQ(fw.Live().events, 0u);
  EXPECT_EQ(fw.Findings(), std::vector<std::string>{std::string(host::kUnrecycledCounter) + ": 1"})
      << "the datagram is all there is";
}

// ---- Configure(NULL), Cancel, groups ------------------------------------------------

TEST_F(Udp4Test, ResetAbortsTheReceiveAndQueuedTransmitsAndLeavesGroups) {
  auto &ctl = Controller(kClientIp);
  Child c = CreateChild(ctl);
  EFI_UDP4_CONFIG_DATA cfg = Config(kClientIp, 1759, kServerIp, 5568);
  ASSERT_EQ(c.udp->Configure(c.udp, &cfg), EFI_SUCCESS);
  EFI_IPv4_ADDRESS g = Efi(kGroupIp);
  ASSERT_EQ(c.udp->Groups(c.udp, TRUE, &g), EFI_SUCCESS);
  TestToken rx(Fw()), tx(Fw());
  ASSERT_EQ(c.udp->Receive(c.udp, &rx.token), EFI_SUCCESS);
  // At TPL_CALLBACK the notifications wait for the restore. (The transmit is
  // queued after the raise: RaiseTPL ticks, which would complete it.)
  EFI_TPL old = Bs()->RaiseTPL(TPL_CALLBACK);
  TxData data({Payload(4)});
  tx.token.Packet.TxData = data.Get();
  ASSERT_EQ(c.udp->Transmit(c.udp, &tx.token), EFI_SUCCESS);
  EXPECT_EQ(c.udp->Configure(c.udp, nullptr), EFI_SUCCESS);
  EXPECT_EQ(rx.token.Status, EFI_ABORTED);
  EXPECT_EQ(rx.token.Packet.RxData, nullptr);
  EXPECT_EQ(tx.token.Status, EFI_ABORTED);
  EXPECT_EQ(rx.fired, 0);
  Bs()->RestoreTPL(old);
  EXPECT_EQ(rx.fired, 1);
  EXPECT_EQ(tx.fired, 1);

  // Configured again, the port is no longer in the group.
  ASSERT_EQ(c.udp->Configure(c.udp, &cfg), EFI_SUCCESS);
  Ip4Mode ip4{};
  ASSERT_EQ(c.udp->GetModeData(c.udp, nullptr, AsIp4(&ip4), nullptr, nullptr), EFI_SUCCESS);
  EXPECT_EQ(ip4.GroupCount, 0u);
  TestToken rx2(Fw());
  ASSERT_EQ(c.udp->Receive(c.udp, &rx2.token), EFI_SUCCESS);
  Peer(kServerIp, 5568).Send(kGroupIp, 1759, Payload(4));
  for (int i = 0; i < 5; ++i)
    c.udp->Poll(c.udp);
  EXPECT_EQ(rx2.fired, 0);
  EXPECT_TRUE(Net().Capture().back().dropped);
  EXPECT_EQ(c.udp->Configure(c.udp, nullptr), EFI_SUCCESS);
}

TEST_F(Udp4Test, CancelAbortsPendingTokensOnly) {
  auto &ctl = Controller(kClientIp);
  Child c = CreateChild(ctl);
  TestToken rx(Fw()), tx(Fw()), stranger(Fw());
  EXPECT_EQ(c.udp->Cancel(c.udp, nullptr), EFI_NOT_STARTED);
  EFI_UDP4_CONFIG_DATA cfg = Config(kClientIp, 1000, kServerIp, 5568);
  ASSERT_EQ(c.udp->Configure(c.udp, &cfg), EFI_SUCCESS);
  ASSERT_EQ(c.udp->Receive(c.udp, &rx.token), EFI_SUCCESS);
  EXPECT_EQ(c.udp->Cancel(c.udp, &stranger.token), EFI_NOT_FOUND);
  EXPECT_EQ(c.udp->Cancel(c.udp, &rx.token), EFI_SUCCESS);
  EXPECT_EQ(rx.token.Status, EFI_ABORTED);
  EXPECT_EQ(rx.fired, 1);
  EXPECT_EQ(c.udp->Cancel(c.udp, &rx.token), EFI_NOT_FOUND) << "already completed";

  TxData data({Payload(4)});
  tx.token.Packet.TxData = data.Get();
  ASSERT_EQ(c.udp->Receive(c.udp, &rx.token), EFI_SUCCESS);
  ASSERT_EQ(c.udp->Transmit(c.udp, &tx.token), EFI_SUCCESS);
  EXPECT_EQ(c.udp->Cancel(c.udp, nullptr), EFI_SUCCESS);
  EXPECT_EQ(rx.fired, 2);
  EXPECT_EQ(tx.fired, 1);
  EXPECT_EQ(tx.token.Status, EFI_ABORTED);
  c.udp->Poll(c.udp);
  EXPECT_EQ(tx.fired, 1) << "an aborted transmit does not complete again";
}

TEST_F(Udp4Test, GroupsJoinLeaveAndDeliverTheGroupsDatagramsForTheStationPort) {
  auto &ctl = Controller(kClientIp);
  Child c = CreateChild(ctl);
  EFI_IPv4_ADDRESS g = Efi(kGroupIp), g2 = Efi(Ipv4(239, 255, 0, 2)), uni = Efi(kServerIp);
  EXPECT_EQ(c.udp->Groups(c.udp, TRUE, &g), EFI_NOT_STARTED);
  EFI_UDP4_CONFIG_DATA cfg = Config(kClientIp, 1759, kServerIp);
  ASSERT_EQ(c.udp->Configure(c.udp, &cfg), EFI_SUCCESS);
  EXPECT_EQ(c.udp->Groups(c.udp, TRUE, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(c.udp->Groups(c.udp, TRUE, &uni), EFI_INVALID_PARAMETER);
  EXPECT_EQ(c.udp->Groups(c.udp, FALSE, &g), EFI_NOT_FOUND);
  ASSERT_EQ(c.udp->Groups(c.udp, TRUE, &g), EFI_SUCCESS);
  EXPECT_EQ(c.udp->Groups(c.udp, TRUE, &g), EFI_ALREADY_STARTED);
  ASSERT_EQ(c.udp->Groups(c.udp, TRUE, &g2), EFI_SUCCESS);
  Ip4Mode ip4{};
  ASSERT_EQ(c.udp->GetModeData(c.udp, nullptr, AsIp4(&ip4), nullptr, nullptr), EFI_SUCCESS);
  ASSERT_EQ(ip4.GroupCount, 2u);
  EXPECT_EQ(std::memcmp(&ip4.GroupTable[0], &g, 4), 0);
  EXPECT_EQ(std::memcmp(&ip4.GroupTable[1], &g2, 4), 0);

  auto &server = Peer(kServerIp, 5568);
  server.Send(kGroupIp, 1760, Payload(4, 1)); // the group, another port
  server.Send(kGroupIp, 1759, Payload(4, 2));
  TestToken rx(Fw());
  ASSERT_EQ(c.udp->Receive(c.udp, &rx.token), EFI_SUCCESS);
  PollUntil(c.udp, [&] { return rx.fired > 0; });
  ASSERT_EQ(rx.token.Status, EFI_SUCCESS);
  EXPECT_EQ(Linear(*rx.token.Packet.RxData), Payload(4, 2));
  EXPECT_EQ(std::memcmp(&rx.token.Packet.RxData->UdpSession.DestinationAddress, &g, 4), 0);
  Bs()->SignalEvent(rx.token.Packet.RxData->RecycleSignal);

  EXPECT_EQ(c.udp->Groups(c.udp, FALSE, &g), EFI_SUCCESS);
  EXPECT_EQ(c.udp->Groups(c.udp, FALSE, nullptr), EFI_SUCCESS) << "leaves the rest";
  ASSERT_EQ(c.udp->GetModeData(c.udp, nullptr, AsIp4(&ip4), nullptr, nullptr), EFI_SUCCESS);
  EXPECT_EQ(ip4.GroupCount, 0u);
  EXPECT_EQ(c.udp->Groups(c.udp, FALSE, &g2), EFI_NOT_FOUND);
}

TEST_F(Udp4Test, TwoStationsShareAGroupPortAndBothHearTheServer) {
  auto &c1 = Controller(kClientIp);
  auto &c2 = Controller(Ipv4(10, 0, 0, 3));
  Child a = CreateChild(c1), b = CreateChild(c2);
  EFI_UDP4_CONFIG_DATA ca = Config(kClientIp, 1759, kServerIp);
  EFI_UDP4_CONFIG_DATA cb = Config(Ipv4(10, 0, 0, 3), 1759, kServerIp);
  ASSERT_EQ(a.udp->Configure(a.udp, &ca), EFI_SUCCESS);
  ASSERT_EQ(b.udp->Configure(b.udp, &cb), EFI_SUCCESS);
  EFI_IPv4_ADDRESS g = Efi(kGroupIp);
  ASSERT_EQ(a.udp->Groups(a.udp, TRUE, &g), EFI_SUCCESS);
  ASSERT_EQ(b.udp->Groups(b.udp, TRUE, &g), EFI_SUCCESS);
  TestToken ra(Fw()), rb(Fw());
  ASSERT_EQ(a.udp->Receive(a.udp, &ra.token), EFI_SUCCESS);
  ASSERT_EQ(b.udp->Receive(b.udp, &rb.token), EFI_SUCCESS);
  Peer(kServerIp, 5568).Send(kGroupIp, 1759, Payload(16));
  PollUntil(a.udp, [&] { return ra.fired && rb.fired; });
  ASSERT_EQ(ra.token.Status, EFI_SUCCESS);
  ASSERT_EQ(rb.token.Status, EFI_SUCCESS);
  EXPECT_EQ(Linear(*ra.token.Packet.RxData), Payload(16));
  EXPECT_EQ(Linear(*rb.token.Packet.RxData), Payload(16));
  Bs()->SignalEvent(ra.token.Packet.RxData->RecycleSignal);
  Bs()->SignalEvent(rb.token.Packet.RxData->RecycleSignal);
}

TEST_F(Udp4Test, BroadcastOnlyWhenAccepted) {
  auto &ctl = Controller(kClientIp);
  Child yes = CreateChild(ctl), no = CreateChild(ctl);
  EFI_UDP4_CONFIG_DATA cy = Config(kClientIp, 68);
  cy.AcceptBroadcast = TRUE;
  EFI_UDP4_CONFIG_DATA cn = Config(kClientIp, 68);
  cn.AllowDuplicatePort = TRUE;
  ASSERT_EQ(yes.udp->Configure(yes.udp, &cy), EFI_SUCCESS);
  ASSERT_EQ(no.udp->Configure(no.udp, &cn), EFI_SUCCESS);
  TestToken ry(Fw()), rn(Fw());
  ASSERT_EQ(yes.udp->Receive(yes.udp, &ry.token), EFI_SUCCESS);
  ASSERT_EQ(no.udp->Receive(no.udp, &rn.token), EFI_SUCCESS);
  Peer(kServerIp, 67).Send(Ipv4(255, 255, 255, 255), 68, Payload(4));
  for (int i = 0; i < 5; ++i)
    yes.udp->Poll(yes.udp);
  EXPECT_EQ(ry.fired, 1);
  EXPECT_EQ(rn.fired, 0);
  ASSERT_EQ(ry.token.Status, EFI_SUCCESS);
  Bs()->SignalEvent(ry.token.Packet.RxData->RecycleSignal);
  EXPECT_EQ(no.udp->Configure(no.udp, nullptr), EFI_SUCCESS);
}

TEST_F(Udp4Test, RoutesAreNotSupported) {
  auto &ctl = Controller(kClientIp);
  Child c = CreateChild(ctl);
  EFI_IPv4_ADDRESS a = Efi(Ipv4()), m = Efi(Ipv4()), gw = Efi(kServerIp);
  EXPECT_EQ(c.udp->Routes(c.udp, FALSE, &a, &m, &gw), EFI_UNSUPPORTED);
  EXPECT_EQ(c.udp->Routes(nullptr, FALSE, &a, &m, &gw), EFI_INVALID_PARAMETER);
}

// ---- Poll and virtual time, TPL ---------------------------------------------------

TEST_F(Udp4Test, IdlePollsJumpVirtualTimeToTheNextDelivery) {
  host::FaultProfile slow;
  slow.delay = 20'000'000; // 2 s one way
  Net().SetDefaultProfile(slow);
  Child c;
  ASSERT_NO_FATAL_FAILURE(ConfiguredChild(Controller(kClientIp), c));
  TestToken rx(Fw());
  int polls = 0;
  ASSERT_NO_FATAL_FAILURE(ReceiveOne(c, rx, Peer(kServerIp, 5568), Payload(4), &polls));
  EXPECT_LE(polls, 3);
  EXPECT_EQ(Fw().Now(), 20'000'000u);
  Bs()->SignalEvent(rx.token.Packet.RxData->RecycleSignal);
  // With nothing scheduled at all, Poll returns and time stays.
  EXPECT_EQ(c.udp->Poll(c.udp), EFI_SUCCESS);
  EXPECT_EQ(Fw().Now(), 20'000'000u);
}

// Every UDP4 and service-binding entry called at TPL_NOTIFY: recorded with its
// name, and still served.
struct AboveCallbackCall {
  const char *call;
  std::function<EFI_STATUS(EFI_SERVICE_BINDING_PROTOCOL *, EFI_UDP4_PROTOCOL *, EFI_HANDLE &,
                           EFI_UDP4_COMPLETION_TOKEN &)>
      run;
  EFI_STATUS expect;
};

TEST_F(Udp4Test, EveryCallAboveCallbackLevelIsRecordedByName) {
  ExpectViolations();
  auto &ctl = Controller(kClientIp);
  EFI_SERVICE_BINDING_PROTOCOL *sb = ctl.ServiceBinding();
  Child c = CreateChild(ctl);
  EFI_UDP4_CONFIG_DATA cfg = Config(kClientIp, 1000, kServerIp, 5568);
  EFI_IPv4_ADDRESS g = Efi(kGroupIp), zero = Efi(Ipv4());
  TxData data({Payload(4)});
  const std::vector<AboveCallbackCall> calls = {
      {"Udp4.Configure", [&](auto *, auto *u, auto &, auto &) { return u->Configure(u, &cfg); },
       EFI_SUCCESS},
      {"Udp4.GetModeData",
       [&](auto *, auto *u, auto &, auto &) {
         return u->GetModeData(u, nullptr, nullptr, nullptr, nullptr);
       },
       EFI_SUCCESS},
      {"Udp4.Groups", [&](auto *, auto *u, auto &, auto &) { return u->Groups(u, TRUE, &g); },
       EFI_SUCCESS},
      {"Udp4.Routes",
       [&](auto *, auto *u, auto &, auto &) { return u->Routes(u, FALSE, &zero, &zero, &zero); },
       EFI_UNSUPPORTED},
      {"Udp4.Receive", [&](auto *, auto *u, auto &, auto &t) { return u->Receive(u, &t); },
       EFI_SUCCESS},
      {"Udp4.Cancel", [&](auto *, auto *u, auto &, auto &t) { return u->Cancel(u, &t); },
       EFI_SUCCESS},
      {"Udp4.Transmit",
       [&](auto *, auto *u, auto &, auto &t) {
         t.Packet.TxData = data.Get();
         return u->Transmit(u, &t);
       },
       EFI_SUCCESS},
      {"Udp4.Poll", [&](auto *, auto *u, auto &, auto &) { return u->Poll(u); }, EFI_SUCCESS},
      {"Udp4Sb.CreateChild",
       [&](auto *s, auto *, auto &h, auto &) { return s->CreateChild(s, &h); }, EFI_SUCCESS},
      {"Udp4Sb.DestroyChild",
       [&](auto *s, auto *, auto &h, auto &) { return s->DestroyChild(s, h); }, EFI_SUCCESS},
  };
  TestToken token(Fw());
  EFI_HANDLE extra = nullptr;
  for (const AboveCallbackCall &call : calls) {
    SCOPED_TRACE(call.call);
    Fw().ClearViolations();
    const EFI_TPL old = Bs()->RaiseTPL(TPL_NOTIFY);
    EXPECT_EQ(call.run(sb, c.udp, extra, token.token), call.expect);
    Bs()->RestoreTPL(old);
    EXPECT_EQ(Fw().Violations(),
              std::vector<std::string>{std::string(call.call) + " called at TPL 16 (limit <= 8)"});
  }
  EXPECT_EQ(ctl.ChildCount(), 1u);
  Fw().ClearViolations();
  EXPECT_EQ(c.udp->Configure(c.udp, nullptr), EFI_SUCCESS);
  EXPECT_TRUE(Fw().Violations().empty());
}

TEST_F(Udp4Test, ATokenEventAboveCallbackLevelIsRecorded) {
  ExpectViolations();
  auto &ctl = Controller(kClientIp);
  Child c = CreateChild(ctl);
  EFI_UDP4_CONFIG_DATA cfg = Config(kClientIp, 1000, kServerIp, 5568);
  ASSERT_EQ(c.udp->Configure(c.udp, &cfg), EFI_SUCCESS);
  TestToken rx(Fw(), TPL_NOTIFY), tx(Fw(), TPL_NOTIFY);
  TxData data({Payload(4)});
  tx.token.Packet.TxData = data.Get();
  EXPECT_EQ(c.udp->Receive(c.udp, &rx.token), EFI_SUCCESS);
  EXPECT_EQ(c.udp->Transmit(c.udp, &tx.token), EFI_SUCCESS);
  EXPECT_EQ(Fw().Violations(), (std::vector<std::string>{
                                   "Udp4.Receive token event notifies at TPL 16 (limit <= 8)",
                                   "Udp4.Transmit token event notifies at TPL 16 (limit <= 8)"}));
  EXPECT_EQ(c.udp->Configure(c.udp, nullptr), EFI_SUCCESS);
}

// ---- Fault injection ----------------------------------------------------------------

TEST_F(Udp4Test, EveryCallCanBeMadeToFail) {
  auto &ctl = Controller(kClientIp);
  EFI_SERVICE_BINDING_PROTOCOL *sb = ctl.ServiceBinding();
  FailNext("Udp4Sb.CreateChild", 1, EFI_OUT_OF_RESOURCES);
  EFI_HANDLE h = nullptr;
  EXPECT_EQ(sb->CreateChild(sb, &h), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(h, nullptr);
  EXPECT_EQ(ctl.ChildCount(), 0u);
  Child c = CreateChild(ctl);

  EFI_UDP4_CONFIG_DATA cfg = Config(kClientIp, 1000, kServerIp, 5568);
  FailNext("Udp4.Configure", 1, EFI_DEVICE_ERROR);
  EXPECT_EQ(c.udp->Configure(c.udp, &cfg), EFI_DEVICE_ERROR);
  EFI_UDP4_CONFIG_DATA probe;
  EXPECT_EQ(c.udp->GetModeData(c.udp, &probe, nullptr, nullptr, nullptr), EFI_NOT_STARTED)
      << "a failed call changes nothing";
  ASSERT_EQ(c.udp->Configure(c.udp, &cfg), EFI_SUCCESS);

  FailNext("Udp4.GetModeData", 1, EFI_DEVICE_ERROR);
  EXPECT_EQ(c.udp->GetModeData(c.udp, &probe, nullptr, nullptr, nullptr), EFI_DEVICE_ERROR);
  EXPECT_EQ(c.udp->GetModeData(c.udp, &probe, nullptr, nullptr, nullptr), EFI_SUCCESS);

  EFI_IPv4_ADDRESS g = Efi(kGroupIp);
  FailNext("Udp4.Groups", 1, EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(c.udp->Groups(c.udp, TRUE, &g), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(c.udp->Groups(c.udp, TRUE, &g), EFI_SUCCESS) << "the failed join joined nothing";

  TestToken tx(Fw()), rx(Fw());
  TxData data({Payload(4)});
  tx.token.Packet.TxData = data.Get();
  FailNext("Udp4.Transmit", 1, EFI_NOT_READY);
  EXPECT_EQ(c.udp->Transmit(c.udp, &tx.token), EFI_NOT_READY);
  EXPECT_TRUE(Net().Capture().empty()) << "a failed transmit sends nothing";

  FailNext("Udp4.Receive", 1, EFI_DEVICE_ERROR);
  EXPECT_EQ(c.udp->Receive(c.udp, &rx.token), EFI_DEVICE_ERROR);
  EXPECT_EQ(c.udp->Receive(c.udp, &rx.token), EFI_SUCCESS) << "nothing was posted by the failure";

  FailNext("Udp4.Cancel", 1, EFI_DEVICE_ERROR);
  EXPECT_EQ(c.udp->Cancel(c.udp, &rx.token), EFI_DEVICE_ERROR);
  EXPECT_EQ(rx.fired, 0);

  FailNext("Udp4.Poll", 1, EFI_TIMEOUT);
  EXPECT_EQ(c.udp->Poll(c.udp), EFI_TIMEOUT);
  EXPECT_EQ(c.udp->Poll(c.udp), EFI_SUCCESS);

  FailNext("Udp4Sb.DestroyChild", 1, EFI_ACCESS_DENIED);
  EXPECT_EQ(sb->DestroyChild(sb, c.handle), EFI_ACCESS_DENIED);
  EXPECT_EQ(ctl.ChildCount(), 1u);
  EXPECT_EQ(sb->DestroyChild(sb, c.handle), EFI_SUCCESS);
  EXPECT_EQ(rx.fired, 1) << "destroying the child ended its receive";
  EXPECT_EQ(rx.token.Status, EFI_ABORTED);

  for (const char *call :
       {"Udp4Sb.CreateChild", "Udp4.Configure", "Udp4.GetModeData", "Udp4.Groups", "Udp4.Transmit",
        "Udp4.Receive", "Udp4.Cancel", "Udp4.Poll", "Udp4Sb.DestroyChild"})
    EXPECT_GE(Fw().Faults().Count(call), 1u) << call;
}

TEST_F(Udp4Test, CompletionsCanBeMadeToFail) {
  auto &ctl = Controller(kClientIp);
  Child c = CreateChild(ctl);
  EFI_UDP4_CONFIG_DATA cfg = Config(kClientIp, 1000, kServerIp, 5568);
  ASSERT_EQ(c.udp->Configure(c.udp, &cfg), EFI_SUCCESS);
  TestToken tx(Fw()), rx(Fw());
  TxData data({Payload(4)});
  tx.token.Packet.TxData = data.Get();
  FailNext("Udp4.TransmitCompletion", 1, EFI_ICMP_ERROR);
  ASSERT_EQ(c.udp->Transmit(c.udp, &tx.token), EFI_SUCCESS);
  c.udp->Poll(c.udp);
  EXPECT_EQ(tx.fired, 1);
  EXPECT_EQ(tx.token.Status, EFI_ICMP_ERROR);

  // A failed receive completion carries no data and keeps the datagram.
  Peer(kServerIp, 5568).Send(kClientIp, 1000, Payload(6));
  FailNext("Udp4.ReceiveCompletion", 1, EFI_DEVICE_ERROR);
  ASSERT_EQ(c.udp->Receive(c.udp, &rx.token), EFI_SUCCESS);
  PollUntil(c.udp, [&] { return rx.fired > 0; });
  EXPECT_EQ(rx.token.Status, EFI_DEVICE_ERROR);
  EXPECT_EQ(rx.token.Packet.RxData, nullptr);
  EXPECT_EQ(ctl.Unrecycled(), 0u);
  ASSERT_EQ(c.udp->Receive(c.udp, &rx.token), EFI_SUCCESS);
  PollUntil(c.udp, [&] { return rx.fired > 1; });
  ASSERT_EQ(rx.token.Status, EFI_SUCCESS);
  EXPECT_EQ(Linear(*rx.token.Packet.RxData), Payload(6));
  Bs()->SignalEvent(rx.token.Packet.RxData->RecycleSignal);
}

TEST_F(Udp4Test, DestroyingTheControllerTakesItsChildrenAndHandles) {
  const size_t before = Fw().Live().handles;
  {
    host::Udp4Controller ctl = host::MakeController(Fw(), Net(), kClientIp);
    Child c = CreateChild(ctl);
    EFI_UDP4_CONFIG_DATA cfg = Config(kClientIp, 1000);
    ASSERT_EQ(c.udp->Configure(c.udp, &cfg), EFI_SUCCESS);
    TestToken rx(Fw());
    ASSERT_EQ(c.udp->Receive(c.udp, &rx.token), EFI_SUCCESS);
    EXPECT_EQ(Net().OpenPorts(), 1u);
    // Moving the controller keeps it working.
    host::Udp4Controller moved = std::move(ctl);
    EXPECT_EQ(moved.ChildCount(), 1u);
  }
  EXPECT_EQ(Fw().Live().handles, before);
  EXPECT_EQ(Net().OpenPorts(), 0u);
  EXPECT_EQ(Fw().Live().openProtocolEntries, 0u);
}

} // namespace
} // namespace zem4::test
