#include "sim/IoApic.h"

namespace sim {

IoApic::IoApic(UINT8 InitialId) {
  Registers[kIdRegister] = static_cast<UINT32>(InitialId) << 24;
  Registers[kVersionRegister] = 0x00170020; // 24 redirection entries, version 0x20
}

UINT32 IoApic::Read32(UINT64 Offset) {
  if (Offset == kIndexOffset) {
    return Selected;
  }
  if (Offset == kDataOffset) {
    return Registers[Selected];
  }
  return 0;
}

void IoApic::Write32(UINT64 Offset, UINT32 Value) {
  if (Offset == kIndexOffset) {
    Selected = static_cast<UINT8>(Value);
  } else if (Offset == kDataOffset) {
    Registers[Selected] = Value;
    Writes.emplace_back(Selected, Value);
  }
}

} // namespace sim
