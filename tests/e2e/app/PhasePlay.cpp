#include "PhasePlay.h"

#include "CallbackLog.h"

namespace e2e {
namespace {

// A full enumeration without hot-plug or a failed allocation (so without
// FreeResources), as the firmware's PCI bus driver sends it.
constexpr EFI_PCI_HOST_BRIDGE_RESOURCE_ALLOCATION_PHASE kEnumerationPhases[] = {
    EfiPciHostBridgeBeginEnumeration,        EfiPciHostBridgeBeginBusAllocation, EfiPciHostBridgeEndBusAllocation,
    EfiPciHostBridgeBeginResourceAllocation, EfiPciHostBridgeAllocateResources,  EfiPciHostBridgeSetResources,
    EfiPciHostBridgeEndResourceAllocation,   EfiPciHostBridgeEndEnumeration,
};
constexpr EFI_PCI_EXECUTION_PHASE kChipsetPhases[] = {ChipsetEntry, ChipsetExit};
static_assert(kPhaseCallCount == sizeof(kEnumerationPhases) / sizeof(kEnumerationPhases[0]) * 2);

constinit PhaseCall gPhaseCalls[kPhaseCallCount] = {};

void PlayOne(Scenario &Run, PhaseCall &Call) {
  const ConfigAccessCounts Before = ConfigAccesses();
  Call.LocateFirst = LocateCallCount();
  Call.ConfigWriteFirst = Before.Writes;
  Call.MemoryFirst = Run.Report->MemoryLogCount;
  Call.CallbackFirst = CallbackCallCount();
  Call.Status = Run.Platform->PlatformNotify(Run.Platform, Run.HostBridgeHandle, Call.Phase, Call.ChipsetPhase);
  Call.LocateCount = LocateCallCount() - Call.LocateFirst;
  Call.ConfigReads = ConfigAccesses().Reads - Before.Reads;
  Call.ConfigWriteCount = ConfigAccesses().Writes - Before.Writes;
  Call.MemoryCount = Run.Report->MemoryLogCount - Call.MemoryFirst;
  Call.CallbackCount = CallbackCallCount() - Call.CallbackFirst;
}

} // namespace

bool PhaseCall::HasWork() const {
  return ChipsetPhase == ChipsetExit &&
         (Phase == EfiPciHostBridgeBeginEnumeration || Phase == EfiPciHostBridgeBeginResourceAllocation ||
          Phase == EfiPciHostBridgeEndResourceAllocation);
}

void PlayEnumerationPhases(Scenario &Run) {
  StartLocateProtocolSpy();
  StartConfigAccessSpy(Run.RootBridgeIo);
  Run.Report->MemoryLogCount = 0;
  Run.Report->MemoryLogArmed = 1;
  UINTN Index = 0;
  for (const auto Phase : kEnumerationPhases) {
    for (const auto ChipsetPhase : kChipsetPhases) {
      PhaseCall &Call = gPhaseCalls[Index++];
      Call.Phase = Phase;
      Call.ChipsetPhase = ChipsetPhase;
      PlayOne(Run, Call);
    }
  }
  Run.Report->MemoryLogArmed = 0;
  StopConfigAccessSpy();
  StopLocateProtocolSpy();
}

const PhaseCall &PhaseCallAt(UINTN Index) { return gPhaseCalls[Index]; }

const PhaseCall &FindPhaseCall(EFI_PCI_HOST_BRIDGE_RESOURCE_ALLOCATION_PHASE Phase,
                               EFI_PCI_EXECUTION_PHASE ChipsetPhase) {
  for (const PhaseCall &Call : gPhaseCalls) {
    if (Call.Phase == Phase && Call.ChipsetPhase == ChipsetPhase) {
      return Call;
    }
  }
  return gPhaseCalls[0];
}

} // namespace e2e
