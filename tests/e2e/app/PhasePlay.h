// The notification phases of a full enumeration, played by the application
// in the firmware's order with entry and exit, while spies record what each
// call did.
#pragma once

#include "Scenario.h"
#include "Spies.h"

namespace e2e {

struct PhaseCall {
  EFI_PCI_HOST_BRIDGE_RESOURCE_ALLOCATION_PHASE Phase;
  EFI_PCI_EXECUTION_PHASE ChipsetPhase;
  EFI_STATUS Status;
  // Ranges in the logs (LocateCallAt, ConfigWriteAt, the support report's
  // memory log, CallbackCallAt) that belong to this call.
  UINTN LocateFirst;
  UINTN LocateCount;
  UINTN ConfigReads;
  UINTN ConfigWriteFirst;
  UINTN ConfigWriteCount;
  UINTN MemoryFirst;
  UINTN MemoryCount;
  UINTN CallbackFirst;
  UINTN CallbackCount;

  // The calls the driver has work for: exit of begin-enumeration and of the
  // begin and end of resource allocation.
  [[nodiscard]] bool HasWork() const;
};

// Eight phases, each with entry and exit.
inline constexpr UINTN kPhaseCallCount = 16;

void PlayEnumerationPhases(Scenario &Run);
const PhaseCall &PhaseCallAt(UINTN Index);
const PhaseCall &FindPhaseCall(EFI_PCI_HOST_BRIDGE_RESOURCE_ALLOCATION_PHASE Phase,
                               EFI_PCI_EXECUTION_PHASE ChipsetPhase);

} // namespace e2e
