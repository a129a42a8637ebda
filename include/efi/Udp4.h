// UDP4 protocol and the IP4 / managed-network / simple-network records that
// its GetModeData fills.
#ifndef ZEM4_EFI_UDP4_H
#define ZEM4_EFI_UDP4_H

#include "efi/DriverModel.h"

// ---- IP4 -------------------------------------------------------------------
struct EFI_IP4_CONFIG_DATA {
  UINT8 DefaultProtocol;
  BOOLEAN AcceptAnyProtocol;
  BOOLEAN AcceptIcmpErrors;
  BOOLEAN AcceptBroadcast;
  BOOLEAN AcceptPromiscuous;
  BOOLEAN UseDefaultAddress;
  EFI_IPv4_ADDRESS StationAddress;
  EFI_IPv4_ADDRESS SubnetMask;
  UINT8 TypeOfService;
  UINT8 TimeToLive;
  BOOLEAN DoNotFragment;
  BOOLEAN RawData;
  UINT32 ReceiveTimeout;
  UINT32 TransmitTimeout;
};

struct EFI_IP4_ROUTE_TABLE {
  EFI_IPv4_ADDRESS SubnetAddress;
  EFI_IPv4_ADDRESS SubnetMask;
  EFI_IPv4_ADDRESS GatewayAddress;
};

struct EFI_IP4_ICMP_TYPE {
  UINT8 Type;
  UINT8 Code;
};

// The IPv4 mode data as UDP4 GetModeData writes it here: the layout without
// MaxPacketSize, IsConfigured directly after ConfigData. The driver and the
// host firmware both use this one.
struct EFI_IP4_MODE_DATA {
  BOOLEAN IsStarted;
  EFI_IP4_CONFIG_DATA ConfigData;
  BOOLEAN IsConfigured;
  UINT32 GroupCount;
  EFI_IPv4_ADDRESS *GroupTable;
  UINT32 RouteCount;
  EFI_IP4_ROUTE_TABLE *RouteTable;
  UINT32 IcmpTypeCount;
  EFI_IP4_ICMP_TYPE *IcmpTypeList;
};

// The later published layout, with MaxPacketSize after IsStarted.
struct EFI_IP4_MODE_DATA_WITH_MAX_PACKET_SIZE {
  BOOLEAN IsStarted;
  UINT32 MaxPacketSize;
  EFI_IP4_CONFIG_DATA ConfigData;
  BOOLEAN IsConfigured;
  UINT32 GroupCount;
  EFI_IPv4_ADDRESS *GroupTable;
  UINT32 RouteCount;
  EFI_IP4_ROUTE_TABLE *RouteTable;
  UINT32 IcmpTypeCount;
  EFI_IP4_ICMP_TYPE *IcmpTypeList;
};

// ---- Managed network / simple network (GetModeData may fill them) -------------
struct EFI_MANAGED_NETWORK_CONFIG_DATA {
  UINT32 ReceivedQueueTimeoutValue;
  UINT32 TransmitQueueTimeoutValue;
  UINT16 ProtocolTypeFilter;
  BOOLEAN EnableUnicastReceive;
  BOOLEAN EnableMulticastReceive;
  BOOLEAN EnableBroadcastReceive;
  BOOLEAN EnablePromiscuousReceive;
  BOOLEAN FlushQueuesOnReset;
  BOOLEAN EnableReceiveTimestamps;
  BOOLEAN DisableBackgroundPolling;
};

#define MAX_MCAST_FILTER_CNT 16
enum : UINT32 {
  EfiSimpleNetworkStopped = 0,
  EfiSimpleNetworkStarted = 1,
  EfiSimpleNetworkInitialized = 2
};

struct EFI_SIMPLE_NETWORK_MODE {
  UINT32 State;
  UINT32 HwAddressSize;
  UINT32 MediaHeaderSize;
  UINT32 MaxPacketSize;
  UINT32 NvRamSize;
  UINT32 NvRamAccessSize;
  UINT32 ReceiveFilterMask;
  UINT32 ReceiveFilterSetting;
  UINT32 MaxMCastFilterCount;
  UINT32 MCastFilterCount;
  EFI_MAC_ADDRESS MCastFilter[MAX_MCAST_FILTER_CNT];
  EFI_MAC_ADDRESS CurrentAddress;
  EFI_MAC_ADDRESS BroadcastAddress;
  EFI_MAC_ADDRESS PermanentAddress;
  UINT8 IfType;
  BOOLEAN MacAddressChangeable;
  BOOLEAN MultipleTxSupported;
  BOOLEAN MediaPresentSupported;
  BOOLEAN MediaPresent;
};

