// ParseOptions, ExtractOptions and OACK parsing on arbitrary bytes: nothing
// read or written outside the packet or the pair array, every pointer handed
// back points into the packet, the count matches the array, nothing leaks.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "host/Firmware.h"
#include "protocol/Zem4Options.h"
#include "support/DiagLog.h"
#include "support/Globals.h"
#include "zem4/Zem4.h"

namespace {

void CheckPairs(const uint8_t *Packet, size_t Size, const Zem4Option *List, UINT32 Count) {
  if (Count > 255) {
    std::abort();
  }
  for (UINT32 Index = 0; Index < Count; Index++) {
    for (const CHAR8 *Text : {List[Index].OptionStr, List[Index].ValueStr}) {
      const uint8_t *At = reinterpret_cast<const uint8_t *>(Text);
      if (At < Packet || At >= Packet + Size) {
        std::abort();
      }
      // Every string ends inside the packet.
      if (std::memchr(At, 0, static_cast<size_t>(Packet + Size - At)) == nullptr) {
        std::abort();
      }
    }
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  zem4::host::Firmware Fw;
  gST = Fw.SystemTable();
  gBS = Fw.BootServices();
  DiagLogReset();

  // An exact-size copy so that any over-read hits the sanitizer.
  std::unique_ptr<uint8_t[]> Packet(new uint8_t[Size == 0 ? 1 : Size]);
  if (Size != 0) {
    std::memcpy(Packet.get(), Data, Size);
  }
  const UINT32 Length = static_cast<UINT32>(Size);

  Zem4Option *List = nullptr;
  UINT32 Count = 0;
  EFI_STATUS Status = Zem4ParseOptions(nullptr, Length, Packet.get(), &Count, &List);
  if (List != nullptr) {
    CheckPairs(Packet.get(), Size, List, Count);
    gBS->FreePool(List);
  } else if (Count != 0 && !EFI_ERROR(Status)) {
    std::abort(); // a count with no list to read it from
  }

  Count = 0;
  if (!EFI_ERROR(Zem4ExtractOptions(Packet.get(), Length, nullptr, &Count)) && Count > 255) {
    std::abort();
  }

  Zem4NegotiatedOptions Options;
  std::memset(&Options, 0, sizeof(Options));
  Zem4ResetNegotiatedOptions(&Options);
  Zem4ParseOack(&Options, Packet.get(), Length);
  if (Options.McastRole < 1 || Options.McastRole > 3) {
    std::abort();
  }

  gBS = nullptr;
  gST = nullptr;
  DiagLogReset();
  if (!Fw.LeakReport().empty()) {
    std::abort();
  }
  return 0;
}
