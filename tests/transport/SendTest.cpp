// Sending, retransmitting, error packets, receiving and closing the port.
#include "transport/TransportFixture.h"
#include "transport/Zem4Build.h"
#include "zem4/Zem4Wire.h"

using namespace zem4::test;

namespace {

Zem4Packet *ErrorPacket(Zem4Instance *Instance, const char *Message) {
  Zem4ErrorInfo Info{0, Message};
  return Zem4BuildErrorPacket(&Info, Instance, TestNotify);
}

EFI_TPL gTplAtConfigure = 0;
EFI_STATUS gConfigureResult = EFI_SUCCESS;
EFI_STATUS EFIAPI ConfigureSeeingTpl(EFI_UDP4_PROTOCOL *, EFI_UDP4_CONFIG_DATA *) {
  EFI_TPL Old = gBS->RaiseTPL(TPL_HIGH_LEVEL);
  gBS->RestoreTPL(Old);
  gTplAtConfigure = Old;
  return gConfigureResult;
}

} // namespace

TEST_F(TransportTest, SendPutsThePacketOnThePendingList) {
  Zem4Packet *Packet = ErrorPacket(Record(), "x");
  ASSERT_EQ(Zem4SendPacket(Record(), Packet), EFI_SUCCESS);
  EXPECT_EQ(Packet->RefCount, 2u);
  EXPECT_TRUE(Zem4PacketInFlight(Packet));
  EXPECT_EQ(Rig->PendingSends(), 1u);
  EXPECT_EQ(Rig->PendingList()->ForwardLink, &Packet->Link);
  ASSERT_EQ(Udp.Sent.size(), 1u);
  EXPECT_EQ(Udp.Sent[0], &Packet->TxToken);
  EXPECT_EQ(Udp.SentBytes[0], std::vector<uint8_t>({0, 5, 0, 0, 'x', 0}));
  CompleteSends();
  EXPECT_EQ(gNotifyCount, 1);
  Zem4ReleasePacket(Packet); // the builder's reference; the pending one goes in TearDown
}

TEST_F(TransportTest, FailedTransmitUndoesThePendingState) {
  Zem4Packet *Packet = ErrorPacket(Record(), "x");
  Udp.TransmitStatus = EFI_NOT_READY;
  EXPECT_EQ(Zem4SendPacket(Record(), Packet), EFI_NOT_READY);
  EXPECT_EQ(Rig->PendingSends(), 0u);
  EXPECT_TRUE(IsListEmpty(Rig->PendingList()));
  EXPECT_EQ(Packet->RefCount, 1u);
  EXPECT_EQ(Rig->Status(), EFI_DEVICE_ERROR);
  EXPECT_EQ(Logs(), std::vector<std::string>{
                        "Zem4SendPacket: UdpIo->Transmit returned with Not Ready.\r\n"});
  Zem4ReleasePacket(Packet);
}

TEST_F(TransportTest, RetransmissionWhilePendingSendsACopy) {
  Zem4Packet *Kept = ErrorPacket(Record(), "again");
  ASSERT_EQ(Zem4ResendPacket(Kept, Record(), Zem4PacketInFlight(Kept), TestNotify), EFI_SUCCESS);
  ASSERT_EQ(Udp.Sent.size(), 1u);
  EXPECT_EQ(Udp.Sent[0], &Kept->TxToken); // not pending yet: the packet itself
  EXPECT_EQ(Kept->RefCount, 2u);

  ASSERT_EQ(Zem4ResendPacket(Kept, Record(), Zem4PacketInFlight(Kept), TestNotify), EFI_SUCCESS);
  ASSERT_EQ(Udp.Sent.size(), 2u);
  EXPECT_NE(Udp.Sent[1], &Kept->TxToken);
  EXPECT_NE(Udp.Sent[1]->Event, Kept->TxToken.Event);
  EXPECT_EQ(Udp.SentBytes[1], Udp.SentBytes[0]);
  EXPECT_EQ(Kept->RefCount, 2u); // unchanged by the copy
  EXPECT_EQ(Rig->PendingSends(), 2u);
  // The copy is held by its pending reference alone.
  Zem4Packet *Copy = ZEM4_CR(Rig->PendingList()->BackLink, Zem4Packet, Link);
  EXPECT_EQ(Copy->RefCount, 1u);
  EXPECT_EQ(Copy->Endpoints.DestinationPort, Kept->Endpoints.DestinationPort);

  CompleteSends();
  EXPECT_EQ(gNotifyCount, 2); // each send completes through its own event
  Zem4ReleasePacket(Kept);
}

