// An I/O APIC's register window: an index register at the base and a 32-bit
// data window at base + 0x10. Register 0 holds the ID in bits 31-24.
#pragma once

#include "sim/MemorySpace.h"

#include <array>
#include <vector>

namespace sim {

class IoApic : public MmioDevice {
public:
  static constexpr UINT64 kWindowSize = 0x20;
  static constexpr UINT64 kIndexOffset = 0x00;
  static constexpr UINT64 kDataOffset = 0x10;
  static constexpr UINT8 kIdRegister = 0;
  static constexpr UINT8 kVersionRegister = 1;

  explicit IoApic(UINT8 InitialId);

  UINT32 Read32(UINT64 Offset) override;
  void Write32(UINT64 Offset, UINT32 Value) override;

  UINT32 Register(UINT8 Number) const { return Registers[Number]; }
  void SetRegister(UINT8 Number, UINT32 Value) { Registers[Number] = Value; }
  UINT8 Id() const { return static_cast<UINT8>(Registers[kIdRegister] >> 24); }
  // (register, value) of every data-window write, in order.
  const std::vector<std::pair<UINT8, UINT32>> &DataWrites() const { return Writes; }

private:
  UINT8 Selected = 0;
  std::array<UINT32, 256> Registers{};
  std::vector<std::pair<UINT8, UINT32>> Writes;
};

} // namespace sim
