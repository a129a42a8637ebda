// The builders' exact bytes, destinations and failure paths.
#include "transport/TransportFixture.h"
#include "transport/Zem4Build.h"
#include "zem4/Zem4Wire.h"

using namespace zem4::test;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes Ascii(const char *Text) {
  return Bytes(Text, Text + std::strlen(Text) + 1);
}

Bytes Concat(std::initializer_list<Bytes> Parts) {
  Bytes All;
  for (const auto &Part : Parts) {
    All.insert(All.end(), Part.begin(), Part.end());
  }
  return All;
}

void ExpectDestination(const Zem4Packet *Packet, EFI_IPv4_ADDRESS Ip, UINT16 Port) {
  EXPECT_EQ(std::memcmp(Packet->Endpoints.DestinationAddress.Addr, Ip.Addr, 4), 0);
  EXPECT_EQ(Packet->Endpoints.DestinationPort, Port);
  const EFI_IPv4_ADDRESS Zero{};
  EXPECT_EQ(std::memcmp(Packet->Endpoints.SourceAddress.Addr, Zero.Addr, 4), 0);
  EXPECT_EQ(Packet->Endpoints.SourcePort, 0);
  EXPECT_EQ(Packet->TxData.DataLength, Packet->Length);
  EXPECT_EQ(Packet->TxData.FragmentCount, 1u);
  EXPECT_EQ(Packet->TxData.FragmentTable[0].FragmentLength, Packet->Length);
  EXPECT_EQ(Packet->TxData.FragmentTable[0].FragmentBuffer, Packet->Buffer);
  EXPECT_EQ(Packet->TxData.UdpSessionData, &Packet->Endpoints);
  EXPECT_EQ(Packet->TxData.GatewayAddress, nullptr);
  EXPECT_EQ(Packet->TxToken.Packet.TxData, &Packet->TxData);
  EXPECT_NE(Packet->TxToken.Event, nullptr);
  EXPECT_EQ(Packet->RefCount, 1u);
}

} // namespace

TEST_F(TransportTest, RequestWithOptionsIsOpcodeNameAndPairs) {
  Zem4Option Options[] = {{const_cast<CHAR8 *>("multicast"), const_cast<CHAR8 *>("1")},
                          {const_cast<CHAR8 *>("tsize"), const_cast<CHAR8 *>("0")}};
  Zem4Packet *Packet = Zem4BuildRequest(Options, Record(), ZEM4_OP_RRQ, "a", 2, TestNotify);
  ASSERT_NE(Packet, nullptr);
  const Bytes Expected = {0x00, 0x01, 'a', 0x00, 'm', 'u', 'l', 't', 'i', 'c',  'a', 's',
                          't',  0x00, '1', 0x00, 't', 's', 'i', 'z', 'e', 0x00, '0', 0x00};
  EXPECT_EQ(Packet->Length, 24u);
  EXPECT_EQ(BytesOf(Packet), Expected);
  ExpectDestination(Packet, Rig->RequestServerIp(), 5568);
  EXPECT_EQ(Packet->Instance, Record());
  Zem4ReleasePacket(Packet);
}

TEST_F(TransportTest, RequestWithoutOptionsCarriesNoModeString) {
  Zem4Packet *Packet =
      Zem4BuildRequest(nullptr, Record(), ZEM4_OP_RRQ, "boot/x.efi", 0, TestNotify);
  ASSERT_NE(Packet, nullptr);
  EXPECT_EQ(BytesOf(Packet), Concat({{0x00, 0x01}, Ascii("boot/x.efi")}));
  Zem4ReleasePacket(Packet);

  // A count without a list means no options.
  Packet = Zem4BuildRequest(nullptr, Record(), ZEM4_OP_RRQ, "f", 3, TestNotify);
  ASSERT_NE(Packet, nullptr);
  EXPECT_EQ(BytesOf(Packet), Bytes({0x00, 0x01, 'f', 0x00}));
  Zem4ReleasePacket(Packet);
  EXPECT_TRUE(Logs().empty());
}

