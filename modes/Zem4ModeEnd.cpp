// How the modes end a transfer alike: answering the server with an error
// packet, giving up after too many periods, and on the server's word.
#include "modes/Zem4Modes.h"
#include "protocol/Zem4Instance.h"
#include "protocol/Zem4Rrq.h"
#include "support/DiagLog.h"
#include "transport/Zem4Packet.h"
#include "zem4/Zem4Wire.h"

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
  return Zem4RrqSilentShutdown(Instance);
}

VOID Zem4RrqGiveUp(Zem4Instance *Instance, const CHAR8 *TooMany, const CHAR8 *SendFailed) {
  DiagLog(DIAG_ERROR, TooMany);
  Instance->Status = EFI_TIMEOUT;
  Zem4RrqAnswerWithError(Instance, ZEM4_ERR_NOT_DEFINED, ZEM4_MSG_TOO_MANY_TIMEOUTS, SendFailed);
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
  return Zem4RrqSilentShutdown(Instance);
}
