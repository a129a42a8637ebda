// Packet records, the packet pool and the unicast UDP4 port's send/receive.
#include "transport/Zem4Packet.h"

#include "protocol/Zem4Instance.h"
#include "protocol/Zem4Rrq.h"
#include "support/DiagLog.h"
#include "support/Globals.h"
#include "transport/Zem4Build.h"

Zem4PacketPool gZem4PacketPool;

namespace {

// The pool is zero until its first use or until the entry point initialises
// it; a zero head would be a crash, so every pool operation starts here.
inline Zem4PacketPool &Pool() {
  if (gZem4PacketPool.SmallFreeList.ForwardLink == nullptr) {
    Zem4InitPacketPool();
  }
  return gZem4PacketPool;
}

inline LIST_ENTRY *FreeListFor(UINT32 Capacity) {
  return Capacity < ZEM4_PACKET_LARGE_CAPACITY ? &Pool().SmallFreeList : &Pool().LargeFreeList;
}

} // namespace

VOID Zem4InitPacketPool(VOID) {
  InitializeListHead(&gZem4PacketPool.SmallFreeList);
  InitializeListHead(&gZem4PacketPool.LargeFreeList);
  gZem4PacketPool.PacketBytes = 0;
}

Zem4Packet *Zem4AllocPacket(UINT32 Size) {
  if (Size != 0 && Size < ZEM4_PACKET_MIN_CAPACITY) {
    Size = ZEM4_PACKET_MIN_CAPACITY;
  }

  VOID *Record = nullptr;
  if (EFI_ERROR(gBS->AllocatePool(EfiBootServicesData, sizeof(Zem4Packet), &Record)) ||
      Record == nullptr) {
    DiagLog(DIAG_ERROR, "Zem4AllocPacket: failed to allocate a token for packet buffer\n");
    return nullptr;
  }
  gBS->SetMem(Record, sizeof(Zem4Packet), 0);
  Zem4Packet *Packet = static_cast<Zem4Packet *>(Record);
  Packet->Signature = ZEM4_PACKET_SIGNATURE;
  Packet->TxToken.Status = EFI_SUCCESS;
  Packet->TxToken.Packet.TxData = &Packet->TxData;
  Packet->TxData.UdpSessionData = &Packet->Endpoints;
  Packet->Capacity = Size;
  InitializeListHead(&Packet->Link);

  if (Size != 0) {
    VOID *Buffer = nullptr;
    if (EFI_ERROR(gBS->AllocatePool(EfiBootServicesData, Size, &Buffer)) || Buffer == nullptr) {
      DiagLog(DIAG_ERROR, "Zem4AllocPacket: failed to allocate data memory for packet buffer\n");
      gBS->FreePool(Packet);
      return nullptr;
    }
    Packet->TxData.FragmentTable[0].FragmentLength = 0;
    Packet->Buffer = static_cast<UINT8 *>(Buffer);
    Packet->TxData.FragmentTable[0].FragmentBuffer = Buffer;
    Packet->Length = Size;
    Packet->TxData.FragmentCount = 1;
  }

  Pool().PacketBytes += Size;
  Packet->RefCount = 1;
  return Packet;
}

Zem4Packet *Zem4GetPacket(UINT32 Size) {
  // Only the size class of the request is searched, front first: the most
  // recently released packet that fits is reused.
  LIST_ENTRY *Head = FreeListFor(Size);
  for (LIST_ENTRY *Entry = Head->ForwardLink; Entry != Head; Entry = Entry->ForwardLink) {
    Zem4Packet *Packet = ZEM4_CR(Entry, Zem4Packet, Link);
    if (Packet->Capacity >= Size) {
      RemoveEntryList(&Packet->Link);
      Packet->TxToken.Status = EFI_SUCCESS;
      Packet->Signature = ZEM4_PACKET_SIGNATURE;
      Packet->RefCount = 1;
      return Packet;
    }
  }
  return Zem4AllocPacket(Size);
}

VOID Zem4FreePacket(Zem4Packet *Packet) {
  Pool().PacketBytes -= Packet->Capacity;
  if (Packet->Capacity != 0) {
    gBS->FreePool(Packet->Buffer);
  }
  gBS->FreePool(Packet);
}

VOID Zem4ReleasePacket(Zem4Packet *Packet) {
  if (Packet->RefCount > 1) {
    Packet->RefCount--;
    return;
  }
  if (Packet->TxToken.Event != nullptr) {
    gBS->CloseEvent(Packet->TxToken.Event);
    Packet->TxToken.Event = nullptr;
  }
  if (Pool().PacketBytes >= ZEM4_PACKET_POOL_LIMIT) {
    Zem4FreePacket(Packet);
    return;
  }
  InsertHeadList(FreeListFor(Packet->Capacity), &Packet->Link);
}