TEST_F(TransportTest, RequestWithNullValueBuildsNothing) {
  Zem4Option Options[] = {{const_cast<CHAR8 *>("tsize"), const_cast<CHAR8 *>("0")},
                          {const_cast<CHAR8 *>("blksize"), const_cast<CHAR8 *>("8")},
                          {const_cast<CHAR8 *>("multicast"), nullptr}};
  EXPECT_EQ(Zem4BuildRequest(Options, Record(), ZEM4_OP_RRQ, "f", 3, TestNotify), nullptr);
  EXPECT_EQ(Rig->Status(), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Logs(), std::vector<std::string>{"Zem4BuildRequest: Invalid option lists.\r\n"});
  EXPECT_EQ(LogLevels(), std::vector<UINT32>{DIAG_ERROR});
  EXPECT_EQ(gZem4PacketPool.PacketBytes, 0u);
}

TEST_F(TransportTest, RequestFailuresReleaseWhatTheyTook) {
  FailNext("AllocatePool");
  EXPECT_EQ(Zem4BuildRequest(nullptr, Record(), ZEM4_OP_RRQ, "f", 0, TestNotify), nullptr);
  EXPECT_EQ(Rig->Status(), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Logs(), (std::vector<std::string>{
                        "Zem4AllocPacket: failed to allocate a token for packet buffer\r\n",
                        "Zem4BuildRequest: Failed to allocate packet buffer.\r\n"}));

  Fw->Debug().Clear();
  Rig->SetStatus(EFI_SUCCESS);
  FailNext("CreateEvent");
  EXPECT_EQ(Zem4BuildRequest(nullptr, Record(), ZEM4_OP_RRQ, "f", 0, TestNotify), nullptr);
  EXPECT_EQ(Rig->Status(), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Logs(), std::vector<std::string>{
                        "Zem4BuildRequest: failed to create event for the packet buffer\r\n"});
  // The packet went back to the pool.
  EXPECT_FALSE(IsListEmpty(&gZem4PacketPool.SmallFreeList));
}

TEST_F(TransportTest, BuildRrqKeepsTheRequestAndReplacesThePrevious) {
  Zem4Option Options[] = {{const_cast<CHAR8 *>("tsize"), const_cast<CHAR8 *>("0")}};
  Token.Filename = const_cast<CHAR8 *>("img");
  Token.OptionList = Options;
  Token.OptionCount = 1;
  ASSERT_EQ(Zem4BuildRrq(Record(), ZEM4_OP_RRQ), EFI_SUCCESS);
  Zem4Packet *First = Rig->RequestPacket();
  ASSERT_NE(First, nullptr);
  EXPECT_EQ(BytesOf(First), Concat({{0x00, 0x01}, Ascii("img"), Ascii("tsize"), Ascii("0")}));

  ASSERT_EQ(Zem4BuildRrq(Record(), ZEM4_OP_RRQ), EFI_SUCCESS);
  // The new one is built before the first goes back to the pool.
  Zem4Packet *Second = Rig->RequestPacket();
  EXPECT_NE(Second, First);
  EXPECT_EQ(gZem4PacketPool.SmallFreeList.ForwardLink, &First->Link);
  EXPECT_EQ(First->TxToken.Event, nullptr);
  EXPECT_EQ(BytesOf(Second), BytesOf(First));

  // A failed build leaves the kept request alone.
  Options[0].ValueStr = nullptr;
  EXPECT_EQ(Zem4BuildRrq(Record(), ZEM4_OP_RRQ), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Rig->RequestPacket(), Second);
  EXPECT_EQ(Rig->Status(), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Logs(), (std::vector<std::string>{"Zem4BuildRequest: Invalid option lists.\r\n",
                                              "Zem4BuildRrq: failed to build a request packet"}));
}

TEST_F(TransportTest, ErrorPacketBytes) {
  Zem4ErrorInfo Info{ZEM4_ERR_NOT_DEFINED, ZEM4_MSG_TOO_MANY_TIMEOUTS};
  Zem4Packet *Packet = Zem4BuildErrorPacket(&Info, Record(), TestNotify);
  ASSERT_NE(Packet, nullptr);
  EXPECT_EQ(Packet->Length, 22u);
  EXPECT_EQ(BytesOf(Packet), Concat({{0x00, 0x05, 0x00, 0x00}, Ascii("Too many timeouts")}));
  ExpectDestination(Packet, Rig->ServerIp(), 40001);
  Zem4ReleasePacket(Packet);

  Zem4ErrorInfo Odd{0x0304, ZEM4_MSG_USER_CACELED};
  Packet = Zem4BuildErrorPacket(&Odd, Record(), TestNotify);
  ASSERT_NE(Packet, nullptr);
  EXPECT_EQ(BytesOf(Packet), Concat({{0x00, 0x05, 0x03, 0x04}, Ascii("User caceled download")}));
  Zem4ReleasePacket(Packet);
}

