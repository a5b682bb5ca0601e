// Access counts by kind, and every access the driver makes attributed to the
// call into it that made it (as PlatformCallRecorder records them): each
// host-bridge phase, the prepare-controller calls and the option ROM requests.
// Reports, benchmarks and the tests that pin the driver's access pattern use it.
#pragma once

#include "sim/AccessLog.h"
#include "sim/PlatformCalls.h"

#include <array>
#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace sim {

struct AccessCounts {
  std::array<size_t, kAccessKinds> ByKind{};

  size_t operator[](AccessKind Kind) const { return ByKind[static_cast<size_t>(Kind)]; }
  size_t Total() const;
  AccessCounts &operator+=(const AccessCounts &Other);
  bool operator==(const AccessCounts &) const = default;
};

// Counts the entries [From, To) of Log.
AccessCounts CountAccesses(const AccessLog &Log, size_t From = 0, size_t To = SIZE_MAX);

// "config-read 12, config-write 3, ..." with every kind, zeros included.
std::string FormatCounts(const AccessCounts &Counts);

// The accesses each recorded call made, keyed by call: the host-bridge phase
// name of PlatformNotify ("BeginEnumeration", ...), "PlatformPrepController",
// "GetPlatformPolicy", "GetPciRom". Calls that made no access have no entry.
std::map<std::string, AccessCounts> AccessesByCall(const std::vector<PlatformCall> &Calls);
AccessCounts TotalAccesses(const std::map<std::string, AccessCounts> &ByCall);

} // namespace sim