TEST_F(TransportTest, RetransmissionFailures) {
  Zem4Packet *Kept = ErrorPacket(Record(), "k");
  ASSERT_EQ(Zem4SendPacket(Record(), Kept), EFI_SUCCESS);
  const UINT32 PooledBefore = gZem4PacketPool.PacketBytes;

  FailNext("CreateEvent");
  EXPECT_EQ(Zem4ResendPacket(Kept, Record(), TRUE, TestNotify), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Rig->Status(), EFI_OUT_OF_RESOURCES);

  Udp.TransmitStatus = EFI_NO_MEDIA;
  EXPECT_EQ(Zem4ResendPacket(Kept, Record(), TRUE, TestNotify), EFI_NO_MEDIA);
  Zem4Packet *Idle = ErrorPacket(Record(), "idle");
  EXPECT_EQ(Zem4ResendPacket(Idle, Record(), FALSE, TestNotify), EFI_NO_MEDIA);
  Zem4ReleasePacket(Idle);
  EXPECT_EQ(Kept->RefCount, 2u);
  EXPECT_EQ(Rig->PendingSends(), 1u);

  Udp.TransmitStatus = EFI_SUCCESS;
  FailNext("AllocatePool");
  Zem4DrainPacketPool();
  EXPECT_EQ(Zem4ResendPacket(Kept, Record(), TRUE, TestNotify), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Logs(), (std::vector<std::string>{
                        "Zem4BuildRequest: failed to create event for the packet buffer\r\n",
                        "Zem4SendPacket: UdpIo->Transmit returned with No Media.\r\n",
                        "Zem4ResendPacket: faile to send the copy of  the buffer\r\n",
                        "Zem4SendPacket: UdpIo->Transmit returned with No Media.\r\n",
                        "Zem4ResendPacket: failed to retransmit the packet\r\n",
                        "Zem4AllocPacket: failed to allocate a token for packet buffer\r\n",
                        "Zm4CopyPacket: failed to allocate a new packet buffer\r\n",
                        "Zem4ResendPacket: faile to copy the buffer\r\n"}));
  // Every failed copy went back to the pool, none is left in use.
  EXPECT_LE(gZem4PacketPool.PacketBytes, PooledBefore);
  Zem4ReleasePacket(Kept);
}

TEST_F(TransportTest, SendingAPendingPacketAgainSendsACopy) {
  Zem4Packet *Kept = ErrorPacket(Record(), "rrq");
  ASSERT_EQ(Zem4SendPacket(Record(), Kept), EFI_SUCCESS);
  ASSERT_EQ(Zem4SendPacket(Record(), Kept), EFI_SUCCESS);
  EXPECT_EQ(Rig->PendingSends(), 2u);
  EXPECT_EQ(Kept->RefCount, 2u);
  ASSERT_EQ(Udp.Sent.size(), 2u);
  EXPECT_NE(Udp.Sent[1], &Kept->TxToken);
  EXPECT_EQ(Udp.SentBytes[1], Udp.SentBytes[0]);
  // The pending list is intact: the kept packet, then its copy.
  EXPECT_EQ(Rig->PendingList()->ForwardLink, &Kept->Link);
  EXPECT_EQ(Kept->Link.ForwardLink->ForwardLink, Rig->PendingList());
  EXPECT_EQ(Rig->PendingList()->BackLink->BackLink, &Kept->Link);
  Zem4ReleasePacket(Kept);
}

TEST_F(TransportTest, SendErrorKeepsTheLastErrorForRetransmission) {
  Zem4ErrorInfo First{0, ZEM4_MSG_TOO_MANY_TIMEOUTS};
  ASSERT_EQ(Zem4SendError(Record(), &First, TestNotify), EFI_SUCCESS);
  Zem4Packet *Kept = Rig->LastPacket();
  ASSERT_NE(Kept, nullptr);
  EXPECT_EQ(Kept->RefCount, 2u);

  Zem4ErrorInfo Second{3, ZEM4_MSG_DISK_FULL};
  ASSERT_EQ(Zem4SendError(Record(), &Second, TestNotify), EFI_SUCCESS);
  EXPECT_NE(Rig->LastPacket(), Kept);
  EXPECT_EQ(Kept->RefCount, 1u); // now held by the pending list only
  ASSERT_EQ(Udp.SentBytes.size(), 2u);
  EXPECT_EQ(Udp.SentBytes[1],
            std::vector<uint8_t>({0, 5, 0, 3, 'D', 'i', 's', 'k', ' ', 'f', 'u', 'l', 'l', 0}));

  Zem4Packet *Before = Rig->LastPacket();
  Udp.TransmitStatus = EFI_DEVICE_ERROR;
  EXPECT_EQ(Zem4SendError(Record(), &Second, TestNotify), EFI_DEVICE_ERROR);
  EXPECT_EQ(Rig->LastPacket(), Before);
  FailNext("CreateEvent");
  EXPECT_EQ(Zem4SendError(Record(), &Second, TestNotify), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Rig->LastPacket(), Before);
  EXPECT_EQ(Logs(), (std::vector<std::string>{
                        "Zem4SendPacket: UdpIo->Transmit returned with Device Error.\r\n",
                        "Zem4SendError: failed to send an error packet, double error\r\n",
                        "Zem4BuildErrorPacket: failed to create an event for the send token\r\n",
                        "Zem4SendError: failed to build an error packet, double error\r\n"}));
}

