#include "PhaseActions.h"

#include "Driver.h"
#include "LocateProtocol.h"
#include "pcie/LinkTuning.h"
#include "platform/ConfigBlocks.h"
#include "platform/IoApic.h"

void OnBeginEnumeration() {
  mRootBridgeIo = LocateProtocolOrNull<EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL>(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_GUID);
  mCpuIo = LocateProtocolOrNull<EFI_CPU_IO_PROTOCOL>(EFI_CPU_IO_PROTOCOL_GUID);
  (void)ApplySetupToConfigBlocks();
}

void OnBeginResourceAllocation() {
  if (mRootBridgeIo != nullptr) {
    ConfigurePcieAspm();
    ConfigureMaxPayload();
  }
}

void OnEndResourceAllocation() {
  if (mCpuIo != nullptr) {
    for (const IOAPIC_ASSIGNMENT &IoApic : mIoApicTable) {
      ProgramIoApicId(IoApic.Base, IoApic.Id);
    }
  }
}

void OnPrepareController(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_PCI_ADDRESS PciAddress) { (void)PciAddress; }