Zem4Packet *Zm4CopyPacket(Zem4Packet *Source) {
  Zem4Packet *Copy = Zem4GetPacket(Source->Capacity);
  if (Copy == nullptr) {
    DiagLog(DIAG_ERROR, "Zm4CopyPacket: failed to allocate a new packet buffer\n");
    return nullptr;
  }
  Copy->Length = Source->Length;
  Copy->Instance = Source->Instance;
  Copy->TxData.DataLength = Source->TxData.DataLength;
  Copy->TxData.FragmentCount = Source->TxData.FragmentCount;
  Copy->TxData.FragmentTable[0].FragmentLength = Source->TxData.FragmentTable[0].FragmentLength;
  Copy->Endpoints = Source->Endpoints;
  Copy->TxToken.Status = EFI_SUCCESS;
  if (Source->Length != 0) {
    gBS->CopyMem(Copy->Buffer, Source->Buffer, Source->Length);
  }
  return Copy;
}

VOID Zem4DrainPacketPool(VOID) {
  LIST_ENTRY *Lists[2] = {&Pool().SmallFreeList, &Pool().LargeFreeList};
  for (LIST_ENTRY *Head : Lists) {
    while (!IsListEmpty(Head)) {
      Zem4Packet *Packet = ZEM4_CR(Head->ForwardLink, Zem4Packet, Link);
      RemoveEntryList(&Packet->Link);
      Zem4FreePacket(Packet);
    }
  }
}

VOID Zem4SetPacketDestination(Zem4Packet *Packet, Zem4Instance *Instance, UINT32 Length,
                              const EFI_IPv4_ADDRESS *Ip, UINT16 Port) {
  Packet->Length = Length;
  Packet->TxData.DataLength = Length;
  Packet->TxData.FragmentCount = 1;
  Packet->TxData.FragmentTable[0].FragmentLength = Length;
  Packet->TxData.FragmentTable[0].FragmentBuffer = Packet->Buffer;
  Packet->TxData.UdpSessionData = &Packet->Endpoints;
  Packet->TxToken.Packet.TxData = &Packet->TxData;
  Packet->Endpoints.DestinationAddress = *Ip;
  Packet->Endpoints.DestinationPort = Port;
  Packet->Instance = Instance;
}

EFI_STATUS Zem4CreatePacketEvent(Zem4Packet *Packet, EFI_EVENT_NOTIFY Notify) {
  return gBS->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, Notify, Packet, &Packet->TxToken.Event);
}

EFI_STATUS Zem4SendPacket(Zem4Instance *Instance, Zem4Packet *Packet) {
  // Still pending from an earlier send: its token and link are in use, and
  // linking it twice would wreck the pending list. It goes out as a copy.
  if (Packet->Link.ForwardLink != &Packet->Link) {
    return Zem4ResendPacket(Packet, Instance, TRUE, Zem4RrqSendComplete);
  }
  // The pending list holds a reference of its own until the send completes.
  Packet->RefCount++;
  Instance->PendingSends++;
  InsertTailList(&Instance->PendingList, &Packet->Link);

  EFI_STATUS Status = Instance->Udp->Transmit(Instance->Udp, &Packet->TxToken);
  if (EFI_ERROR(Status)) {
    DiagLog(DIAG_ERROR, "Zem4SendPacket: UdpIo->Transmit returned with %r.\n", Status);
    Instance->PendingSends--;
    RemoveEntryList(&Packet->Link);
    Zem4ReleasePacket(Packet);
    Instance->Status = EFI_DEVICE_ERROR;
  }
  return Status;
}

EFI_STATUS Zem4StartRcv(Zem4Instance *Instance) {
  EFI_STATUS Status = Instance->Udp->Receive(Instance->Udp, &Instance->RxContext.RxToken);
  // EFI_ACCESS_DENIED: this token is already posted, which is what we want.
  if (Status == EFI_SUCCESS || Status == EFI_ACCESS_DENIED) {
    return EFI_SUCCESS;
  }
  DiagLog(DIAG_ERROR, "Zem4StartRcv: Udp4Io->Receive returned with %r.\n", Status);
  Instance->Status = EFI_DEVICE_ERROR;
  return Status;
}

EFI_STATUS Zem4CloseUdpPort(EFI_UDP4_PROTOCOL *Udp, Zem4RxContext *RxContext,
                            LIST_ENTRY *PendingList) {
  // Completion notifies stay out while the port is reset and its events go.
  EFI_TPL OldTpl = Zem4RaiseToLock();

  EFI_STATUS Status = Udp->Configure(Udp, nullptr);
  if (EFI_ERROR(Status)) {
    DiagLog(DIAG_ERROR, "Zem4CloseUdpPort: failed to configure NULL to the Udp port\n");
    gBS->RestoreTPL(OldTpl);
    return Status;
  }
  Zem4ForgetUdpPort(RxContext, PendingList);
  gBS->RestoreTPL(OldTpl);
  return EFI_SUCCESS;
}

