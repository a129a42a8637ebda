// What the download fuzz targets hand the driver as a caller, and how each of
// them ends a run: a token whose completions are counted and whose data runs
// are read end to end (ASan sees a run that points past its data), the
// transfer ended by itself or through Configure with no data, and the child,
// the event and the host torn down with nothing left live.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/Network.h"
#include "tests/common/DriverHost.h"
#include "zem4/Zem4.h"

namespace zem4::fuzz {

struct Sink {
  int completions = 0;
  Zem4Token token{};
  uint64_t bytes = 0;
};

inline VOID EFIAPI OnDone(EFI_EVENT, VOID *Context) {
  static_cast<Sink *>(Context)->completions++;
}

inline EFI_STATUS EFIAPI OnData(Zem4 *, Zem4Token *Token, UINT32 Length, VOID *Data) {
  auto *sink = static_cast<Sink *>(Token->Context);
  volatile uint8_t sum = 0;
  for (UINT32 i = 0; i < Length; i++) {
    sum = sum + static_cast<const uint8_t *>(Data)[i];
  }
  (void)sum;
  sink->bytes += Length;
  return EFI_SUCCESS;
}

[[noreturn]] inline void Fail(const char *target, const std::string &what) {
  std::fprintf(stderr, "%s: %s\n", target, what.c_str());
  std::abort();
}

// Points the token at the sink, with an event that counts its completions.
// `streamed`: data goes through CheckPacket, else into the token's buffer.
inline EFI_EVENT Arm(Sink &sink, test::DriverHost &rig, bool streamed) {
  EFI_EVENT event = nullptr;
  rig.Fw().BootServices()->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, OnDone, &sink, &event);
  sink.token.Event = event;
  sink.token.Context = &sink;
  if (streamed) {
    sink.token.CheckPacket = OnData;
  }
  return event;
}

// Lets the transfer end by itself within `limit`, else aborts it through
// Configure with no data, then waits `after` for a second completion.
inline void EndTransfer(test::DriverHost &rig, Zem4 *proto, const Sink &sink, host::Time100ns limit,
                        host::Time100ns after) {
  rig.RunUntil([&] { return sink.completions > 0; }, limit);
  if (sink.completions == 0) {
    proto->Configure(proto, nullptr);
  }
  rig.RunUntil([] { return false; }, after);
}

// The child, the event and the firmware go; a token completed other than
// once or anything left live fails the run.
inline void TearDownClean(const char *target, test::DriverHost &rig, EFI_HANDLE controller,
                          EFI_HANDLE child, EFI_EVENT event, const Sink &sink) {
  if (sink.completions != 1) {
    Fail(target, "token completed " + std::to_string(sink.completions) + " times");
  }
  if (EFI_ERROR(rig.DestroyChild(controller, child))) {
    Fail(target, "DestroyChild");
  }
  rig.Fw().BootServices()->CloseEvent(event);
  if (sink.completions != 1) {
    Fail(target, "token completed again after the transfer");
  }
  std::vector<std::string> leaks = rig.TearDown();
  if (!leaks.empty()) {
    std::string all;
    for (const std::string &line : leaks) {
      all += "\n  " + line;
    }
    Fail(target, "left live:" + all);
  }
}

// A child on a fresh controller at `client`, configured for `server` at the
// default port.
struct Child {
  EFI_HANDLE controller = nullptr;
  EFI_HANDLE handle = nullptr;
  Zem4 *proto = nullptr;
};
inline Child ConfiguredChild(const char *target, test::DriverHost &rig, host::Ipv4 client,
                             host::Ipv4 server) {
  Child child;
  child.controller = rig.AddController(client);
  if (EFI_ERROR(rig.Connect(child.controller)) ||
      EFI_ERROR(rig.CreateChild(child.controller, &child.handle))) {
    Fail(target, "no child");
  }
  child.proto = rig.Protocol(child.handle);
  Zem4ConfigData config{};
  config.StationIp = test::EfiIp(client);
  config.SubnetMask = {{255, 255, 255, 0}};
  config.ServerIp = test::EfiIp(server);
  config.InitialServerPort = 5568;
  if (child.proto->Configure(child.proto, &config) != EFI_SUCCESS) {
    Fail(target, "configure");
  }
  return child;
}

