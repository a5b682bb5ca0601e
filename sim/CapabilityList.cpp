#include "sim/CapabilityList.h"

#include "published/PciLayout.h"

#include <bitset>

namespace sim {

using namespace published::layout;

namespace {

constexpr UINT32 kExtendedListStart = 0x100;
constexpr UINT32 kExtendedHeaderBytes = 4;
// (4096 - 256) / 4 headers at most; more means a loop.
constexpr UINT32 kExtendedListMaxEntries = 960;
constexpr UINT32 kExtendedNextShift = 20;
constexpr UINT32 kExtendedVersionShift = 16;
constexpr UINT32 kExtendedNextMask = 0xFFC; // bits 31:20, the bottom two reserved
constexpr UINT16 kStatusRegister = 0x06;
constexpr UINT8 kStatusCapabilityList = 0x10;

UINT32 Read32(const std::array<UINT8, 4096> &Space, UINT32 Offset) {
  return Space[Offset] | Space[Offset + 1] << 8 | Space[Offset + 2] << 16 |
         static_cast<UINT32>(Space[Offset + 3]) << 24;
}

void ListStandard(const std::array<UINT8, 4096> &Space, const CapabilityWalk &Walk,
                  std::vector<CapabilityEntry> &Found) {
  if (Walk.HonourStatusBit && (Space[kStatusRegister] & kStatusCapabilityList) == 0) {
    return;
  }
  const UINT8 Mask = Walk.MaskPointerLowBits ? 0xFC : 0xFF;
  std::bitset<256> Visited; // a pointer is one byte
  UINT32 Pointer = Space[PCI_CAPABILITY_POINTER_OFFSET] & Mask;
  for (UINT32 Entry = 0; Entry < PCI_CAPABILITY_LIST_MAX_ENTRIES; ++Entry) {
    if (Pointer < PCI_CAPABILITY_FIRST_OFFSET || Pointer == PCI_CAPABILITY_POINTER_INVALID ||
        Pointer + 2 > Walk.Length || Visited.test(Pointer)) {
      return;
    }
    Visited.set(Pointer);
    Found.push_back({Space[Pointer], static_cast<UINT16>(Pointer), 0, false});
    Pointer = Space[Pointer + PCI_CAPABILITY_NEXT_OFFSET] & Mask;
  }
}

// PCI Express Base Specification 4.0, section 7.6.3: a header of all zeros
// (or all ones, nothing there) at 0x100 means no extended capabilities.
void ListExtended(const std::array<UINT8, 4096> &Space, const CapabilityWalk &Walk,
                  std::vector<CapabilityEntry> &Found) {
  std::bitset<4096> Visited; // a next offset is 12 bits
  size_t Entries = 0;
  UINT32 Offset = kExtendedListStart;
  while (Offset >= kExtendedListStart && Offset + kExtendedHeaderBytes <= Walk.Length &&
         Entries < kExtendedListMaxEntries && !Visited.test(Offset)) {
    Visited.set(Offset);
    ++Entries;
    const UINT32 Header = Read32(Space, Offset);
    if (Header == 0 || Header == 0xFFFFFFFF) {
      return;
    }
    Found.push_back({static_cast<UINT16>(Header & 0xFFFF), static_cast<UINT16>(Offset),
                     static_cast<UINT8>((Header >> kExtendedVersionShift) & 0xF), true});
    Offset = (Header >> kExtendedNextShift) & kExtendedNextMask;
  }
}

} // namespace

std::vector<CapabilityEntry> ListCapabilities(const std::array<UINT8, 4096> &Space, const CapabilityWalk &Walk) {
  std::vector<CapabilityEntry> Found;
  ListStandard(Space, Walk, Found);
  ListExtended(Space, Walk, Found);
  return Found;
}

} // namespace sim
