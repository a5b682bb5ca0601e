#include "PhaseActions.h"

#include "Driver.h"
#include "callbacks/PciCallbacks.h"
#include "pci/PciAddress.h"

namespace {

template <typename Protocol> Protocol *LocateProtocolOrNull(const EFI_GUID &Guid) {
  VOID *Interface = nullptr;
  if (EFI_ERROR(mBootServices->LocateProtocol(&Guid, nullptr, &Interface))) {
    return nullptr;
  }
  return static_cast<Protocol *>(Interface);
}

} // namespace

void OnBeginEnumeration() {
  mRootBridgeIo = LocateProtocolOrNull<EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL>(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_GUID);
  mCpuIo = LocateProtocolOrNull<EFI_CPU_IO_PROTOCOL>(EFI_CPU_IO_PROTOCOL_GUID);
  mDeviceRecord.CpuIo = mCpuIo;
}

void OnBeginResourceAllocation() {
  mCurrentPhaseMask = PCI_CALLBACK_BEGIN_ALLOCATION;
  if (mRootBridgeIo != nullptr) {
    WalkPciBus(0);
  }
}

void OnEndResourceAllocation() {
  mCurrentPhaseMask = PCI_CALLBACK_END_ALLOCATION;
  if (mRootBridgeIo != nullptr) {
    WalkPciBus(0);
  }
}

// The record is not re-read for the controller: it holds what the last walk left.
void OnPrepareController(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_PCI_ADDRESS PciAddress) {
  mCurrentPhaseMask = PCI_CALLBACK_PREP_CONTROLLER;
  DispatchPciCallbacks(mRootBridgeHandle, PciAddressValue(PciAddress), PCI_CALLBACK_PREP_CONTROLLER, &mDeviceRecord);
}
