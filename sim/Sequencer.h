// Drives the driver the way the firmware's PCI bus driver does through one
// full enumeration: every host-bridge phase bracketed by ChipsetEntry and
// ChipsetExit, GetPlatformPolicy once while sizing apertures, and for every
// function found while scanning, PlatformPrepController before its child bus
// is enumerated and before its resources are collected. The sequencer reads
// the board's configuration spaces directly, without the access log, and
// writes nothing: bus numbers and BARs stay as the board gives them, so every
// change to configuration space is the driver's own.
#pragma once

#include "sim/Machine.h"

#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// One call the sequencer made into the driver, for reports and tests.
struct DriverCall {
  std::string_view Member; // PlatformNotify, PlatformPrepController, GetPlatformPolicy (static names)
  UINT32 Phase;            // host-bridge or controller phase
  UINT32 ChipsetPhase;
  Bdf Location; // PlatformPrepController only
  EFI_STATUS Status;
};

// How the bus driver goes through the phases. OnePass: one bus-allocation
// pass with both prepare-controller calls for each function as it is found.
// Ovmf: as OVMF's PCI bus driver was seen to (its debug image's serial lines):
// two bus-allocation passes (the second for hot-plug padding), each preparing
// every function before its child bus; then, once the begin of resource
// allocation has been announced, every function before resource collection
// and the policy request.
enum class BusDriverSequence { OnePass, Ovmf };

const char *SequenceName(BusDriverSequence Sequence);

std::string FormatDriverCall(const DriverCall &Call);
const char *HostBridgePhaseName(UINT32 Phase);

class PciBusDriverSequencer {
public:
  PciBusDriverSequencer(Machine &Target, EFI_PCI_PLATFORM_PROTOCOL &Platform) : Board(Target), Driver(Platform) {}

  // BeginEnumeration through EndEnumeration.
  void Enumerate(BusDriverSequence Sequence = BusDriverSequence::OnePass);
  // The functions the scan found, in the order a bus driver finds them.
  const std::vector<Bdf> &Found() const { return Functions; }
  const std::vector<DriverCall> &Calls() const { return Log; }

private:
  void Notify(EFI_PCI_HOST_BRIDGE_RESOURCE_ALLOCATION_PHASE Phase);
  void PrepareController(Bdf Location, EFI_PCI_CONTROLLER_RESOURCE_ALLOCATION_PHASE Phase);
  void ScanBus(UINT8 Bus, unsigned Depth);
  void BusAllocationPass();
  void AskPolicy();

  // Whether a scan also prepares each function for resource collection.
  bool PrepareForResourcesWhileScanning = true;

  Machine &Board;
  EFI_PCI_PLATFORM_PROTOCOL &Driver;
  std::vector<Bdf> Functions;
  std::vector<DriverCall> Log;
  std::set<UINT8> Scanned;
};

} // namespace sim
