// The packets a mode keeps for resending (RequestPacket, LastPacket): a new
// one sent and kept in place of the one before, and a kept one sent again.
#include "modes/Zem4Modes.h"

#include "protocol/Zem4Instance.h"
#include "protocol/Zem4Rrq.h"
#include "support/DiagLog.h"
#include "transport/Zem4Packet.h"

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

EFI_STATUS Zem4RrqResendKept(Zem4Instance *Instance, Zem4Packet *Packet) {
  if (Packet == NULL) {
    return EFI_NOT_FOUND;
  }
  return Zem4ResendPacket(Packet, Instance, Zem4PacketInFlight(Packet), Zem4RrqSendComplete);
}
