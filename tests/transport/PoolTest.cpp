// The packet pool: size classes, last-in-first-out reuse, the 2 MiB rule,
// reference counts, copies, draining.
#include "transport/TransportFixture.h"

using namespace zem4::test;

namespace {

size_t ListLength(LIST_ENTRY *Head) {
  size_t Count = 0;
  for (LIST_ENTRY *Entry = Head->ForwardLink; Entry != Head; Entry = Entry->ForwardLink) {
    Count++;
  }
  return Count;
}

} // namespace

TEST_F(TransportTest, NewPacketsAreAtLeast256BytesAndReused) {
  Zem4Packet *Packet = Zem4GetPacket(10);
  ASSERT_NE(Packet, nullptr);
  EXPECT_EQ(Packet->Capacity, 256u);
  EXPECT_EQ(Packet->Length, 256u);
  EXPECT_EQ(Packet->RefCount, 1u);
  EXPECT_EQ(Packet->Signature, ZEM4_PACKET_SIGNATURE);
  EXPECT_EQ(std::memcmp(&Packet->Signature, "MTTO", 4), 0);
  EXPECT_EQ(Packet->TxToken.Status, EFI_SUCCESS);
  EXPECT_EQ(Packet->TxToken.Event, nullptr);
  EXPECT_EQ(gZem4PacketPool.PacketBytes, 256u);
  Zem4ReleasePacket(Packet);
  EXPECT_EQ(ListLength(&gZem4PacketPool.SmallFreeList), 1u);

  Zem4Packet *Again = Zem4GetPacket(200);
  EXPECT_EQ(Again, Packet);
  EXPECT_EQ(Again->RefCount, 1u);
  EXPECT_EQ(gZem4PacketPool.PacketBytes, 256u);
  Zem4ReleasePacket(Again);
}

TEST_F(TransportTest, ZeroSizedPacketHasNoBuffer) {
  Zem4Packet *Packet = Zem4AllocPacket(0);
  ASSERT_NE(Packet, nullptr);
  EXPECT_EQ(Packet->Capacity, 0u);
  EXPECT_EQ(Packet->Buffer, nullptr);
  EXPECT_EQ(Packet->TxData.FragmentCount, 0u);
  EXPECT_EQ(gZem4PacketPool.PacketBytes, 0u);
  Zem4FreePacket(Packet);
}

TEST_F(TransportTest, SizeClassesAreSearchedSeparately) {
  Zem4Packet *Medium = Zem4GetPacket(1500);
  Zem4Packet *Large = Zem4GetPacket(4096);
  ASSERT_NE(Medium, nullptr);
  ASSERT_NE(Large, nullptr);
  Zem4ReleasePacket(Medium);
  Zem4ReleasePacket(Large);
  EXPECT_EQ(ListLength(&gZem4PacketPool.SmallFreeList), 1u);
  EXPECT_EQ(ListLength(&gZem4PacketPool.LargeFreeList), 1u);

  // 1032 bytes: the pooled 1500-byte packet, not the 4096-byte one.
  Zem4Packet *Taken = Zem4GetPacket(1032);
  EXPECT_EQ(Taken, Medium);
  // Again 1032 bytes: the small list is empty now, so a new packet, even
  // though a 4096-byte one lies in the large list.
  Zem4Packet *Fresh = Zem4GetPacket(1032);
  EXPECT_NE(Fresh, Large);
  EXPECT_EQ(Fresh->Capacity, 1032u);
  EXPECT_EQ(ListLength(&gZem4PacketPool.LargeFreeList), 1u);
  // And 2048 bytes or more never take from the small list.
  Zem4ReleasePacket(Fresh);
  Zem4Packet *Big = Zem4GetPacket(2048);
  EXPECT_EQ(Big, Large);
  EXPECT_EQ(ListLength(&gZem4PacketPool.SmallFreeList), 1u);
  Zem4ReleasePacket(Big);
  Zem4ReleasePacket(Taken);
  EXPECT_EQ(gZem4PacketPool.PacketBytes, 1500u + 4096u + 1032u);
}

TEST_F(TransportTest, ReuseIsLastInFirstOut) {
  Zem4Packet *Small = Zem4GetPacket(256);
  Zem4Packet *Block = Zem4GetPacket(1032);
  Zem4ReleasePacket(Small);
  Zem4ReleasePacket(Block);
  EXPECT_EQ(Zem4GetPacket(100), Block);
  EXPECT_EQ(Zem4GetPacket(100), Small);
  Zem4ReleasePacket(Small);
  Zem4ReleasePacket(Block);
  // A request the front packet cannot serve skips it.
  EXPECT_EQ(Zem4GetPacket(1000), Block);
  Zem4ReleasePacket(Block);
}

TEST_F(TransportTest, TwoMegabytesOfPacketsStopPooling) {
  std::vector<Zem4Packet *> Packets;
  // 0x200000 / 0x10000 = 32 packets make the threshold exactly.
  for (int Index = 0; Index < 32; Index++) {
    Packets.push_back(Zem4GetPacket(0x10000));
  }
  EXPECT_EQ(gZem4PacketPool.PacketBytes, 0x200000u);
  Zem4ReleasePacket(Packets[0]);
  EXPECT_EQ(gZem4PacketPool.PacketBytes, 0x200000u - 0x10000u);
  EXPECT_TRUE(IsListEmpty(&gZem4PacketPool.LargeFreeList));
  // Below the threshold again: pooled.
  Zem4ReleasePacket(Packets[1]);
  EXPECT_EQ(ListLength(&gZem4PacketPool.LargeFreeList), 1u);
  EXPECT_EQ(gZem4PacketPool.PacketBytes, 0x200000u - 0x10000u);
  for (size_t Index = 2; Index < Packets.size(); Index++) {
    Zem4ReleasePacket(Packets[Index]);
  }
  EXPECT_EQ(ListLength(&gZem4PacketPool.LargeFreeList), 31u);
}

