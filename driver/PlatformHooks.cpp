// The members of EFI_PCI_PLATFORM_PROTOCOL that the PCI bus driver calls. The
// phase hooks run the subsystems' actions in a fixed order and never report a
// failure of those actions to the bus driver.
#include "Driver.h"
#include "PhaseActions.h"

#include "base/Decisions.h"
#include "callbacks/PciCallbacks.h"
#include "oprom/OptionRom.h"
#include "pci/PciAddress.h"
#include "platform/SetupData.h"

namespace {

void DecideCall(UINT64 Member, UINT64 Where, UINT32 Phase, UINT32 ChipsetPhase, EFI_STATUS Status) {
  Decide(DECISION_KIND::PlatformCall, DECISION_REASON::None, Where, Member << 16 | Phase << 8 | ChipsetPhase, Status);
}

// A phase hook called from a callback would nest a walk inside the running one
// or change the point under the dispatch in progress: it acts on nothing and,
// like every notification, succeeds.
bool RefusedFromCallback(UINT64 Member) {
  const UINT32 Point = DispatchingPciCallbacks();
  if (Point == 0) {
    return false;
  }
  Decide(DECISION_KIND::Callback, DECISION_REASON::ReEntered, DECISION_NOWHERE, Point, Member);
  return true;
}

} // namespace

EFI_STATUS EFIAPI PlatformNotify(EFI_PCI_PLATFORM_PROTOCOL *This, EFI_HANDLE HostBridge,
                                 EFI_PCI_HOST_BRIDGE_RESOURCE_ALLOCATION_PHASE Phase,
                                 EFI_PCI_EXECUTION_PHASE ChipsetPhase) {
  (void)This;
  (void)HostBridge;
  DecideCall(DECISION_CALL_PLATFORM_NOTIFY, DECISION_NOWHERE, Phase, ChipsetPhase, EFI_SUCCESS);
  // All of the driver's work follows the host bridge's own handling of a phase.
  if (ChipsetPhase == ChipsetEntry || RefusedFromCallback(DECISION_CALL_PLATFORM_NOTIFY)) {
    return EFI_SUCCESS;
  }
  switch (Phase) {
  case EfiPciHostBridgeBeginEnumeration:
    OnBeginEnumeration();
    break;
  case EfiPciHostBridgeBeginResourceAllocation:
    OnBeginResourceAllocation();
    break;
  case EfiPciHostBridgeEndResourceAllocation:
    OnEndResourceAllocation();
    break;
  default:
    break;
  }
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI PlatformPrepController(EFI_PCI_PLATFORM_PROTOCOL *This, EFI_HANDLE HostBridge, EFI_HANDLE RootBridge,
                                         EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_PCI_ADDRESS PciAddress,
                                         EFI_PCI_CONTROLLER_RESOURCE_ALLOCATION_PHASE Phase,
                                         EFI_PCI_EXECUTION_PHASE ChipsetPhase) {
  (void)This;
  (void)HostBridge;
  DecideCall(DECISION_CALL_PREP_CONTROLLER, PciAddressValue(PciAddress), Phase, ChipsetPhase, EFI_SUCCESS);
  if (RefusedFromCallback(DECISION_CALL_PREP_CONTROLLER)) {
    return EFI_SUCCESS;
  }
  NoteRootBridge(RootBridge);
  if (Phase == EfiPciBeforeChildBusEnumeration && ChipsetPhase == ChipsetEntry) {
    OnPrepareController(PciAddress);
  }
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI GetPlatformPolicy(const EFI_PCI_PLATFORM_PROTOCOL *This, EFI_PCI_PLATFORM_POLICY *PciPolicy) {
  (void)This;
  // The board needs no special I/O aperture policy; the bus driver's default holds.
  const EFI_STATUS Status = PciPolicy == nullptr ? EFI_INVALID_PARAMETER : EFI_UNSUPPORTED;
  DecideCall(DECISION_CALL_GET_PLATFORM_POLICY, DECISION_NOWHERE, 0, 0, Status);
  return Status;
}

EFI_STATUS EFIAPI GetPciRom(const EFI_PCI_PLATFORM_PROTOCOL *This, EFI_HANDLE PciHandle, VOID **RomImage,
                            UINTN *RomSize) {
  (void)This;
  const EFI_STATUS Status = SupplyPciRom(PciHandle, RomImage, RomSize, EthernetOptionRomsEnabled);
  DecideCall(DECISION_CALL_GET_PCI_ROM, DECISION_NOWHERE, 0, 0, Status);
  return Status;
}