// ---- UDP4 records -----------------------------------------------------------
struct EFI_UDP4_CONFIG_DATA {
  BOOLEAN AcceptBroadcast;
  BOOLEAN AcceptPromiscuous;
  BOOLEAN AcceptAnyPort;
  BOOLEAN AllowDuplicatePort;
  UINT8 TypeOfService;
  UINT8 TimeToLive;
  BOOLEAN DoNotFragment;
  UINT32 ReceiveTimeout;
  UINT32 TransmitTimeout;
  BOOLEAN UseDefaultAddress;
  EFI_IPv4_ADDRESS StationAddress;
  EFI_IPv4_ADDRESS SubnetMask;
  UINT16 StationPort;
  EFI_IPv4_ADDRESS RemoteAddress;
  UINT16 RemotePort;
};

struct EFI_UDP4_SESSION_DATA {
  EFI_IPv4_ADDRESS SourceAddress;
  UINT16 SourcePort;
  EFI_IPv4_ADDRESS DestinationAddress;
  UINT16 DestinationPort;
};

struct EFI_UDP4_FRAGMENT_DATA {
  UINT32 FragmentLength;
  VOID *FragmentBuffer;
};

// FragmentTable holds FragmentCount entries; one is declared.
struct EFI_UDP4_RECEIVE_DATA {
  EFI_TIME TimeStamp;
  EFI_EVENT RecycleSignal;
  EFI_UDP4_SESSION_DATA UdpSession;
  UINT32 DataLength;
  UINT32 FragmentCount;
  EFI_UDP4_FRAGMENT_DATA FragmentTable[1];
};

struct EFI_UDP4_TRANSMIT_DATA {
  EFI_UDP4_SESSION_DATA *UdpSessionData;
  EFI_IPv4_ADDRESS *GatewayAddress;
  UINT32 DataLength;
  UINT32 FragmentCount;
  EFI_UDP4_FRAGMENT_DATA FragmentTable[1];
};

struct EFI_UDP4_COMPLETION_TOKEN {
  EFI_EVENT Event;
  EFI_STATUS Status;
  union {
    EFI_UDP4_RECEIVE_DATA *RxData;
    EFI_UDP4_TRANSMIT_DATA *TxData;
  } Packet;
};

// ---- UDP4 protocol ------------------------------------------------------------
struct EFI_UDP4_PROTOCOL;

typedef EFI_STATUS(EFIAPI *EFI_UDP4_GET_MODE_DATA)(EFI_UDP4_PROTOCOL *This,
                                                   EFI_UDP4_CONFIG_DATA *Udp4ConfigData,
                                                   EFI_IP4_MODE_DATA *Ip4ModeData,
                                                   EFI_MANAGED_NETWORK_CONFIG_DATA *MnpConfigData,
                                                   EFI_SIMPLE_NETWORK_MODE *SnpModeData);
typedef EFI_STATUS(EFIAPI *EFI_UDP4_CONFIGURE)(EFI_UDP4_PROTOCOL *This,
                                               EFI_UDP4_CONFIG_DATA *UdpConfigData);
typedef EFI_STATUS(EFIAPI *EFI_UDP4_GROUPS)(EFI_UDP4_PROTOCOL *This, BOOLEAN JoinFlag,
                                            EFI_IPv4_ADDRESS *MulticastAddress);
typedef EFI_STATUS(EFIAPI *EFI_UDP4_ROUTES)(EFI_UDP4_PROTOCOL *This, BOOLEAN DeleteRoute,
                                            EFI_IPv4_ADDRESS *SubnetAddress,
                                            EFI_IPv4_ADDRESS *SubnetMask,
                                            EFI_IPv4_ADDRESS *GatewayAddress);
typedef EFI_STATUS(EFIAPI *EFI_UDP4_TRANSMIT)(EFI_UDP4_PROTOCOL *This,
                                              EFI_UDP4_COMPLETION_TOKEN *Token);
typedef EFI_STATUS(EFIAPI *EFI_UDP4_RECEIVE)(EFI_UDP4_PROTOCOL *This,
                                             EFI_UDP4_COMPLETION_TOKEN *Token);
typedef EFI_STATUS(EFIAPI *EFI_UDP4_CANCEL)(EFI_UDP4_PROTOCOL *This,
                                            EFI_UDP4_COMPLETION_TOKEN *Token);
typedef EFI_STATUS(EFIAPI *EFI_UDP4_POLL)(EFI_UDP4_PROTOCOL *This);

