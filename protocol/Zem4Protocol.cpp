// The Zem4 protocol operations that do not start a transfer: GetModeData,
// Configure, GetInfo, Poll, GetStatus, plus the protocol table and GUIDs.
#include "protocol/Zem4Instance.h"
#include "protocol/Zem4Options.h"
#include "protocol/Zem4Rrq.h"
#include "support/DiagLog.h"
#include "support/Globals.h"
#include "support/Math64.h"
#include "zem4/Zem4.h"
#include "zem4/Zem4Wire.h"

const EFI_GUID gZem4ServiceBindingProtocolGuid = ZEM4_SERVICE_BINDING_PROTOCOL_GUID;
const EFI_GUID gZem4ProtocolGuid = ZEM4_PROTOCOL_GUID;

const Zem4 gZem4ProtocolTemplate = {
    Zem4GetModeData, Zem4Config,        Zem4GetInfo, Zem4ParseOptions,
    Zem4ReadFile,    Zem4ReadDirectory, Zem4Poll,    Zem4GetStatus,
};

namespace {

UINT32 AddressToU32(const EFI_IPv4_ADDRESS *Ip) {
  return ((UINT32)Ip->Addr[0] << 24) | ((UINT32)Ip->Addr[1] << 16) | ((UINT32)Ip->Addr[2] << 8) |
         (UINT32)Ip->Addr[3];
}

BOOLEAN IsZeroAddress(const EFI_IPv4_ADDRESS *Ip) {
  return (BOOLEAN)(AddressToU32(Ip) == 0);
}

// Gateway and station must share the subnet (a zero gateway is no gateway).
BOOLEAN GatewayOutsideSubnet(const EFI_IPv4_ADDRESS *Gateway, const EFI_IPv4_ADDRESS *Station,
                             const EFI_IPv4_ADDRESS *Mask) {
  if (IsZeroAddress(Gateway)) {
    return FALSE;
  }
  UINT32 M = AddressToU32(Mask);
  return (BOOLEAN)((AddressToU32(Gateway) & M) != (AddressToU32(Station) & M));
}

} // namespace

BOOLEAN Zem4IsValidClassIp(const EFI_IPv4_ADDRESS *Ip) {
  return (BOOLEAN)(Ip->Addr[0] < 224);
}

BOOLEAN Zem4IsValidNetmask(const EFI_IPv4_ADDRESS *Netmask) {
  UINT32 Mask = AddressToU32(Netmask);
  if (Mask == 0xFFFFFFFFu) {
    return FALSE;
  }
  UINT32 Shifts = 0;
  while (Shifts < 31 && (UINT32)(Mask << (Shifts + 1)) != 0) {
    Shifts++;
  }
  return (BOOLEAN)((Mask | (0xFFFFFFFFu >> Shifts)) == 0xFFFFFFFFu);
}

