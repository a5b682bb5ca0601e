#include "HostBridgeQuirks.h"

#include "base/Decisions.h"
#include "pci/ConfigAccess.h"
#include "pci/PcieCapability.h"

namespace {

constexpr UINT64 HOST_BRIDGE_ADDRESS = PciFunctionAddress(0, 0, 0);

const HOST_BRIDGE_L1_QUIRK *FindQuirk(UINT32 Ids) {
  for (const HOST_BRIDGE_L1_QUIRK &Quirk : mHostBridgeL1Quirks) {
    if ((Ids & 0xFFFF) != Quirk.VendorId) {
      continue;
    }
    for (const UINT16 DeviceId : Quirk.DeviceIds) {
      if ((Ids >> 16) == DeviceId) {
        return &Quirk;
      }
    }
  }
  return nullptr;
}

} // namespace

UINT8 LinkControlForHostBridge(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *RootBridgeIo, UINT8 Current) {
  const auto Ids =
      PciConfigReadOrOnes<UINT32>(RootBridgeIo, PciRegisterAddress(HOST_BRIDGE_ADDRESS, PCI_VENDOR_ID_OFFSET));
  const HOST_BRIDGE_L1_QUIRK *Quirk = FindQuirk(Ids);
  if (Quirk == nullptr) {
    return Current;
  }
  const auto Revision =
      PciConfigReadOrOnes<UINT8>(RootBridgeIo, PciRegisterAddress(HOST_BRIDGE_ADDRESS, PCI_REVISION_ID_OFFSET));
  const bool Early = Revision < Quirk->FirstL1Revision;
  Decide(DECISION_KIND::HostBridge, Early ? DECISION_REASON::L1Withheld : DECISION_REASON::L1Allowed,
         HOST_BRIDGE_ADDRESS, Ids, Revision);
  return Early ? PCIE_LINK_CONTROL_COMMON_CLOCK : PCIE_LINK_CONTROL_COMMON_CLOCK | PCIE_LINK_CONTROL_ASPM_L1;
}
