// The buses one walk has already entered. Bus numbers are programmed by
// firmware and may be wrong: when several bridges claim the same secondary
// bus, entering each bus once keeps a walk linear in the size of the
// hierarchy instead of exponential in its depth.
#pragma once

#include "EfiBaseTypes.h"

class PCI_BUS_SET {
public:
  [[nodiscard]] bool Contains(UINT8 Bus) const { return (Bits[Bus / 64] & Bit(Bus)) != 0; }
  // Out of line: each walk adds its first bus and every bus it descends to.
  [[gnu::noinline]] void Add(UINT8 Bus) { Bits[Bus / 64] |= Bit(Bus); }

private:
  static constexpr UINT64 Bit(UINT8 Bus) { return UINT64{1} << (Bus % 64); }
  UINT64 Bits[4] = {};
};
