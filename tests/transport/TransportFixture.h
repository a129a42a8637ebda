// A fresh host firmware per test, the driver's globals pointed at it, the
// packet pool empty, and a scripted UDP4 port that records what the driver
// hands it. Every test ends with nothing live: pool memory, events, packets.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "efi/Uefi.h"
#include "host/DebugMessage.h"
#include "host/FaultInjector.h"
#include "host/Firmware.h"
#include "modes/Zem4Missing.h"
#include "protocol/Zem4Rrq.h"
#include "support/DiagLog.h"
#include "support/Globals.h"
#include "tests/common/FirmwareFixture.h"
#include "tests/common/InstanceProbe.h"
#include "transport/Zem4Packet.h"

namespace zem4::test {

// A UDP4 port that only records: transmits and receives are queued here and
// completed (or not) by the test.
struct ScriptedUdp {
  EFI_UDP4_PROTOCOL Proto{};
  std::vector<EFI_UDP4_COMPLETION_TOKEN *> Sent;
  std::vector<std::vector<uint8_t>> SentBytes;
  std::vector<EFI_UDP4_COMPLETION_TOKEN *> Receives;
  std::vector<EFI_UDP4_CONFIG_DATA *> Configures;
  EFI_STATUS TransmitStatus = EFI_SUCCESS;
  EFI_STATUS ReceiveStatus = EFI_SUCCESS;
  EFI_STATUS ConfigureStatus = EFI_SUCCESS;

  ScriptedUdp() {
    Proto.Transmit = &Transmit;
    Proto.Receive = &Receive;
    Proto.Configure = &Configure;
  }
  static ScriptedUdp *Of(EFI_UDP4_PROTOCOL *This) { return reinterpret_cast<ScriptedUdp *>(This); }

  static EFI_STATUS EFIAPI Transmit(EFI_UDP4_PROTOCOL *This, EFI_UDP4_COMPLETION_TOKEN *Token) {
    ScriptedUdp *Self = Of(This);
    if (EFI_ERROR(Self->TransmitStatus)) {
      return Self->TransmitStatus;
    }
    Self->Sent.push_back(Token);
    const EFI_UDP4_TRANSMIT_DATA *Tx = Token->Packet.TxData;
    const uint8_t *Bytes = static_cast<const uint8_t *>(Tx->FragmentTable[0].FragmentBuffer);
    Self->SentBytes.emplace_back(Bytes, Bytes + Tx->FragmentTable[0].FragmentLength);
    return EFI_SUCCESS;
  }
  static EFI_STATUS EFIAPI Receive(EFI_UDP4_PROTOCOL *This, EFI_UDP4_COMPLETION_TOKEN *Token) {
    ScriptedUdp *Self = Of(This);
    if (EFI_ERROR(Self->ReceiveStatus)) {
      return Self->ReceiveStatus;
    }
    for (auto *Posted : Self->Receives) {
      if (Posted == Token) {
        return EFI_ACCESS_DENIED;
      }
    }
    Self->Receives.push_back(Token);
    return EFI_SUCCESS;
  }
  static EFI_STATUS EFIAPI Configure(EFI_UDP4_PROTOCOL *This, EFI_UDP4_CONFIG_DATA *Config) {
    ScriptedUdp *Self = Of(This);
    Self->Configures.push_back(Config);
    return Self->ConfigureStatus;
  }
};
static_assert(offsetof(ScriptedUdp, Proto) == 0);

// Counts completions of packets sent with TestNotify.
inline int gNotifyCount = 0;
inline void EFIAPI TestNotify(EFI_EVENT, VOID *) {
  gNotifyCount++;
}

class TransportTest : public ::testing::Test {
protected:
  void SetUp() override {
    Fw = std::make_unique<zem4::host::Firmware>();
    gST = Fw->SystemTable();
    gBS = Fw->BootServices();
    DiagLogReset();
    Zem4InitPacketPool();
    gNotifyCount = 0;

    Rig = std::make_unique<RecordRig>(&Udp.Proto, &Token);
  }

  void TearDown() override {
    Rig->DropPending();
    if (Rrq) {
      Zem4RrqFreeMissing(Record());
      Rrq.reset();
      Rig->AttachRrq(nullptr);
    }
    Rig.reset();
    Zem4DrainPacketPool();
    EXPECT_EQ(gZem4PacketPool.PacketBytes, 0u) << "packets still alive";
    zem4::test::ExpectCleanTeardown(*Fw);
    gBS = nullptr;
    gST = nullptr;
    DiagLogReset();
    Fw.reset();
  }

  Zem4Instance *Record() { return Rig->Record(); }

  // Completes every pending send as UDP4 would, through each packet's event.
  void CompleteSends() {
    auto Sent = Udp.Sent;
    Udp.Sent.clear();
    for (auto *Token : Sent) {
      Token->Status = EFI_SUCCESS;
      Fw->SignalEvent(Token->Event);
    }
    Fw->Tick();
  }

  // A download record whose missing list is the fresh 1..0xFFFFFFFF.
  Zem4RrqData *MakeRrq() {
    Rrq = std::make_unique<Zem4RrqData>();
    std::memset(Rrq.get(), 0, sizeof(Zem4RrqData));
    Rig->AttachRrq(Rrq.get());
    EXPECT_EQ(Zem4RrqCreateMissing(Rrq.get()), EFI_SUCCESS);
    return Rrq.get();
  }

  // The next occurrence of Call fails with Status.
  void FailNext(const char *Call, EFI_STATUS Status = EFI_OUT_OF_RESOURCES) {
    Fw->Faults().FailNth(Call, Fw->Faults().Count(Call) + 1, Status);
  }

  std::vector<std::string> Logs() const { return Fw->Debug().Texts(); }
  std::vector<UINT32> LogLevels() const {
    std::vector<UINT32> Levels;
    for (const auto &Line : Fw->Debug().Lines()) {
      Levels.push_back(Line.level);
    }
    return Levels;
  }

  std::unique_ptr<zem4::host::Firmware> Fw;
  ScriptedUdp Udp;
  Zem4Token Token{};
  // The record the routines under test take, made and read by the rig.
  std::unique_ptr<RecordRig> Rig;
  std::unique_ptr<Zem4RrqData> Rrq;
};

// Bytes of a packet's buffer as the driver would send them.
inline std::vector<uint8_t> BytesOf(const Zem4Packet *Packet) {
  return std::vector<uint8_t>(Packet->Buffer, Packet->Buffer + Packet->Length);
}

} // namespace zem4::test
