#include "PhaseActions.h"

#include "Driver.h"
#include "pcie/LinkTuning.h"

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
}

void OnBeginResourceAllocation() {
  if (mRootBridgeIo != nullptr) {
    ConfigurePcieAspm();
    ConfigureMaxPayload();
  }
}

void OnEndResourceAllocation() {}

void OnPrepareController(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_PCI_ADDRESS PciAddress) { (void)PciAddress; }