TEST_F(TransportTest, ReleaseOfASharedPacketOnlyCounts) {
  Zem4Packet *Packet = Zem4GetPacket(64);
  ASSERT_EQ(Zem4CreatePacketEvent(Packet, TestNotify), EFI_SUCCESS);
  Packet->RefCount = 2;
  Zem4ReleasePacket(Packet);
  EXPECT_EQ(Packet->RefCount, 1u);
  EXPECT_NE(Packet->TxToken.Event, nullptr);
  EXPECT_TRUE(Fw->IsEvent(Packet->TxToken.Event));
  EFI_EVENT Event = Packet->TxToken.Event;
  Zem4ReleasePacket(Packet);
  EXPECT_EQ(Packet->TxToken.Event, nullptr);
  EXPECT_FALSE(Fw->IsEvent(Event));
  EXPECT_EQ(Packet->RefCount, 1u);
}

TEST_F(TransportTest, TakenPacketsAreRefreshed) {
  Zem4Packet *Packet = Zem4GetPacket(64);
  Packet->TxToken.Status = EFI_ABORTED;
  Packet->Signature = 0;
  Zem4ReleasePacket(Packet);
  Packet = Zem4GetPacket(64);
  EXPECT_EQ(Packet->Signature, ZEM4_PACKET_SIGNATURE);
  EXPECT_EQ(Packet->TxToken.Status, EFI_SUCCESS);
  Zem4ReleasePacket(Packet);
}

TEST_F(TransportTest, CopyHasTheContentsButNoEvent) {
  Zem4Packet *Source = Zem4GetPacket(300);
  for (UINT32 Index = 0; Index < 300; Index++) {
    Source->Buffer[Index] = static_cast<UINT8>(Index * 7);
  }
  EFI_IPv4_ADDRESS Server = Rig->ServerIp();
  Zem4SetPacketDestination(Source, Record(), 123, &Server, 999);
  ASSERT_EQ(Zem4CreatePacketEvent(Source, TestNotify), EFI_SUCCESS);

  Zem4Packet *Copy = Zm4CopyPacket(Source);
  ASSERT_NE(Copy, nullptr);
  EXPECT_NE(Copy, Source);
  EXPECT_EQ(Copy->Capacity, 300u);
  EXPECT_EQ(Copy->Length, 123u);
  EXPECT_EQ(Copy->Instance, Record());
  EXPECT_EQ(Copy->TxData.DataLength, 123u);
  EXPECT_EQ(Copy->TxData.FragmentTable[0].FragmentLength, 123u);
  EXPECT_EQ(Copy->TxData.FragmentTable[0].FragmentBuffer, Copy->Buffer);
  EXPECT_EQ(Copy->TxData.UdpSessionData, &Copy->Endpoints);
  EXPECT_EQ(Copy->Endpoints.DestinationPort, 999);
  EXPECT_EQ(std::memcmp(Copy->Buffer, Source->Buffer, 123), 0);
  EXPECT_EQ(Copy->TxToken.Event, nullptr);
  Zem4ReleasePacket(Copy);
  Zem4ReleasePacket(Source);

  Source = Zem4AllocPacket(0);
  Zem4DrainPacketPool();
  FailNext("AllocatePool");
  EXPECT_EQ(Zm4CopyPacket(Source), nullptr);
  Zem4FreePacket(Source);
  EXPECT_EQ(Logs(), (std::vector<std::string>{
                        "Zem4AllocPacket: failed to allocate a token for packet buffer\r\n",
                        "Zm4CopyPacket: failed to allocate a new packet buffer\r\n"}));
}

TEST_F(TransportTest, AllocationFailuresLeaveTheCountAlone) {
  FailNext("AllocatePool");
  EXPECT_EQ(Zem4AllocPacket(10), nullptr);
  // Record allocated, buffer refused: the record is freed again.
  Fw->Faults().FailNth("AllocatePool", Fw->Faults().Count("AllocatePool") + 2,
                       EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Zem4AllocPacket(10), nullptr);
  EXPECT_EQ(gZem4PacketPool.PacketBytes, 0u);
  EXPECT_EQ(Logs(), (std::vector<std::string>{
                        "Zem4AllocPacket: failed to allocate a token for packet buffer\r\n",
                        "Zem4AllocPacket: failed to allocate data memory for packet buffer\r\n"}));
}

TEST_F(TransportTest, DrainFreesEveryPooledPacket) {
  Zem4Packet *A = Zem4GetPacket(10);
  Zem4Packet *B = Zem4GetPacket(5000);
  Zem4Packet *InUse = Zem4GetPacket(10);
  Zem4ReleasePacket(A);
  Zem4ReleasePacket(B);
  Zem4DrainPacketPool();
  EXPECT_TRUE(IsListEmpty(&gZem4PacketPool.SmallFreeList));
  EXPECT_TRUE(IsListEmpty(&gZem4PacketPool.LargeFreeList));
  EXPECT_EQ(gZem4PacketPool.PacketBytes, 256u); // the one still in use
  Zem4ReleasePacket(InUse);
}