struct EFI_UDP4_PROTOCOL {
  EFI_UDP4_GET_MODE_DATA GetModeData;
  EFI_UDP4_CONFIGURE Configure;
  EFI_UDP4_GROUPS Groups;
  EFI_UDP4_ROUTES Routes;
  EFI_UDP4_TRANSMIT Transmit;
  EFI_UDP4_RECEIVE Receive;
  EFI_UDP4_CANCEL Cancel;
  EFI_UDP4_POLL Poll;
};

// ---- Layout checks --------------------------------------------------------------
static_assert(sizeof(EFI_IP4_CONFIG_DATA) == 28 && alignof(EFI_IP4_CONFIG_DATA) == 4,
              "EFI_IP4_CONFIG_DATA");
static_assert(offsetof(EFI_IP4_CONFIG_DATA, AcceptAnyProtocol) == 1 &&
                  offsetof(EFI_IP4_CONFIG_DATA, AcceptIcmpErrors) == 2 &&
                  offsetof(EFI_IP4_CONFIG_DATA, AcceptBroadcast) == 3 &&
                  offsetof(EFI_IP4_CONFIG_DATA, AcceptPromiscuous) == 4 &&
                  offsetof(EFI_IP4_CONFIG_DATA, UseDefaultAddress) == 5 &&
                  offsetof(EFI_IP4_CONFIG_DATA, StationAddress) == 6 &&
                  offsetof(EFI_IP4_CONFIG_DATA, SubnetMask) == 10 &&
                  offsetof(EFI_IP4_CONFIG_DATA, TypeOfService) == 14 &&
                  offsetof(EFI_IP4_CONFIG_DATA, TimeToLive) == 15 &&
                  offsetof(EFI_IP4_CONFIG_DATA, DoNotFragment) == 16 &&
                  offsetof(EFI_IP4_CONFIG_DATA, RawData) == 17 &&
                  offsetof(EFI_IP4_CONFIG_DATA, ReceiveTimeout) == 20 &&
                  offsetof(EFI_IP4_CONFIG_DATA, TransmitTimeout) == 24,
              "EFI_IP4_CONFIG_DATA fields");
static_assert(sizeof(EFI_IP4_ROUTE_TABLE) == 12 && offsetof(EFI_IP4_ROUTE_TABLE, SubnetMask) == 4 &&
                  offsetof(EFI_IP4_ROUTE_TABLE, GatewayAddress) == 8,
              "EFI_IP4_ROUTE_TABLE");
static_assert(sizeof(EFI_IP4_ICMP_TYPE) == 2 && offsetof(EFI_IP4_ICMP_TYPE, Code) == 1,
              "EFI_IP4_ICMP_TYPE");

static_assert(sizeof(EFI_IP4_MODE_DATA) == EFI_LAYOUT(60, 80), "EFI_IP4_MODE_DATA");
static_assert(offsetof(EFI_IP4_MODE_DATA, ConfigData) == 4 &&
                  offsetof(EFI_IP4_MODE_DATA, IsConfigured) == 32 &&
                  offsetof(EFI_IP4_MODE_DATA, GroupCount) == 36 &&
                  offsetof(EFI_IP4_MODE_DATA, GroupTable) == 40 &&
                  offsetof(EFI_IP4_MODE_DATA, RouteCount) == EFI_LAYOUT(44, 48) &&
                  offsetof(EFI_IP4_MODE_DATA, RouteTable) == EFI_LAYOUT(48, 56) &&
                  offsetof(EFI_IP4_MODE_DATA, IcmpTypeCount) == EFI_LAYOUT(52, 64) &&
                  offsetof(EFI_IP4_MODE_DATA, IcmpTypeList) == EFI_LAYOUT(56, 72),
              "EFI_IP4_MODE_DATA fields");
static_assert(sizeof(EFI_IP4_MODE_DATA_WITH_MAX_PACKET_SIZE) == EFI_LAYOUT(64, 88),
              "EFI_IP4_MODE_DATA_WITH_MAX_PACKET_SIZE");
