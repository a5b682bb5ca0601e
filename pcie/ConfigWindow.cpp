#include "ConfigWindow.h"

#include "base/Decisions.h"
#include "base/PhysicalMemory.h"
#include "pci/PciAddress.h"

void BeginWindowLinkSetup(UINT8 Bus, UINT8 Device, UINT8 Function) {
  const UINT64 LinkSetup = PcieWindowAddress(Bus, Device, Function, PCIE_WINDOW_LINK_SETUP_OFFSET);
  const auto Setup = static_cast<UINT8>(PhysicalRead8(LinkSetup) | PCIE_WINDOW_LINK_SETUP_ACTIVE);
  PhysicalWrite8(LinkSetup, Setup);
  Decide(DECISION_KIND::Window, DECISION_REASON::LinkSetupBegin, PciFunctionAddress(Bus, Device, Function),
         PCIE_WINDOW_LINK_SETUP_OFFSET, Setup);
  const UINT64 PortControl = PcieWindowAddress(Bus, Device, Function, PCIE_WINDOW_PORT_CONTROL_OFFSET);
  const auto Control = static_cast<UINT16>(PhysicalRead16(PortControl) | PCIE_WINDOW_PORT_CONTROL_BIT);
  PhysicalWrite16(PortControl, Control);
  Decide(DECISION_KIND::Window, DECISION_REASON::PortControlSet, PciFunctionAddress(Bus, Device, Function),
         PCIE_WINDOW_PORT_CONTROL_OFFSET, Control);
}

void EndWindowLinkSetup(UINT8 Bus, UINT8 Device, UINT8 Function) {
  const UINT64 LinkSetup = PcieWindowAddress(Bus, Device, Function, PCIE_WINDOW_LINK_SETUP_OFFSET);
  const auto Setup = static_cast<UINT8>(PhysicalRead8(LinkSetup) & ~PCIE_WINDOW_LINK_SETUP_ACTIVE);
  PhysicalWrite8(LinkSetup, Setup);
  Decide(DECISION_KIND::Window, DECISION_REASON::LinkSetupEnd, PciFunctionAddress(Bus, Device, Function),
         PCIE_WINDOW_LINK_SETUP_OFFSET, Setup);
}