TEST_F(TransportTest, ErrorPacketFailures) {
  Zem4ErrorInfo Info{3, ZEM4_MSG_DISK_FULL};
  FailNext("CreateEvent");
  EXPECT_EQ(Zem4BuildErrorPacket(&Info, Record(), TestNotify), nullptr);
  EXPECT_EQ(Rig->Status(), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Logs(), std::vector<std::string>{
                        "Zem4BuildErrorPacket: failed to create an event for the send token\r\n"});
  Fw->Debug().Clear();
  Fw->Faults().FailAlways("AllocatePool", EFI_OUT_OF_RESOURCES);
  Zem4DrainPacketPool();
  EXPECT_EQ(Zem4BuildErrorPacket(&Info, Record(), TestNotify), nullptr);
  Fw->Faults().Clear();
  EXPECT_EQ(Logs(), (std::vector<std::string>{
                        "Zem4AllocPacket: failed to allocate a token for packet buffer\r\n",
                        "Zem4BuildErrorPacket: Failed to allocate a packet buffer.\r\n"}));
}

TEST_F(TransportTest, Ack8Bytes) {
  Zem4Packet *Packet = Zem4RrqBuildAck(Record(), 5);
  ASSERT_NE(Packet, nullptr);
  EXPECT_EQ(BytesOf(Packet), Bytes({0x00, 0x09, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x40}));
  ExpectDestination(Packet, Rig->ServerIp(), 40001);
  Zem4ReleasePacket(Packet);

  Packet = Zem4RrqBuildAck(Record(), 0x01020304);
  ASSERT_NE(Packet, nullptr);
  EXPECT_EQ(BytesOf(Packet), Bytes({0x00, 0x09, 0x01, 0x02, 0x03, 0x04, 0x00, 0x00, 0x00, 0x40}));
  Zem4ReleasePacket(Packet);
}

TEST_F(TransportTest, Ack8Failures) {
  FailNext("CreateEvent");
  EXPECT_EQ(Zem4RrqBuildAck(Record(), 1), nullptr);
  EXPECT_EQ(Rig->Status(), EFI_OUT_OF_RESOURCES);
  Fw->Faults().FailAlways("AllocatePool", EFI_OUT_OF_RESOURCES);
  Zem4DrainPacketPool();
  EXPECT_EQ(Zem4RrqBuildAck(Record(), 1), nullptr);
  Fw->Faults().Clear();
  EXPECT_EQ(Logs(), (std::vector<std::string>{
                        "Zem4RrqBuildAck: failed to create event\r\n",
                        "Zem4AllocPacket: failed to allocate a token for packet buffer\r\n",
                        "Zem4RrqBuildAck:Failed to allocate packet buffer.\r\n"}));
}

