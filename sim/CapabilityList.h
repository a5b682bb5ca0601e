// The capability lists of one configuration space, standard and extended, as
// host-side code reads them (the model's invariants, the board runner): one
// iterator, so the checks that judge the driver and the reports that explain
// it agree on where a capability is. Damaged or looping lists end the walk.
#pragma once

#include "EfiBaseTypes.h"

#include <array>
#include <cstdint>
#include <vector>

namespace sim {

struct CapabilityEntry {
  UINT16 Id;     // the standard capability ID (8 bits) or the extended one (16 bits)
  UINT16 Offset; // where its header starts
  UINT8 Version; // extended capabilities only: header bits 19:16
  bool Extended;
};

struct CapabilityWalk {
  // PCI Local Bus 3.0, section 6.7: the list exists only when Status bit 4 is
  // set, and the bottom two bits of each pointer are reserved. The model's
  // invariants follow raw pointers without the status bit, as the most
  // permissive sound search could.
  bool HonourStatusBit = true;
  bool MaskPointerLowBits = true;
  // Bytes of the space that hold known values: a list that points beyond ends.
  UINT32 Length = 4096;
};

// The standard list from the capability pointer, then the extended list from
// 0x100 (PCI Express Base Specification 4.0, section 7.6), in list order.
std::vector<CapabilityEntry> ListCapabilities(const std::array<UINT8, 4096> &Space, const CapabilityWalk &Walk = {});

} // namespace sim
