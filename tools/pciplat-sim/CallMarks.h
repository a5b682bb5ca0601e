// Where each call into the driver begins in the access log, so a trace can
// show which call made which accesses. The sequencer is handed a forwarding
// copy of the driver's platform protocol that marks each call, then calls the
// driver's own member with the driver's own table.
#pragma once

#include "base/Protocols.h"
#include "sim/AccessLog.h"

#include <string>
#include <vector>

namespace pciplat {

struct CallMark {
  size_t FirstAccess; // index in the access log
  std::string Call;   // "PlatformNotify(BeginEnumeration, ChipsetEntry)"
};

class MarkedPlatform {
public:
  // One at a time, like the machine it runs in.
  MarkedPlatform(EFI_PCI_PLATFORM_PROTOCOL &Driver, const sim::AccessLog &Log);
  ~MarkedPlatform();
  MarkedPlatform(const MarkedPlatform &) = delete;
  MarkedPlatform &operator=(const MarkedPlatform &) = delete;

  // The table to hand to the sequencer in the driver's place.
  EFI_PCI_PLATFORM_PROTOCOL &Protocol() { return Forwarder; }
  // Marks a call made outside the sequencer (GetPciRom, the entry point).
  void Mark(std::string Call) { Marks.push_back({Log.All().size(), std::move(Call)}); }
  const std::vector<CallMark> &All() const { return Marks; }

private:
  static EFI_STATUS EFIAPI Notify(EFI_PCI_PLATFORM_PROTOCOL *This, EFI_HANDLE HostBridge,
                                  EFI_PCI_HOST_BRIDGE_RESOURCE_ALLOCATION_PHASE Phase,
                                  EFI_PCI_EXECUTION_PHASE ChipsetPhase);
  static EFI_STATUS EFIAPI Prepare(EFI_PCI_PLATFORM_PROTOCOL *This, EFI_HANDLE HostBridge, EFI_HANDLE RootBridge,
                                   EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_PCI_ADDRESS PciAddress,
                                   EFI_PCI_CONTROLLER_RESOURCE_ALLOCATION_PHASE Phase,
                                   EFI_PCI_EXECUTION_PHASE ChipsetPhase);
  static EFI_STATUS EFIAPI Policy(const EFI_PCI_PLATFORM_PROTOCOL *This, EFI_PCI_PLATFORM_POLICY *PciPolicy);
  static EFI_STATUS EFIAPI Rom(const EFI_PCI_PLATFORM_PROTOCOL *This, EFI_HANDLE PciHandle, VOID **RomImage,
                               UINTN *RomSize);

  EFI_PCI_PLATFORM_PROTOCOL &Driver;
  const sim::AccessLog &Log;
  EFI_PCI_PLATFORM_PROTOCOL Forwarder{};
  std::vector<CallMark> Marks;
};

} // namespace pciplat
