// What the modes do alike: read a DATA8, send a packet and keep it for
// resends, answer the server with an error packet, and end a transfer on
// their own account or on the server's word.
#include "modes/Zem4Modes.h"
#include "protocol/Zem4Instance.h"
#include "protocol/Zem4Rrq.h"
#include "support/DiagLog.h"
#include "transport/Zem4Packet.h"
#include "zem4/Zem4Wire.h"

BOOLEAN Zem4RrqReadData8(const UINT8 *Packet, UINT32 Length, Zem4Data8Fields *Fields) {
  UINT16 Opcode = 0;
  if (!Zem4WireGetOpcode(Packet, Length, &Opcode) || Opcode != ZEM4_OP_DATA8 ||
      !Zem4WireGetBe32(Packet, Length, ZEM4_DATA8_SEQUENCE_OFFSET, &Fields->Sequence) ||
      !Zem4WireGetBe32(Packet, Length, ZEM4_DATA8_BLOCK_OFFSET, &Fields->Block)) {
    return FALSE;
  }
  Fields->Data = Packet + ZEM4_DATA8_DATA_OFFSET;
  Fields->DataLength = Length - (UINT32)ZEM4_DATA8_DATA_OFFSET;
  return TRUE;
}

EFI_STATUS Zem4RrqSendAndKeep(Zem4Instance *Instance, Zem4Packet *Packet, const CHAR8 *BuildFailed,
                              const CHAR8 *SendFailed) {
  if (Packet == NULL) {
    DiagLog(DIAG_ERROR, BuildFailed);
    Instance->Status = EFI_OUT_OF_RESOURCES;
    return EFI_OUT_OF_RESOURCES;
  }
  if (EFI_ERROR(Zem4SendPacket(Instance, Packet))) {
    DiagLog(DIAG_ERROR, SendFailed);
    Zem4ReleasePacket(Packet);
    Instance->Status = EFI_DEVICE_ERROR;
    return EFI_DEVICE_ERROR;
  }
  if (Instance->LastPacket != NULL) {
    Zem4ReleasePacket(Instance->LastPacket);
  }
  Instance->LastPacket = Packet;
  return EFI_SUCCESS;
}

EFI_STATUS Zem4RrqAnswerWithError(Zem4Instance *Instance, UINT16 Code, const CHAR8 *Message,
                                  const CHAR8 *SendFailed) {
  Zem4ErrorInfo Info;
  Info.ErrorCode = Code;
  Info.ErrorMessage = Message;
  if (!EFI_ERROR(Zem4SendError(Instance, &Info, Zem4RrqSendComplete))) {
    Instance->State = ZEM4_STATE_ERROR_SENT;
    Zem4SetTimer(2, Instance->TimerEvent, 0);
    return EFI_SUCCESS;
  }
  DiagLog(DIAG_ERROR, SendFailed);
  Zem4RrqSilentShutdown(Instance);
  return EFI_ABORTED;
}

VOID Zem4RrqGiveUp(Zem4Instance *Instance, const CHAR8 *TooMany, const CHAR8 *SendFailed) {
  DiagLog(DIAG_ERROR, TooMany);
  Instance->Status = EFI_TIMEOUT;
  Zem4RrqAnswerWithError(Instance, ZEM4_ERR_NOT_DEFINED, ZEM4_MSG_TOO_MANY_TIMEOUTS, SendFailed);
}

EFI_STATUS Zem4RrqShutdown(Zem4Instance *Instance) {
  Zem4RrqSilentShutdown(Instance);
  return EFI_ABORTED;
}

EFI_STATUS Zem4RrqEndOnServerError(Zem4Instance *Instance, const UINT8 *Packet, UINT32 Length,
                                   UINT32 AcceptedIn, UINT32 AlsoAcceptedIn, const CHAR8 *Notice) {
  if (Instance->State != AcceptedIn && Instance->State != AlsoAcceptedIn) {
    return EFI_SUCCESS;
  }
  UINT16 Code = 0;
  Zem4WireGetBe16(Packet, Length, ZEM4_ERROR_CODE_OFFSET, &Code);
  DiagLog(DIAG_NOTICE, Notice, (UINTN)Code);
  Instance->Status = EFI_TFTP_ERROR;
  return Zem4RrqShutdown(Instance);
}