TEST_F(TransportTest, StartRcvToleratesAReceiveAlreadyPosted) {
  ASSERT_EQ(gBS->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, TestNotify, nullptr,
                             &Rig->RxContext()->RxToken.Event),
            EFI_SUCCESS);
  EXPECT_EQ(Zem4StartRcv(Record()), EFI_SUCCESS);
  EXPECT_EQ(Zem4StartRcv(Record()), EFI_SUCCESS); // EFI_ACCESS_DENIED underneath
  ASSERT_EQ(Udp.Receives.size(), 1u);
  EXPECT_EQ(Udp.Receives[0], &Rig->RxContext()->RxToken);
  EXPECT_TRUE(Logs().empty());

  Udp.ReceiveStatus = EFI_NO_MEDIA;
  EXPECT_EQ(Zem4StartRcv(Record()), EFI_NO_MEDIA);
  EXPECT_EQ(Rig->Status(), EFI_DEVICE_ERROR);
  EXPECT_EQ(Logs(),
            std::vector<std::string>{"Zem4StartRcv: Udp4Io->Receive returned with No Media.\r\n"});
  gBS->CloseEvent(Rig->RxContext()->RxToken.Event);
}

TEST_F(TransportTest, ClosingThePortDropsEverythingAtTheLockLevel) {
  ASSERT_EQ(gBS->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, TestNotify, nullptr,
                             &Rig->RxContext()->RxToken.Event),
            EFI_SUCCESS);
  Zem4Packet *Kept = ErrorPacket(Record(), "kept");
  Zem4Packet *Loose = ErrorPacket(Record(), "loose");
  ASSERT_EQ(Zem4SendPacket(Record(), Kept), EFI_SUCCESS);
  ASSERT_EQ(Zem4SendPacket(Record(), Loose), EFI_SUCCESS);
  Zem4ReleasePacket(Loose); // only the pending list holds it now

  Udp.Proto.Configure = ConfigureSeeingTpl;
  gConfigureResult = EFI_DEVICE_ERROR;
  EXPECT_EQ(Zem4CloseUdpPort(&Udp.Proto, Rig->RxContext(), Rig->PendingList()), EFI_DEVICE_ERROR);
  EXPECT_EQ(gTplAtConfigure, static_cast<EFI_TPL>(TPL_CALLBACK));
  EXPECT_EQ(Fw->CurrentTpl(), TPL_APPLICATION);
  // Nothing was touched.
  EXPECT_NE(Rig->RxContext()->RxToken.Event, nullptr);
  EXPECT_NE(Kept->TxToken.Event, nullptr);
  EXPECT_EQ(Kept->RefCount, 2u);
  EXPECT_EQ(Logs(), std::vector<std::string>{
                        "Zem4CloseUdpPort: failed to configure NULL to the Udp port\r\n"});

  gConfigureResult = EFI_SUCCESS;
  EXPECT_EQ(Zem4CloseUdpPort(&Udp.Proto, Rig->RxContext(), Rig->PendingList()), EFI_SUCCESS);
  EXPECT_EQ(Fw->CurrentTpl(), TPL_APPLICATION);
  EXPECT_EQ(Rig->RxContext()->RxToken.Event, nullptr);
  EXPECT_TRUE(IsListEmpty(Rig->PendingList()));
  EXPECT_EQ(Kept->RefCount, 1u);
  EXPECT_EQ(Kept->TxToken.Event, nullptr);
  // The loose packet went back to the pool; the kept one is still its owner's.
  EXPECT_EQ(gZem4PacketPool.SmallFreeList.ForwardLink, &Loose->Link);
  Rig->ForgetPendingSends();
  Zem4ReleasePacket(Kept);

  // No receive context at all is fine too.
  EXPECT_EQ(Zem4CloseUdpPort(&Udp.Proto, nullptr, Rig->PendingList()), EFI_SUCCESS);
}