// Plays the input's records from `at` on: [delay in 10 ms][port selector]
// [length][payload...]. Selector bit 7: the payload is repeated up to a full
// DATA8 and beyond (by its low nibble); bit 0: sent from `data` rather than
// `request`; bit 1, when `group` is given: to the group rather than the
// client.
inline void PlayRecords(test::DriverHost &rig, const uint8_t *input, size_t size, size_t at,
                        host::PeerPort &request, host::PeerPort &data, host::Ipv4 client,
                        uint16_t clientPort, const host::Ipv4 *group = nullptr,
                        uint16_t groupPort = 0) {
  const host::Time100ns ms = 10'000;
  while (at + 3 <= size) {
    const host::Time100ns delay = input[at] * 10 * ms;
    const uint8_t portSelector = input[at + 1];
    size_t length = input[at + 2];
    at += 3;
    if (length > size - at) {
      length = size - at;
    }
    std::vector<uint8_t> payload(input + at, input + at + length);
    at += length;
    if ((portSelector & 0x80) != 0 && !payload.empty()) {
      while (payload.size() < 1040 + (portSelector & 0x0F)) {
        payload.push_back(payload[payload.size() % length]);
      }
    }
    host::PeerPort &from = (portSelector & 1) != 0 ? data : request;
    if (group != nullptr && (portSelector & 2) != 0) {
      from.Send(*group, groupPort, payload);
    } else {
      from.Send(client, clientPort, payload);
    }
    rig.RunUntil([] { return false; }, delay + ms);
  }
}

// One run of a target that drives a transfer somewhere and then plays the
// input's records at it: the driver with a configured child, the server's
// request port (5568), whose `onRequest` hears the client's first request
// with the data port (6001) to answer from, and a streamed token for fuzz.bin.
class PlayedRun {
public:
  using OnRequest = std::function<void(host::PeerPort &data, uint16_t clientPort)>;

  PlayedRun(const char *target, host::Ipv4 client, host::Ipv4 server, OnRequest onRequest)
      : target_(target), client_(client), rig_(std::make_unique<test::DriverHost>(1)) {
    if (EFI_ERROR(rig_->Load())) {
      Fail(target, "driver did not load");
    }
    rig_->Net().SetCaptureEnabled(false);
    child_ = ConfiguredChild(target, *rig_, client, server);
    request_ = rig_->Net().OpenPeerPort(
        server, 5568, [this, onRequest](const host::Datagram &d, host::Time100ns) {
          if (d.payload.size() < 2 || d.payload[1] != 1 || clientPort_ != 0) {
            return;
          }
          clientPort_ = d.srcPort;
          onRequest(*data_, clientPort_);
        });
    data_ = rig_->Net().OpenPeerPort(server, 6001, [](const host::Datagram &, host::Time100ns) {});
    if (!request_ || !data_) {
      Fail(target, "peer ports");
    }
    sink_.token.Filename = const_cast<CHAR8 *>("fuzz.bin");
    event_ = Arm(sink_, *rig_, true);
  }

  test::DriverHost &Rig() { return *rig_; }
  Zem4Token &Token() { return sink_.token; }
  host::PeerPort &Data() { return *data_; }

  // ReadFile, then time for the request to reach the server and `settle`.
  void Start(host::Time100ns settle) {
    if (child_.proto->ReadFile(child_.proto, &sink_.token) != EFI_SUCCESS) {
      Fail(target_, "ReadFile refused");
    }
    rig_->RunUntil([&] { return clientPort_ != 0; }, 100 * 10'000);
    rig_->RunUntil([] { return false; }, settle);
  }

  // Plays the records from byte 1 on (see PlayRecords), then, whatever they
  // did, the transfer ends and the token completes once: by itself within a
  // few seconds, or through Configure with no data. Nothing may be left live.
  void PlayAndEnd(const uint8_t *input, size_t size, const host::Ipv4 *group = nullptr,
                  uint16_t groupPort = 0) {
    if (clientPort_ != 0) {
      PlayRecords(*rig_, input, size, 1, *request_, *data_, client_, clientPort_, group, groupPort);
    }
    EndTransfer(*rig_, child_.proto, sink_, 5 * 10'000'000ull, 5 * 10'000'000ull);
    request_.reset();
    data_.reset();
    TearDownClean(target_, *rig_, child_.controller, child_.handle, event_, sink_);
  }

private:
  const char *target_;
  host::Ipv4 client_;
  std::unique_ptr<test::DriverHost> rig_;
  Child child_;
  uint16_t clientPort_ = 0;
  std::unique_ptr<host::PeerPort> request_;
  std::unique_ptr<host::PeerPort> data_;
  Sink sink_;
  EFI_EVENT event_ = nullptr;
};

} // namespace zem4::fuzz
