// Builders of the request, ERROR, ACK8 and RPL packets.
#include "transport/Zem4Build.h"

#include "protocol/Zem4Instance.h"
#include "protocol/Zem4Rrq.h"
#include "support/DiagLog.h"
#include "support/Globals.h"
#include "support/Zem4MissingRange.h"
#include "zem4/Zem4Wire.h"

namespace {

UINT32 AsciiLength(const CHAR8 *String) {
  UINT32 Length = 0;
  while (String[Length] != '\0') {
    Length++;
  }
  return Length;
}

// Copies String with its NUL to Buffer + Offset; returns the offset after it.
UINT32 PutString(UINT8 *Buffer, UINT32 Offset, const CHAR8 *String) {
  UINT32 Length = AsciiLength(String) + 1;
  gBS->CopyMem(Buffer + Offset, const_cast<CHAR8 *>(String), Length);
  return Offset + Length;
}

} // namespace

Zem4Packet *Zem4BuildRequest(Zem4Option *OptionList, Zem4Instance *Instance, UINT16 Opcode,
                             const CHAR8 *Filename, UINT32 OptionCount, EFI_EVENT_NOTIFY Notify) {
  UINT32 Length = AsciiLength(Filename) + 3;
  // A count with no list means no options.
  BOOLEAN WithOptions = (BOOLEAN)(OptionCount != 0 && OptionList != nullptr);
  if (WithOptions) {
    for (UINT32 Index = 0; Index < OptionCount; Index++) {
      if (OptionList[Index].OptionStr == nullptr || OptionList[Index].ValueStr == nullptr) {
        DiagLog(DIAG_ERROR, "Zem4BuildRequest: Invalid option lists.\n");
        Instance->Status = EFI_INVALID_PARAMETER;
        return nullptr;
      }
      Length +=
          AsciiLength(OptionList[Index].OptionStr) + AsciiLength(OptionList[Index].ValueStr) + 2;
    }
  }

  Zem4Packet *Packet = Zem4GetPacket(Length);
  if (Packet == nullptr) {
    DiagLog(DIAG_ERROR, "Zem4BuildRequest: Failed to allocate packet buffer.\n");
    Instance->Status = EFI_OUT_OF_RESOURCES;
    return nullptr;
  }

  Zem4WirePutBe16(Packet->Buffer, ZEM4_OPCODE_OFFSET, Opcode);
  UINT32 Offset = PutString(Packet->Buffer, ZEM4_RRQ_FILENAME_OFFSET, Filename);
  if (WithOptions) {
    for (UINT32 Index = 0; Index < OptionCount; Index++) {
      Offset = PutString(Packet->Buffer, Offset, OptionList[Index].OptionStr);
      Offset = PutString(Packet->Buffer, Offset, OptionList[Index].ValueStr);
    }
  }

  if (EFI_ERROR(Zem4CreatePacketEvent(Packet, Notify))) {
    DiagLog(DIAG_ERROR, "Zem4BuildRequest: failed to create event for the packet buffer\n");
    Instance->Status = EFI_OUT_OF_RESOURCES;
    Zem4ReleasePacket(Packet);
    return nullptr;
  }

  Zem4SetPacketDestination(Packet, Instance, Length, &Instance->RequestServerIp,
                           Instance->RequestServerPort);
  return Packet;
}

EFI_STATUS Zem4BuildRrq(Zem4Instance *Instance, UINT16 Opcode) {
  Zem4Token *Token = Instance->Token;
  Zem4Packet *Packet = Zem4BuildRequest(Token->OptionList, Instance, Opcode, Token->Filename,
                                        Token->OptionCount, Zem4RrqSendComplete);
  if (Packet == nullptr) {
    DiagLog(DIAG_ERROR, "Zem4BuildRrq: failed to build a request packet");
    return EFI_OUT_OF_RESOURCES;
  }
  if (Instance->RequestPacket != nullptr) {
    Zem4ReleasePacket(Instance->RequestPacket);
  }
  Instance->RequestPacket = Packet;
  return EFI_SUCCESS;
}

Zem4Packet *Zem4BuildErrorPacket(Zem4ErrorInfo *Info, Zem4Instance *Instance,
                                 EFI_EVENT_NOTIFY Notify) {
  UINT32 Length = (UINT32)Zem4ErrorLength(AsciiLength(Info->ErrorMessage));

  Zem4Packet *Packet = Zem4GetPacket(Length);
  if (Packet == nullptr) {
    DiagLog(DIAG_ERROR, "Zem4BuildErrorPacket: Failed to allocate a packet buffer.\n");
    Instance->Status = EFI_OUT_OF_RESOURCES;
    return nullptr;
  }

  Zem4WirePutBe16(Packet->Buffer, ZEM4_OPCODE_OFFSET, ZEM4_OP_ERROR);
  Zem4WirePutBe16(Packet->Buffer, ZEM4_ERROR_CODE_OFFSET, Info->ErrorCode);
  PutString(Packet->Buffer, ZEM4_ERROR_MESSAGE_OFFSET, Info->ErrorMessage);

  if (EFI_ERROR(Zem4CreatePacketEvent(Packet, Notify))) {
    DiagLog(DIAG_ERROR, "Zem4BuildErrorPacket: failed to create an event for the send token\n");
    Instance->Status = EFI_OUT_OF_RESOURCES;
    Zem4ReleasePacket(Packet);
    return nullptr;
  }

  Zem4SetPacketDestination(Packet, Instance, Length, &Instance->ServerIp, Instance->ServerPort);
  return Packet;
}