static_assert(
    offsetof(EFI_IP4_MODE_DATA_WITH_MAX_PACKET_SIZE, MaxPacketSize) == 4 &&
        offsetof(EFI_IP4_MODE_DATA_WITH_MAX_PACKET_SIZE, ConfigData) == 8 &&
        offsetof(EFI_IP4_MODE_DATA_WITH_MAX_PACKET_SIZE, IsConfigured) == 36 &&
        offsetof(EFI_IP4_MODE_DATA_WITH_MAX_PACKET_SIZE, GroupCount) == 40 &&
        offsetof(EFI_IP4_MODE_DATA_WITH_MAX_PACKET_SIZE, GroupTable) == EFI_LAYOUT(44, 48) &&
        offsetof(EFI_IP4_MODE_DATA_WITH_MAX_PACKET_SIZE, RouteCount) == EFI_LAYOUT(48, 56) &&
        offsetof(EFI_IP4_MODE_DATA_WITH_MAX_PACKET_SIZE, RouteTable) == EFI_LAYOUT(52, 64) &&
        offsetof(EFI_IP4_MODE_DATA_WITH_MAX_PACKET_SIZE, IcmpTypeCount) == EFI_LAYOUT(56, 72) &&
        offsetof(EFI_IP4_MODE_DATA_WITH_MAX_PACKET_SIZE, IcmpTypeList) == EFI_LAYOUT(60, 80),
    "EFI_IP4_MODE_DATA_WITH_MAX_PACKET_SIZE fields");

static_assert(sizeof(EFI_MANAGED_NETWORK_CONFIG_DATA) == 20 &&
                  offsetof(EFI_MANAGED_NETWORK_CONFIG_DATA, TransmitQueueTimeoutValue) == 4 &&
                  offsetof(EFI_MANAGED_NETWORK_CONFIG_DATA, ProtocolTypeFilter) == 8 &&
                  offsetof(EFI_MANAGED_NETWORK_CONFIG_DATA, EnableUnicastReceive) == 10 &&
                  offsetof(EFI_MANAGED_NETWORK_CONFIG_DATA, EnableMulticastReceive) == 11 &&
                  offsetof(EFI_MANAGED_NETWORK_CONFIG_DATA, EnableBroadcastReceive) == 12 &&
                  offsetof(EFI_MANAGED_NETWORK_CONFIG_DATA, EnablePromiscuousReceive) == 13 &&
                  offsetof(EFI_MANAGED_NETWORK_CONFIG_DATA, FlushQueuesOnReset) == 14 &&
                  offsetof(EFI_MANAGED_NETWORK_CONFIG_DATA, EnableReceiveTimestamps) == 15 &&
                  offsetof(EFI_MANAGED_NETWORK_CONFIG_DATA, DisableBackgroundPolling) == 16,
              "EFI_MANAGED_NETWORK_CONFIG_DATA");
static_assert(sizeof(EFI_SIMPLE_NETWORK_MODE) == 656 && alignof(EFI_SIMPLE_NETWORK_MODE) == 4 &&
                  offsetof(EFI_SIMPLE_NETWORK_MODE, MCastFilterCount) == 36 &&
                  offsetof(EFI_SIMPLE_NETWORK_MODE, MCastFilter) == 40 &&
                  offsetof(EFI_SIMPLE_NETWORK_MODE, CurrentAddress) == 552 &&
                  offsetof(EFI_SIMPLE_NETWORK_MODE, BroadcastAddress) == 584 &&
                  offsetof(EFI_SIMPLE_NETWORK_MODE, PermanentAddress) == 616 &&
                  offsetof(EFI_SIMPLE_NETWORK_MODE, IfType) == 648 &&
                  offsetof(EFI_SIMPLE_NETWORK_MODE, MacAddressChangeable) == 649 &&
                  offsetof(EFI_SIMPLE_NETWORK_MODE, MultipleTxSupported) == 650 &&
                  offsetof(EFI_SIMPLE_NETWORK_MODE, MediaPresentSupported) == 651 &&
                  offsetof(EFI_SIMPLE_NETWORK_MODE, MediaPresent) == 652,
              "EFI_SIMPLE_NETWORK_MODE");

static_assert(sizeof(EFI_UDP4_CONFIG_DATA) == 36 && alignof(EFI_UDP4_CONFIG_DATA) == 4,
              "EFI_UDP4_CONFIG_DATA");
static_assert(offsetof(EFI_UDP4_CONFIG_DATA, AcceptPromiscuous) == 1 &&
                  offsetof(EFI_UDP4_CONFIG_DATA, AcceptAnyPort) == 2 &&
                  offsetof(EFI_UDP4_CONFIG_DATA, AllowDuplicatePort) == 3 &&
                  offsetof(EFI_UDP4_CONFIG_DATA, TypeOfService) == 4 &&
                  offsetof(EFI_UDP4_CONFIG_DATA, TimeToLive) == 5 &&
                  offsetof(EFI_UDP4_CONFIG_DATA, DoNotFragment) == 6 &&
                  offsetof(EFI_UDP4_CONFIG_DATA, ReceiveTimeout) == 8 &&
                  offsetof(EFI_UDP4_CONFIG_DATA, TransmitTimeout) == 12 &&
                  offsetof(EFI_UDP4_CONFIG_DATA, UseDefaultAddress) == 16 &&
                  offsetof(EFI_UDP4_CONFIG_DATA, StationAddress) == 17 &&
                  offsetof(EFI_UDP4_CONFIG_DATA, SubnetMask) == 21 &&
                  offsetof(EFI_UDP4_CONFIG_DATA, StationPort) == 26 &&
                  offsetof(EFI_UDP4_CONFIG_DATA, RemoteAddress) == 28 &&
                  offsetof(EFI_UDP4_CONFIG_DATA, RemotePort) == 32,
              "EFI_UDP4_CONFIG_DATA fields");
