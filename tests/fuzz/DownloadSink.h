// What the download fuzz targets hand the driver as a caller: a token whose
// completions are counted and whose data runs are read end to end, so a run
// that lies outside readable memory is caught.
#pragma once

#include <cstdint>

#include "host/Network.h"
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

inline EFI_IPv4_ADDRESS EfiIp(host::Ipv4 ip) {
  EFI_IPv4_ADDRESS out;
  for (int i = 0; i < 4; i++) {
    out.Addr[i] = ip.b[i];
  }
  return out;
}

} // namespace zem4::fuzz
