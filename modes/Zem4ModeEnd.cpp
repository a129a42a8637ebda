// How every mode ends a transfer, on its own account or on the server's word.
#include "modes/Zem4Modes.h"
#include "protocol/Zem4Instance.h"
#include "protocol/Zem4Rrq.h"
#include "support/DiagLog.h"
#include "zem4/Zem4Wire.h"

EFI_STATUS Zem4RrqShutdown(Zem4Instance *Instance) {
  Zem4RrqSilentShutdown(Instance);
  return EFI_ABORTED;
}

EFI_STATUS Zem4RrqEndOnServerError(Zem4Instance *Instance, const UINT8 *Packet, UINT32 Length,
                                   const CHAR8 *Notice) {
  UINT16 Code = 0;
  Zem4WireGetBe16(Packet, Length, ZEM4_ERROR_CODE_OFFSET, &Code);
  DiagLog(DIAG_NOTICE, Notice, (UINTN)Code);
  Instance->Status = EFI_TFTP_ERROR;
  return Zem4RrqShutdown(Instance);
}