static_assert(sizeof(EFI_UDP4_SESSION_DATA) == 12 && alignof(EFI_UDP4_SESSION_DATA) == 2 &&
                  offsetof(EFI_UDP4_SESSION_DATA, SourcePort) == 4 &&
                  offsetof(EFI_UDP4_SESSION_DATA, DestinationAddress) == 6 &&
                  offsetof(EFI_UDP4_SESSION_DATA, DestinationPort) == 10,
              "EFI_UDP4_SESSION_DATA");
static_assert(sizeof(EFI_UDP4_FRAGMENT_DATA) == EFI_LAYOUT(8, 16) &&
                  offsetof(EFI_UDP4_FRAGMENT_DATA, FragmentBuffer) == EFI_LAYOUT(4, 8),
              "EFI_UDP4_FRAGMENT_DATA");
static_assert(sizeof(EFI_UDP4_TRANSMIT_DATA) == EFI_LAYOUT(16 + 8, 24 + 16) &&
                  offsetof(EFI_UDP4_TRANSMIT_DATA, GatewayAddress) == EFI_LAYOUT(4, 8) &&
                  offsetof(EFI_UDP4_TRANSMIT_DATA, DataLength) == EFI_LAYOUT(8, 16) &&
                  offsetof(EFI_UDP4_TRANSMIT_DATA, FragmentCount) == EFI_LAYOUT(12, 20) &&
                  offsetof(EFI_UDP4_TRANSMIT_DATA, FragmentTable) == EFI_LAYOUT(16, 24),
              "EFI_UDP4_TRANSMIT_DATA");
static_assert(sizeof(EFI_UDP4_RECEIVE_DATA) == EFI_LAYOUT(40 + 8, 48 + 16) &&
                  offsetof(EFI_UDP4_RECEIVE_DATA, RecycleSignal) == 16 &&
                  offsetof(EFI_UDP4_RECEIVE_DATA, UdpSession) == EFI_LAYOUT(20, 24) &&
                  offsetof(EFI_UDP4_RECEIVE_DATA, DataLength) == EFI_LAYOUT(32, 36) &&
                  offsetof(EFI_UDP4_RECEIVE_DATA, FragmentCount) == EFI_LAYOUT(36, 40) &&
                  offsetof(EFI_UDP4_RECEIVE_DATA, FragmentTable) == EFI_LAYOUT(40, 48),
              "EFI_UDP4_RECEIVE_DATA");
static_assert(sizeof(EFI_UDP4_COMPLETION_TOKEN) == EFI_LAYOUT(12, 24) &&
                  offsetof(EFI_UDP4_COMPLETION_TOKEN, Status) == EFI_LAYOUT(4, 8) &&
                  offsetof(EFI_UDP4_COMPLETION_TOKEN, Packet) == EFI_LAYOUT(8, 16),
              "EFI_UDP4_COMPLETION_TOKEN");

static_assert(sizeof(EFI_UDP4_PROTOCOL) == EFI_LAYOUT(32, 64) &&
                  offsetof(EFI_UDP4_PROTOCOL, Configure) == EFI_LAYOUT(4, 8) &&
                  offsetof(EFI_UDP4_PROTOCOL, Groups) == EFI_LAYOUT(8, 16) &&
                  offsetof(EFI_UDP4_PROTOCOL, Routes) == EFI_LAYOUT(12, 24) &&
                  offsetof(EFI_UDP4_PROTOCOL, Transmit) == EFI_LAYOUT(16, 32) &&
                  offsetof(EFI_UDP4_PROTOCOL, Receive) == EFI_LAYOUT(20, 40) &&
                  offsetof(EFI_UDP4_PROTOCOL, Cancel) == EFI_LAYOUT(24, 48) &&
                  offsetof(EFI_UDP4_PROTOCOL, Poll) == EFI_LAYOUT(28, 56),
              "EFI_UDP4_PROTOCOL");

#endif