TEST_F(TransportTest, RplOfTheFreshListAsksForEverything) {
  Zem4RrqData *RrqData = MakeRrq();
  Zem4Packet *Packet = Zem4RrqBuildRPL(1, Record());
  ASSERT_NE(Packet, nullptr);
  EXPECT_EQ(BytesOf(Packet), Bytes({0x00, 0x0A, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00,
                                    0x01, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(Rig->RplListSent(), 1);
  EXPECT_EQ(RrqData->MissingCursor, &RrqData->MissingList);
  ExpectDestination(Packet, Rig->ServerIp(), 40001);
  // Room for a full repair list, whatever this one carries.
  EXPECT_GE(Packet->Capacity, ZEM4_RPL_MAX_LENGTH);
  Zem4ReleasePacket(Packet);
}

// Missing ranges {2k+1..2k+1} for k = 0..Count-1 (every odd block missing).
static void MakeOddRanges(Zem4Instance *Instance, Zem4RrqData *RrqData, UINT32 Count) {
  BOOLEAN WasMissing = FALSE;
  // Block 2Count+2.. onwards arrive as one: trim the tail first.
  Zem4MissingRange *Only = ZEM4_CR(RrqData->MissingList.ForwardLink, Zem4MissingRange, Link);
  Only->Last = 2 * Count - 1;
  for (UINT32 Block = 2; Block < 2 * Count; Block += 2) {
    ASSERT_EQ(Zem4RrqSaveLostBlk(Instance, Block, &WasMissing), EFI_SUCCESS);
    ASSERT_TRUE(WasMissing);
  }
}

TEST_F(TransportTest, RplCarries129RangesAndContinuesAtTheCursor) {
  MakeRrq();
  MakeOddRanges(Record(), Rrq.get(), 300);

  UINT32 First = 1;
  for (UINT32 Sequence = 1; Sequence <= 3; Sequence++) {
    Zem4Packet *Packet = Zem4RrqBuildRPL(Sequence, Record());
    ASSERT_NE(Packet, nullptr);
    const UINT32 Expected = Sequence < 3 ? 129 : 300 - 2 * 129;
    ASSERT_EQ(Packet->Length, Zem4RplLength(Expected)) << Sequence;
    EXPECT_EQ(Rig->RplListSent(), Sequence == 3 ? 1 : 0);
    uint32_t Value = 0;
    ASSERT_TRUE(Zem4WireGetBe32(Packet->Buffer, Packet->Length, 2, &Value));
    EXPECT_EQ(Value, Sequence);
    ASSERT_TRUE(Zem4WireGetBe32(Packet->Buffer, Packet->Length, 6, &Value));
    EXPECT_EQ(Value, 0u);
    for (UINT32 K = 0; K < Expected; K++, First += 2) {
      uint32_t Lo = 0, Hi = 0;
      ASSERT_TRUE(Zem4WireGetLe32(Packet->Buffer, Packet->Length, Zem4RplRangeOffset(K), &Lo));
      ASSERT_TRUE(Zem4WireGetLe32(Packet->Buffer, Packet->Length, Zem4RplRangeOffset(K) + 4, &Hi));
      ASSERT_EQ(Lo, First);
      ASSERT_EQ(Hi, First);
    }
    Zem4ReleasePacket(Packet);
  }
}

TEST_F(TransportTest, RplWithExactly129RangesNeedsAnEmptyFollowUp) {
  Zem4RrqData *RrqData = MakeRrq();
  MakeOddRanges(Record(), Rrq.get(), 129);

  Zem4Packet *Full = Zem4RrqBuildRPL(1, Record());
  ASSERT_NE(Full, nullptr);
  EXPECT_EQ(Full->Length, 1042u);
  EXPECT_EQ(Rig->RplListSent(), 0);
  // The cursor stays on the last range written.
  EXPECT_EQ(ZEM4_CR(RrqData->MissingCursor, Zem4MissingRange, Link)->First, 257u);

  Zem4Packet *Empty = Zem4RrqBuildRPL(2, Record());
  ASSERT_NE(Empty, nullptr);
  EXPECT_EQ(BytesOf(Empty), Bytes({0x00, 0x0A, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_EQ(Rig->RplListSent(), 1);
  Zem4ReleasePacket(Full);
  Zem4ReleasePacket(Empty);
}

TEST_F(TransportTest, RplFailures) {
  MakeRrq();
  FailNext("CreateEvent");
  EXPECT_EQ(Zem4RrqBuildRPL(1, Record()), nullptr);
  EXPECT_EQ(Rig->Status(), EFI_OUT_OF_RESOURCES);
  Fw->Faults().FailAlways("AllocatePool", EFI_OUT_OF_RESOURCES);
  Zem4DrainPacketPool();
  EXPECT_EQ(Zem4RrqBuildRPL(1, Record()), nullptr);
  Fw->Faults().Clear();
  EXPECT_EQ(Logs(), (std::vector<std::string>{
                        "Zem4RrqBuildRPL: failed to create event\r\n",
                        "Zem4AllocPacket: failed to allocate a token for packet buffer\r\n",
                        "Zem4RrqBuildAck:Failed to allocate packet buffer.\r\n"}));
}
