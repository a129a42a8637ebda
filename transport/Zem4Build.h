// Builders of the packets the driver sends: read request, ERROR, ACK8, RPL.
//
// Each computes the exact length, takes a packet from the pool, writes the
// layout of include/zem4/Zem4Wire.h, creates the send-completion event and
// sets the destination. The result holds one reference for the caller; on
// failure the instance's Status is set and NULL comes back.
#ifndef ZEM4_BUILD_H_
#define ZEM4_BUILD_H_

#include "efi/Uefi.h"
#include "transport/Zem4Packet.h"

struct Zem4Instance;
struct Zem4Option;

// Request (opcode given, the driver always passes 1): file name, then the
// caller's option pairs unchanged, no mode string. Destination
// RequestServerIp:RequestServerPort.
Zem4Packet *Zem4BuildRequest(Zem4Option *OptionList, Zem4Instance *Instance, UINT16 Opcode,
                             const CHAR8 *Filename, UINT32 OptionCount, EFI_EVENT_NOTIFY Notify);

// Builds the request from the instance's Token and keeps it as RequestPacket
// (releasing the previous one). RequestPacket is untouched on failure.
EFI_STATUS Zem4BuildRrq(Zem4Instance *Instance, UINT16 Opcode);

// ERROR to ServerIp:ServerPort.
Zem4Packet *Zem4BuildErrorPacket(Zem4ErrorInfo *Info, Zem4Instance *Instance,
                                 EFI_EVENT_NOTIFY Notify);

// ACK8 naming Number and the window 64, to ServerIp:ServerPort.
Zem4Packet *Zem4RrqBuildAck(Zem4Instance *Instance, UINT32 Number);

// RPL for RplSequence with the missing ranges after MissingCursor, at most
// 129 of them (a packet of up to 1042 bytes). Moves MissingCursor to the last
// range written and sets RplListSent once the list's end went out.
Zem4Packet *Zem4RrqBuildRPL(UINT32 RplSequence, Zem4Instance *Instance);

#endif // ZEM4_BUILD_H_
