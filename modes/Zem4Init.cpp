// Init mode: the request is out. Retransmits it, turns the server's OACK into
// the way the file is received, and ends the transfer on a server error or
// when the server stays silent.
#include "modes/Zem4Modes.h"

#include "modes/Zem4Missing.h"
#include "protocol/Zem4Instance.h"
#include "protocol/Zem4Options.h"
#include "protocol/Zem4Rrq.h"
#include "support/DiagLog.h"
#include "support/Globals.h"
#include "support/Math64.h"
#include "transport/Zem4Packet.h"
#include "zem4/Zem4Wire.h"

namespace {

// Answers the OACK with an error packet and lingers to repeat it.
EFI_STATUS AnswerOack(Zem4Instance *Instance, const CHAR8 *Message) {
  return Zem4RrqAnswerWithError(
      Instance, ZEM4_ERR_ILLEGAL_OPERATION, Message,
      "Zem4RrqInitRcvOack: failed to send an error packet (OACK malformed)\n");
}

// Opens the group's port and posts its first receive. An error result: the
// transfer is shutting down. *Answered: a master that got no port is
// answering the server with an error packet instead.
EFI_STATUS OpenGroup(Zem4Instance *Instance, BOOLEAN Passive, BOOLEAN *Answered) {
  *Answered = FALSE;
  EFI_STATUS Status =
      Zem4RrqCreateMcastPort(Instance, Instance->Options.McastIp, Instance->Options.McastPort);
  if (EFI_ERROR(Status)) {
    if (Passive) {
      DiagLog(DIAG_ERROR, "Zem4RrqInitRcvOack: failed to create multicast udp port for passive\n");
      return Zem4RrqSilentShutdown(Instance);
    }
    DiagLog(DIAG_ERROR, "Zem4RrqInitRcvOack: failed to create multicast udp port for active\n");
    // Status stays what the port creation left.
    *Answered = TRUE;
    return AnswerOack(Instance, ZEM4_MSG_NO_MCAST_PORT);
  }
  Status = Zem4RrqStartMcastRcv(Instance->RrqData);
  if (EFI_ERROR(Status)) {
    DiagLog(DIAG_ERROR, "Zem4RrqInitRcvOack: failed to start mcast rcv %r\n", Status);
    // Deaf on the group: a failure, never a success without data.
    Instance->Status = EFI_DEVICE_ERROR;
    return Zem4RrqSilentShutdown(Instance);
  }
  return EFI_SUCCESS;
}

} // namespace

// The closing states (TIME_WAIT, ERROR_SENT) are the dispatch's: the
// handlers below see every other state.
VOID Zem4RrqInitTimer(EFI_EVENT Event, Zem4Instance *Instance) {
  if (Instance->State != ZEM4_STATE_RRQ_SENT) {
    return;
  }
  Instance->RetryCount++;
  // Unlike Active and RPL mode's give-up, no error packet: the server has not
  // taken this request up, so it holds no transfer of ours to end.
  if (Instance->RetryCount > Instance->MaxRetry) {
    DiagLog(DIAG_ERROR, "Zem4RrqInitTimer: too many retries to send request\n");
    Instance->Status = EFI_TIMEOUT;
    Zem4RrqSilentShutdown(Instance);
    return;
  }
  if (EFI_ERROR(Zem4RrqResendKept(Instance, Instance->RequestPacket))) {
    DiagLog(DIAG_ERROR,
            "Zem4RrqInitTimer: failed to retransmit the request, init silent shutdown\n");
    Zem4RrqSilentShutdown(Instance);
    return;
  }
  Zem4SetTimer(Instance->RetryTimeout, Instance->TimerEvent, 0);
}

EFI_STATUS Zem4RrqInitRcvData(Zem4Instance *Instance, UINT8 *Packet, UINT32 Length,
                              BOOLEAN FromMcast) {
  // Data before the OACK: nothing to keep it in yet.
  Zem4RrqNoteData(Instance);
  return EFI_SUCCESS;
}

EFI_STATUS Zem4RrqInitRcvError(Zem4Instance *Instance, UINT8 *Packet, UINT32 Length) {
  return Zem4RrqEndOnServerError(Instance, Packet, Length, ZEM4_STATE_RRQ_SENT,
                                 ZEM4_STATE_ERROR_SENT,
                                 "Zem4RrqInitRcvError: received an error packet(%d) from server\n");
}

EFI_STATUS Zem4RrqInitRcvOack(Zem4Instance *Instance, UINT8 *Packet, UINT32 Length) {
  if (Instance->State != ZEM4_STATE_RRQ_SENT) {
    return EFI_SUCCESS; // a repeated OACK
  }

  if (EFI_ERROR(Zem4ParseOack(&Instance->Options, Packet, Length))) {
    DiagLog(DIAG_ERROR, "Zem4RrqInitRcvOack: failed to parse the OACK packet\n");
    Instance->Status = EFI_DEVICE_ERROR;
    return AnswerOack(Instance, ZEM4_MSG_MALFORMED_OACK);
  }

  UINT64 Remainder = 0;
  UINT64 Blocks =
      DivU64x64Remainder(Instance->Options.Tsize, Instance->Options.BlockSize, &Remainder);
  if (Remainder != 0) {
    Blocks++;
  }
  Instance->TotalBlocks = (UINT32)Blocks;

  BOOLEAN Answered = FALSE;
  EFI_STATUS Status;
  switch (Instance->Options.McastRole) {
  case MCAST_ROLE_PASSIVE:
    Status = OpenGroup(Instance, TRUE, &Answered);
    if (EFI_ERROR(Status)) {
      return Status;
    }
    Zem4RrqSetMode(ZEM4_MODE_PASSIVE, Instance);
    Zem4SetTimer(Instance->RetryTimeout, Instance->TimerEvent, 0);
    Instance->State = ZEM4_STATE_RECEIVING;
    return EFI_SUCCESS; // a passive member sends nothing

  case MCAST_ROLE_ACTIVE:
    Status = OpenGroup(Instance, FALSE, &Answered);
    if (EFI_ERROR(Status) || Answered) {
      return Status;
    }
    break;

  default:
    break;
  }

  // Unicast or master client: the first repair list plays the part of ACK0.
  if (EFI_ERROR(Zem4RrqEnterRpl(Instance))) {
    DiagLog(DIAG_ERROR, "Zem4RrqInitRcvOack: failed to send ACK0\n");
    return Zem4RrqSilentShutdown(Instance);
  }
  return EFI_SUCCESS;
}

EFI_STATUS Zem4RrqInitRcvRplAck(Zem4Instance *Instance, UINT8 *Packet, UINT32 Length) {
  return EFI_SUCCESS; // no repair list is out before the OACK
}
