#include "PhaseActions.h"

#include "Driver.h"

#include "base/LocateProtocol.h"
#include "callbacks/PciCallbacks.h"
#include "pci/PciAddress.h"
#include "pcie/LinkTuning.h"
#include "platform/ConfigBlocks.h"
#include "platform/IoApic.h"

namespace {

EFI_HANDLE mRootBridgeHandle;
EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *mRootBridgeIo;
EFI_CPU_IO_PROTOCOL *mCpuIo;

} // namespace

void ResetEnumerationState() {
  mRootBridgeHandle = nullptr;
  mRootBridgeIo = nullptr;
  mCpuIo = nullptr;
}

void OnBeginEnumeration() {
  mRootBridgeIo = LocateService<EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL>(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_GUID,
                                                                 DECISION_SERVICE_ROOT_BRIDGE_IO);
  mCpuIo = LocateService<EFI_CPU_IO_PROTOCOL>(EFI_CPU_IO_PROTOCOL_GUID, DECISION_SERVICE_CPU_IO);
  SetDeviceRecordCpuIo(mCpuIo);
  (void)ApplySetupToConfigBlocks();
}

void OnBeginResourceAllocation() {
  BeginCallbackPoint(PCI_CALLBACK_BEGIN_ALLOCATION);
  if (mRootBridgeIo == nullptr) {
    Decide(DECISION_KIND::Service, DECISION_REASON::StepSkipped, DECISION_NOWHERE, DECISION_SERVICE_ROOT_BRIDGE_IO,
           PCI_CALLBACK_BEGIN_ALLOCATION);
    return;
  }
  WalkPciBus(mRootBridgeIo, mRootBridgeHandle, 0);
  ConfigurePcieAspm(mRootBridgeIo);
  ConfigureMaxPayload(mRootBridgeIo);
}

void OnEndResourceAllocation() {
  BeginCallbackPoint(PCI_CALLBACK_END_ALLOCATION);
  if (mRootBridgeIo != nullptr) {
    WalkPciBus(mRootBridgeIo, mRootBridgeHandle, 0);
  } else {
    Decide(DECISION_KIND::Service, DECISION_REASON::StepSkipped, DECISION_NOWHERE, DECISION_SERVICE_ROOT_BRIDGE_IO,
           PCI_CALLBACK_END_ALLOCATION);
  }
  if (mCpuIo != nullptr) {
    for (const IOAPIC_ASSIGNMENT &IoApic : mIoApicTable) {
      ProgramIoApicId(mCpuIo, IoApic.Base, IoApic.Id);
    }
  } else {
    for (const IOAPIC_ASSIGNMENT &IoApic : mIoApicTable) {
      Decide(DECISION_KIND::IoApic, DECISION_REASON::NoCpuIo, DECISION_NOWHERE, IoApic.Base, IoApic.Id);
    }
  }
}

void NoteRootBridge(EFI_HANDLE RootBridge) {
  if (mRootBridgeHandle == nullptr) {
    mRootBridgeHandle = RootBridge;
  }
}

void OnPrepareController(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_PCI_ADDRESS PciAddress) {
  BeginCallbackPoint(PCI_CALLBACK_PREP_CONTROLLER);
  DispatchPciCallbacks(mRootBridgeIo, mRootBridgeHandle, PciAddressValue(PciAddress));
}

EFI_HANDLE LocatedRootBridgeHandle() { return mRootBridgeHandle; }

EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *LocatedRootBridgeIo() { return mRootBridgeIo; }

EFI_CPU_IO_PROTOCOL *LocatedCpuIo() { return mCpuIo; }
