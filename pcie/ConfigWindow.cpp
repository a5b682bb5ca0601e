#include "ConfigWindow.h"

#include "base/PhysicalMemory.h"

void BeginWindowLinkSetup(UINT8 Bus, UINT8 Device, UINT8 Function) {
  const UINT64 LinkSetup = PcieWindowAddress(Bus, Device, Function, PCIE_WINDOW_LINK_SETUP_OFFSET);
  PhysicalWrite8(LinkSetup, static_cast<UINT8>(PhysicalRead8(LinkSetup) | PCIE_WINDOW_LINK_SETUP_ACTIVE));
  const UINT64 PortControl = PcieWindowAddress(Bus, Device, Function, PCIE_WINDOW_PORT_CONTROL_OFFSET);
  PhysicalWrite16(PortControl, static_cast<UINT16>(PhysicalRead16(PortControl) | PCIE_WINDOW_PORT_CONTROL_BIT));
}

void EndWindowLinkSetup(UINT8 Bus, UINT8 Device, UINT8 Function) {
  const UINT64 LinkSetup = PcieWindowAddress(Bus, Device, Function, PCIE_WINDOW_LINK_SETUP_OFFSET);
  PhysicalWrite8(LinkSetup, static_cast<UINT8>(PhysicalRead8(LinkSetup) & ~PCIE_WINDOW_LINK_SETUP_ACTIVE));
}