VOID Zem4ForgetRx(Zem4RxContext *RxContext) {
  EFI_TPL OldTpl = Zem4RaiseToLock();
  // A datagram that completed while notifications were held off will never
  // reach the dispatch once its event is closed: hand its buffer back here.
  if (RxContext->RxToken.Status == EFI_SUCCESS && RxContext->RxToken.Packet.RxData != nullptr) {
    gBS->SignalEvent(RxContext->RxToken.Packet.RxData->RecycleSignal);
    RxContext->RxToken.Packet.RxData = nullptr;
  }
  if (RxContext->RxToken.Event != nullptr) {
    gBS->CloseEvent(RxContext->RxToken.Event);
    RxContext->RxToken.Event = nullptr;
  }
  gBS->RestoreTPL(OldTpl);
}

VOID Zem4ForgetUdpPort(Zem4RxContext *RxContext, LIST_ENTRY *PendingList) {
  EFI_TPL OldTpl = Zem4RaiseToLock();
  if (RxContext != nullptr) {
    Zem4ForgetRx(RxContext);
  }

  while (!IsListEmpty(PendingList)) {
    Zem4Packet *Packet = ZEM4_CR(PendingList->ForwardLink, Zem4Packet, Link);
    RemoveEntryList(&Packet->Link);
    if (Packet->TxToken.Event != nullptr) {
      gBS->CloseEvent(Packet->TxToken.Event);
      Packet->TxToken.Event = nullptr;
    }
    Zem4ReleasePacket(Packet);
  }

  InitializeListHead(PendingList);
  gBS->RestoreTPL(OldTpl);
}

EFI_STATUS Zem4SendError(Zem4Instance *Instance, Zem4ErrorInfo *Info, EFI_EVENT_NOTIFY Notify) {
  Zem4Packet *Packet = Zem4BuildErrorPacket(Info, Instance, Notify);
  if (Packet == nullptr) {
    DiagLog(DIAG_ERROR, "Zem4SendError: failed to build an error packet, double error\n");
    return EFI_OUT_OF_RESOURCES;
  }

  EFI_STATUS Status = Zem4SendPacket(Instance, Packet);
  if (EFI_ERROR(Status)) {
    DiagLog(DIAG_ERROR, "Zem4SendError: failed to send an error packet, double error\n");
    Zem4ReleasePacket(Packet);
    return Status;
  }

  if (Instance->LastPacket != nullptr) {
    Zem4ReleasePacket(Instance->LastPacket);
  }
  Instance->LastPacket = Packet;
  return EFI_SUCCESS;
}

EFI_STATUS Zem4ResendPacket(Zem4Packet *Packet, Zem4Instance *Instance, BOOLEAN Copy,
                            EFI_EVENT_NOTIFY Notify) {
  if (!Copy) {
    EFI_STATUS Status = Zem4SendPacket(Instance, Packet);
    if (EFI_ERROR(Status)) {
      DiagLog(DIAG_ERROR, "Zem4ResendPacket: failed to retransmit the packet\n");
      return Status;
    }
    return EFI_SUCCESS;
  }

  // An earlier send of this packet is still pending: its token and link are
  // in use, so a copy with its own event goes out instead.
  Zem4Packet *Duplicate = Zm4CopyPacket(Packet);
  if (Duplicate == nullptr) {
    DiagLog(DIAG_ERROR, "Zem4ResendPacket: faile to copy the buffer\n");
    Instance->Status = EFI_OUT_OF_RESOURCES;
    return EFI_OUT_OF_RESOURCES;
  }

  EFI_STATUS Result;
  if (EFI_ERROR(Zem4CreatePacketEvent(Duplicate, Notify))) {
    DiagLog(DIAG_ERROR, "Zem4BuildRequest: failed to create event for the packet buffer\n");
    Instance->Status = EFI_OUT_OF_RESOURCES;
    Result = EFI_OUT_OF_RESOURCES;
  } else {
    Result = Zem4SendPacket(Instance, Duplicate);
    if (EFI_ERROR(Result)) {
      DiagLog(DIAG_ERROR, "Zem4ResendPacket: faile to send the copy of  the buffer\n");
    } else {
      Result = EFI_SUCCESS;
    }
  }
  // The creator's reference; a copy in flight lives on through the pending one.
  Zem4ReleasePacket(Duplicate);
  return Result;
}