Zem4Packet *Zem4RrqBuildAck(Zem4Instance *Instance, UINT32 Number) {
  Zem4Packet *Packet = Zem4GetPacket((UINT32)ZEM4_ACK8_LENGTH);
  if (Packet == nullptr) {
    DiagLog(DIAG_ERROR, "Zem4RrqBuildAck:Failed to allocate packet buffer.\n");
    Instance->Status = EFI_OUT_OF_RESOURCES;
    return nullptr;
  }

  Zem4WirePutBe16(Packet->Buffer, ZEM4_OPCODE_OFFSET, ZEM4_OP_ACK8);
  Zem4WirePutBe32(Packet->Buffer, ZEM4_ACK8_SEQUENCE_OFFSET, Number);
  Zem4WirePutBe32(Packet->Buffer, ZEM4_ACK8_WINDOW_OFFSET, ZEM4_ACK8_WINDOW);

  if (EFI_ERROR(Zem4CreatePacketEvent(Packet, Zem4RrqSendComplete))) {
    DiagLog(DIAG_ERROR, "Zem4RrqBuildAck: failed to create event\n");
    Instance->Status = EFI_OUT_OF_RESOURCES;
    Zem4ReleasePacket(Packet);
    return nullptr;
  }

  Zem4SetPacketDestination(Packet, Instance, (UINT32)ZEM4_ACK8_LENGTH, &Instance->ServerIp,
                           Instance->ServerPort);
  return Packet;
}

Zem4Packet *Zem4RrqBuildRPL(UINT32 RplSequence, Zem4Instance *Instance) {
  // Room for a full RPL: the server reads 129 ranges as "more follow".
  Zem4Packet *Packet = Zem4GetPacket((UINT32)ZEM4_RPL_MAX_LENGTH);
  if (Packet == nullptr) {
    DiagLog(DIAG_ERROR, "Zem4RrqBuildAck:Failed to allocate packet buffer.\n");
    return nullptr;
  }

  Zem4WirePutBe16(Packet->Buffer, ZEM4_OPCODE_OFFSET, ZEM4_OP_RPL);
  Zem4WirePutBe32(Packet->Buffer, ZEM4_RPL_SEQUENCE_OFFSET, RplSequence);
  Zem4WirePutBe32(Packet->Buffer, ZEM4_RPL_ZERO_OFFSET, 0);

  Zem4RrqData *RrqData = Instance->RrqData;
  LIST_ENTRY *Head = &RrqData->MissingList;
  UINT32 Ranges = 0;
  RrqData->MissingCursor = RrqData->MissingCursor->ForwardLink;
  if (RrqData->MissingCursor == Head) {
    Instance->RplListSent = 1;
  } else {
    for (;;) {
      Zem4MissingRange *Range = ZEM4_CR(RrqData->MissingCursor, Zem4MissingRange, Link);
      size_t Offset = Zem4RplRangeOffset(Ranges);
      Zem4WirePutLe32(Packet->Buffer, Offset + ZEM4_RPL_RANGE_FIRST_OFFSET, Range->First);
      Zem4WirePutLe32(Packet->Buffer, Offset + ZEM4_RPL_RANGE_LAST_OFFSET, Range->Last);
      Ranges++;
      if (Ranges == ZEM4_RPL_MAX_RANGES) {
        break; // the cursor stays on the last range written
      }
      RrqData->MissingCursor = RrqData->MissingCursor->ForwardLink;
      if (RrqData->MissingCursor == Head) {
        Instance->RplListSent = 1;
        break;
      }
    }
  }

  if (EFI_ERROR(Zem4CreatePacketEvent(Packet, Zem4RrqSendComplete))) {
    DiagLog(DIAG_ERROR, "Zem4RrqBuildRPL: failed to create event\n");
    Instance->Status = EFI_OUT_OF_RESOURCES;
    Zem4ReleasePacket(Packet);
    return nullptr;
  }

  Zem4SetPacketDestination(Packet, Instance, (UINT32)Zem4RplLength(Ranges), &Instance->ServerIp,
                           Instance->ServerPort);
  return Packet;
}
