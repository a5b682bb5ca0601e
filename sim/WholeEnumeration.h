// One whole enumeration the way the PCI bus driver makes it, with every access
// the driver makes counted by the call into it that made it. Benchmarks and
// the tests that pin the driver's access pattern share it.
#pragma once

#include "sim/AccessAccounting.h"
#include "sim/Machine.h"

#include <cstddef>
#include <map>
#include <string>

namespace sim {

struct EnumerationCounts {
  EFI_STATUS EntryStatus;
  size_t Functions; // found by the bus driver's scan
  // Keyed as AccessesByCall keys them.
  std::map<std::string, AccessCounts> ByCall;
  AccessCounts Total;
};

// Loads the driver into Board (laid out beforehand) and drives it through one
// enumeration with PciBusDriverSequencer; then, as the bus driver does once
// enumeration is over, installs PCI I/O on every function found and requests
// its option ROM.
EnumerationCounts RunWholeEnumeration(Machine &Board);

} // namespace sim