EFI_STATUS EFIAPI Zem4GetModeData(Zem4 *This, Zem4ModeData *ModeData) {
  if (This == NULL || ModeData == NULL) {
    DiagLog(DIAG_ERROR, "Zem4GetModeData: Called with invalid parameter.\n");
    return EFI_INVALID_PARAMETER;
  }
  Zem4Instance *Instance = ZEM4_INSTANCE_FROM_PROTOCOL(This);
  if (Instance->Configured == 0) {
    return EFI_NO_MAPPING;
  }
  gBS->CopyMem(&ModeData->ConfigData, &Instance->Config, sizeof(Zem4ConfigData));
  ModeData->SupportedOptionCount = ZEM4_SUPPORTED_OPTION_COUNT;
  ModeData->SupportedOptions = Zem4SupportedOptions;
  ModeData->UnsupportedOptionCount = ZEM4_UNSUPPORTED_OPTION_COUNT;
  ModeData->UnsupportedOptions = Zem4UnsupportedOptions;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI Zem4Config(Zem4 *This, Zem4ConfigData *ConfigData) {
  if (This == NULL) {
    DiagLog(DIAG_ERROR, "Zem4Config: Called with invalid parameter.\n");
    return EFI_INVALID_PARAMETER;
  }
  Zem4Instance *Instance = ZEM4_INSTANCE_FROM_PROTOCOL(This);

  if (ConfigData == NULL) {
    // Ending a transfer resets its UDP4 ports; refused where UDP4 may not be
    // called, so that the answer never depends on whether one is running.
    if (Zem4CalledAbove(TPL_CALLBACK)) {
      return EFI_INVALID_PARAMETER;
    }
    EFI_TPL OldTpl = Zem4RaiseToLock();
    Instance->Configured = 0;
    if (Instance->State == ZEM4_STATE_ADDRESS_WAIT) {
      // ReadFile is still waiting for an address: it returns EFI_ABORTED.
      Zem4AbortAddressWait(Instance);
    } else if (Instance->State != ZEM4_STATE_IDLE) {
      Instance->Status = EFI_ABORTED;
      if (Instance->RrqData != NULL) {
        // Nothing goes to the server; the instance may be gone after this.
        Zem4RrqFinish(Instance);
      }
    }
    gBS->RestoreTPL(OldTpl);
    return EFI_SUCCESS;
  }

  if (!Zem4IsValidClassIp(&ConfigData->ServerIp)) {
    return EFI_INVALID_PARAMETER;
  }
  if (!ConfigData->UseDefaultSetting) {
    if (!Zem4IsValidClassIp(&ConfigData->StationIp) ||
        !Zem4IsValidClassIp(&ConfigData->GatewayIp) ||
        GatewayOutsideSubnet(&ConfigData->GatewayIp, &ConfigData->StationIp,
                             &ConfigData->SubnetMask) ||
        !Zem4IsValidNetmask(&ConfigData->SubnetMask)) {
      return EFI_INVALID_PARAMETER;
    }
  }
  // A child being destroyed takes no new configuration: it would be read by a
  // transfer started on a freed child.
  if (Instance->State != ZEM4_STATE_IDLE || Instance->InDestroy) {
    return EFI_ACCESS_DENIED;
  }
  gBS->CopyMem(&Instance->Config, ConfigData, sizeof(Zem4ConfigData));
  Instance->Configured = 1;
  return EFI_SUCCESS;
}

EFI_STATUS Zem4CheckOverride(Zem4Instance *Instance, Zem4OverrideData *OverrideData) {
  if (OverrideData == NULL) {
    return EFI_SUCCESS;
  }
  if (!Zem4IsValidClassIp(&OverrideData->ServerIp)) {
    return EFI_INVALID_PARAMETER;
  }
  if (Instance->Config.UseDefaultSetting) {
    return EFI_SUCCESS;
  }
  if (GatewayOutsideSubnet(&OverrideData->GatewayIp, &Instance->Config.StationIp,
                           &Instance->Config.SubnetMask)) {
    return EFI_INVALID_PARAMETER;
  }
  if (!Zem4IsValidClassIp(&OverrideData->GatewayIp)) {
    return EFI_INVALID_PARAMETER;
  }
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI Zem4GetInfoCheck(Zem4 *This, Zem4Token *Token, UINT32 Length, VOID *Data) {
  Zem4GetInfoContext *Context = (Zem4GetInfoContext *)Token->Context;
  const UINT8 *Packet = (const UINT8 *)Data;
  UINT16 Opcode = 0;
  UINT16 Code = 0;
  Zem4WireGetOpcode(Packet, Length, &Opcode);

  if (Opcode == ZEM4_OP_ERROR) {
    Zem4WireGetBe16(Packet, Length, ZEM4_ERROR_CODE_OFFSET, &Code);
    Context->Status = (Code == ZEM4_ERR_NOT_READY) ? EFI_NOT_READY : EFI_TFTP_ERROR;
  } else if (Opcode == ZEM4_OP_OACK) {
    Context->Status = EFI_SUCCESS;
  } else {
    Context->Status = EFI_PROTOCOL_ERROR;
  }
  Context->Captured = TRUE;

  VOID *Copy = NULL;
  if (EFI_ERROR(gBS->AllocatePool(EfiBootServicesData, Length, &Copy)) || Copy == NULL) {
    Context->Status = EFI_OUT_OF_RESOURCES;
  } else {
    gBS->CopyMem(Copy, Data, Length);
    *Context->PacketLength = Length;
    *Context->Packet = Copy;
  }
  // The first reply is all GetInfo wants.
  return EFI_ABORTED;
}

EFI_STATUS EFIAPI Zem4GetInfo(Zem4 *This, Zem4OverrideData *OverrideData, CHAR8 *Filename,
                              CHAR8 *ModeStr, UINT8 OptionCount, Zem4Option *OptionList,
                              UINT32 *PacketLength, VOID **Packet) {
  if (This == NULL || Filename == NULL || PacketLength == NULL || Packet == NULL ||
      (OptionCount != 0 && OptionList == NULL)) {
    DiagLog(DIAG_ERROR, "Zem4GetInfo: parameters error\n");
    return EFI_INVALID_PARAMETER;
  }

  Zem4GetInfoContext Context;
  Context.PacketLength = PacketLength;
  Context.Packet = Packet;
  Context.Status = EFI_SUCCESS;
  Context.Captured = FALSE;

  Zem4Token Token;
  gBS->SetMem(&Token, sizeof(Token), 0);
  Token.OverrideData = OverrideData;
  Token.Filename = Filename;
  Token.ModeStr = ModeStr;
  Token.OptionCount = OptionCount;
  Token.OptionList = OptionList;
  Token.Context = &Context;
  Token.CheckPacket = Zem4GetInfoCheck;

  EFI_STATUS Status = Zem4ReadFile(This, &Token);
  // Once a reply was captured its classification is the answer, and a copy
  // handed out belongs to the caller whatever the transfer ended with.
  if (Context.Captured) {
    return Context.Status;
  }
  return Status;
}

EFI_STATUS EFIAPI Zem4ReadFile(Zem4 *This, Zem4Token *Token) {
  return Zem4InitPrivate(Token, This, ZEM4_OP_RRQ);
}

EFI_STATUS EFIAPI Zem4ReadDirectory(Zem4 *This, Zem4Token *Token) {
  return Zem4InitPrivate(Token, This, ZEM4_OP_DIR);
}

EFI_STATUS EFIAPI Zem4Poll(Zem4 *This) {
  if (This == NULL) {
    DiagLog(DIAG_ERROR, "Zem.Zem4Poll function called with invalid paramter.\n");
    return EFI_INVALID_PARAMETER;
  }
  return Zem4Poll(This, NULL);
}

EFI_STATUS Zem4Poll(Zem4 *This, const Zem4CallGuard *Guard) {
  // Finding the level out may let notifications run, and one of them may end
  // the transfer and destroy the child: nothing of the instance is read
  // before that, nor after it unless the transfer is still there.
  if (Zem4CalledAbove(TPL_CALLBACK)) {
    return EFI_INVALID_PARAMETER;
  }
  if (Guard != NULL && Guard->Gone) {
    return ZEM4_TRANSFER_GONE;
  }
  Zem4Instance *Instance = ZEM4_INSTANCE_FROM_PROTOCOL(This);
  if (Instance->Signature != ZEM4_INSTANCE_SIGNATURE) {
    DiagLog(DIAG_ERROR, "Zem.ReadFile called with invalid protocol pointer.\n");
    return EFI_INVALID_PARAMETER;
  }
  if (Instance->Udp == NULL) {
    return EFI_NOT_STARTED;
  }
  return Instance->Udp->Poll(Instance->Udp);
}

EFI_STATUS EFIAPI Zem4GetStatus(Zem4 *This, Zem4TransferStatus *Status) {
  if (This == NULL || Status == NULL) {
    DiagLog(DIAG_ERROR, "Zem4GetStatus: Called with invalid parameter.\n");
    return EFI_INVALID_PARAMETER;
  }
  Zem4Instance *Instance = ZEM4_INSTANCE_FROM_PROTOCOL(This);
  UINT64 Percent;
  if (Instance->TotalBlocks == 0) {
    // What a shift-and-subtract division by zero yields.
    Percent = ~0ull;
  } else {
    Percent =
        DivU64x64Remainder(MultU64x64(Instance->ReceivedBlocks, 100), Instance->TotalBlocks, NULL);
  }
  Status->Percent = (UINT32)Percent;
  Status->ReceivedBlocks = Instance->ReceivedBlocks;
  Status->LostBlocks = Instance->LostBlocks;
  Status->Reserved = 0;
  Status->TotalBlocks = Instance->TotalBlocks;
  return EFI_SUCCESS;
}
