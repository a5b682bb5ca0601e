#include "PhaseActions.h"

#include "Driver.h"
#include "LocateProtocol.h"
#include "callbacks/PciCallbacks.h"
#include "pci/PciAddress.h"
#include "pcie/LinkTuning.h"
#include "platform/ConfigBlocks.h"
#include "platform/IoApic.h"

void OnBeginEnumeration() {
  mRootBridgeIo = LocateProtocolOrNull<EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL>(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_GUID);
  mCpuIo = LocateProtocolOrNull<EFI_CPU_IO_PROTOCOL>(EFI_CPU_IO_PROTOCOL_GUID);
  mDeviceRecord.CpuIo = mCpuIo;
  (void)ApplySetupToConfigBlocks();
}

void OnBeginResourceAllocation() {
  mCurrentPhaseMask = PCI_CALLBACK_BEGIN_ALLOCATION;
  if (mRootBridgeIo != nullptr) {
    WalkPciBus(0);
    ConfigurePcieAspm();
    ConfigureMaxPayload();
  }
}

void OnEndResourceAllocation() {
  mCurrentPhaseMask = PCI_CALLBACK_END_ALLOCATION;
  if (mRootBridgeIo != nullptr) {
    WalkPciBus(0);
  }
  if (mCpuIo != nullptr) {
    for (const IOAPIC_ASSIGNMENT &IoApic : mIoApicTable) {
      ProgramIoApicId(IoApic.Base, IoApic.Id);
    }
  }
}

void OnPrepareController(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_PCI_ADDRESS PciAddress) {
  mCurrentPhaseMask = PCI_CALLBACK_PREP_CONTROLLER;
  DispatchPciCallbacks(mRootBridgeHandle, PciAddressValue(PciAddress), PCI_CALLBACK_PREP_CONTROLLER, &mDeviceRecord);
}
