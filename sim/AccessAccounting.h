// Access counts by kind, and the accounting that attributes every access the
// driver makes to the call into it that made it: each host-bridge phase, the
// prepare-controller calls and the option ROM requests. Reports, benchmarks
// and the tests that pin the driver's access pattern use it.
#pragma once

#include "sim/Machine.h"

#include <array>
#include <cstddef>
#include <map>
#include <string>

namespace sim {

inline constexpr size_t kAccessKinds = 6;

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

// Stands between the caller of the driver's EFI_PCI_PLATFORM_PROTOCOL (a test,
// the sequencer) and the driver: hand Protocol() to the caller instead of the
// driver's own. Only one exists at a time.
class PlatformCallAccounting {
public:
  PlatformCallAccounting(Machine &Target, EFI_PCI_PLATFORM_PROTOCOL &Driver);
  ~PlatformCallAccounting();
  PlatformCallAccounting(const PlatformCallAccounting &) = delete;
  PlatformCallAccounting &operator=(const PlatformCallAccounting &) = delete;

  EFI_PCI_PLATFORM_PROTOCOL &Protocol() { return Interposed; }

  // Counts keyed by call: the host-bridge phase name of PlatformNotify
  // ("BeginEnumeration", ...), "PlatformPrepController", "GetPlatformPolicy",
  // "GetPciRom". Calls that made no access have no entry.
  const std::map<std::string, AccessCounts> &ByCall() const { return Counts; }
  AccessCounts Total() const;

private:
  static EFI_STATUS EFIAPI Notify(EFI_PCI_PLATFORM_PROTOCOL *This, EFI_HANDLE HostBridge,
                                  EFI_PCI_HOST_BRIDGE_RESOURCE_ALLOCATION_PHASE Phase,
                                  EFI_PCI_EXECUTION_PHASE ChipsetPhase);
  static EFI_STATUS EFIAPI PrepController(EFI_PCI_PLATFORM_PROTOCOL *This, EFI_HANDLE HostBridge, EFI_HANDLE RootBridge,
                                          EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_PCI_ADDRESS PciAddress,
                                          EFI_PCI_CONTROLLER_RESOURCE_ALLOCATION_PHASE Phase,
                                          EFI_PCI_EXECUTION_PHASE ChipsetPhase);
  static EFI_STATUS EFIAPI PlatformPolicy(const EFI_PCI_PLATFORM_PROTOCOL *This, EFI_PCI_PLATFORM_POLICY *PciPolicy);
  static EFI_STATUS EFIAPI PciRom(const EFI_PCI_PLATFORM_PROTOCOL *This, EFI_HANDLE PciHandle, VOID **RomImage,
                                  UINTN *RomSize);
  void Charge(const std::string &Call, size_t From);

  Machine &Board;
  EFI_PCI_PLATFORM_PROTOCOL &Driver;
  EFI_PCI_PLATFORM_PROTOCOL Interposed{};
  std::map<std::string, AccessCounts> Counts;
};

} // namespace sim
