// The members of EFI_PCI_PLATFORM_PROTOCOL that the PCI bus driver calls. The
// phase hooks run the subsystems' actions in a fixed order and never report a
// failure of those actions to the bus driver.
#include "Driver.h"
#include "PhaseActions.h"

#include "oprom/OptionRom.h"
#include "platform/SetupData.h"

EFI_STATUS EFIAPI PlatformNotify(EFI_PCI_PLATFORM_PROTOCOL *This, EFI_HANDLE HostBridge,
                                 EFI_PCI_HOST_BRIDGE_RESOURCE_ALLOCATION_PHASE Phase,
                                 EFI_PCI_EXECUTION_PHASE ChipsetPhase) {
  (void)This;
  (void)HostBridge;
  // All of the driver's work follows the host bridge's own handling of a phase.
  if (ChipsetPhase == ChipsetEntry) {
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
  NoteRootBridge(RootBridge);
  if (Phase == EfiPciBeforeChildBusEnumeration && ChipsetPhase == ChipsetEntry) {
    OnPrepareController(PciAddress);
  }
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI GetPlatformPolicy(const EFI_PCI_PLATFORM_PROTOCOL *This, EFI_PCI_PLATFORM_POLICY *PciPolicy) {
  (void)This;
  // The board needs no special I/O aperture policy; the bus driver's default holds.
  if (PciPolicy == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI GetPciRom(const EFI_PCI_PLATFORM_PROTOCOL *This, EFI_HANDLE PciHandle, VOID **RomImage,
                            UINTN *RomSize) {
  (void)This;
  return SupplyPciRom(PciHandle, RomImage, RomSize, EthernetOptionRomsEnabled);
}
