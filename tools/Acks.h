// What the command line's network may leave unsent: acknowledgements are
// cumulative, so an ACK8 naming a later Sequence, with the same window, says
// all that an earlier one queued for the same server says. Equal ones both
// go: a repeat is how the server learns of a gap.
#pragma once

#include "host/Network.h"
#include "zem4/Zem4Wire.h"

#include <algorithm>

namespace zem4::cli {

inline bool AckSupersedes(const host::Datagram &later, const host::Datagram &earlier) {
  const auto &a = later.payload;
  const auto &b = earlier.payload;
  uint16_t opA = 0, opB = 0;
  uint32_t seqA = 0, seqB = 0;
  if (!Zem4WireGetOpcode(a.data(), a.size(), &opA) || opA != ZEM4_OP_ACK8 ||
      !Zem4WireGetOpcode(b.data(), b.size(), &opB) || opB != ZEM4_OP_ACK8 ||
      a.size() != ZEM4_ACK8_LENGTH || b.size() != ZEM4_ACK8_LENGTH ||
      !Zem4WireGetBe32(a.data(), a.size(), ZEM4_ACK8_SEQUENCE_OFFSET, &seqA) ||
      !Zem4WireGetBe32(b.data(), b.size(), ZEM4_ACK8_SEQUENCE_OFFSET, &seqB))
    return false;
  return seqA > seqB && std::equal(a.begin() + ZEM4_ACK8_WINDOW_OFFSET, a.end(),
                                   b.begin() + ZEM4_ACK8_WINDOW_OFFSET);
}

} // namespace zem4::cli
