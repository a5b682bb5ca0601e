#include "sim/MemorySpace.h"

namespace sim {

MmioDevice *MemorySpace::DeviceAt(UINT64 Address, UINT64 *Offset) {
  auto Found = Regions.upper_bound(Address);
  if (Found == Regions.begin()) {
    return nullptr;
  }
  --Found;
  if (Address - Found->first >= Found->second.Size) {
    return nullptr;
  }
  *Offset = Address - Found->first;
  return Found->second.Device.get();
}

UINT64 MemorySpace::Read(UINT64 Address, UINT8 Width) {
  UINT64 Value = 0;
  for (UINT8 Byte = 0; Byte < Width; ++Byte) {
    const UINT64 ByteAddress = Address + Byte;
    UINT64 Offset = 0;
    MmioDevice *Device = DeviceAt(ByteAddress & ~3ULL, &Offset);
    const UINT32 Dword = Device != nullptr ? Device->Read32(Offset) : 0xFFFFFFFFU;
    Value |= static_cast<UINT64>((Dword >> (8 * (ByteAddress & 3))) & 0xFF) << (8 * Byte);
  }
  return Value;
}

void MemorySpace::Write(UINT64 Address, UINT8 Width, UINT64 Value) {
  UINT64 Offset = 0;
  MmioDevice *Device = DeviceAt(Address & ~3ULL, &Offset);
  if (Device == nullptr) {
    return;
  }
  if (Width == 4 && (Address & 3) == 0) {
    Device->Write32(Offset, static_cast<UINT32>(Value));
    return;
  }
  // Narrow or wide stores: merge into the dwords they cover.
  for (UINT8 Byte = 0; Byte < Width; ++Byte) {
    const UINT64 ByteAddress = Address + Byte;
    UINT64 DwordOffset = 0;
    MmioDevice *Target = DeviceAt(ByteAddress & ~3ULL, &DwordOffset);
    if (Target == nullptr) {
      continue;
    }
    const unsigned Shift = 8 * (ByteAddress & 3);
    const UINT32 Old = Target->Read32(DwordOffset);
    const UINT32 New = (Old & ~(0xFFU << Shift)) | (static_cast<UINT32>((Value >> (8 * Byte)) & 0xFF) << Shift);
    Target->Write32(DwordOffset, New);
  }
}

} // namespace sim
