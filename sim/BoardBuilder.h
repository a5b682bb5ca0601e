// Short-hands for describing a hierarchy in a few lines: a host bridge, root
// ports and switch ports with a PCI Express capability, endpoints and
// multi-function devices.
#pragma once

#include "sim/PciBus.h"

namespace sim {

// Host bridge at 0:0.0 (class 06/00).
PciFunction &AddHostBridge(PciBus &Bus, UINT16 VendorId, UINT16 DeviceId, UINT8 Revision);
// A conventional PCI function without capabilities.
PciFunction &AddConventionalFunction(PciBus &Bus, Bdf Where, UINT16 VendorId, UINT16 DeviceId);
// A PCI Express endpoint.
PciFunction &AddPcieEndpoint(PciBus &Bus, Bdf Where, PcieCapabilityConfig Link, UINT16 VendorId = 0x8086,
                             UINT16 DeviceId = 0x10D3);
// A PCI Express port (root port, switch upstream or downstream port) with its
// bus range; Link.PortType defaults to the kind named.
PciFunction &AddRootPort(PciBus &Bus, Bdf Where, UINT8 Secondary, UINT8 Subordinate, PcieCapabilityConfig Link = {});
PciFunction &AddSwitchUpstreamPort(PciBus &Bus, Bdf Where, UINT8 Secondary, UINT8 Subordinate,
                                   PcieCapabilityConfig Link = {});
PciFunction &AddSwitchDownstreamPort(PciBus &Bus, Bdf Where, UINT8 Secondary, UINT8 Subordinate,
                                     PcieCapabilityConfig Link = {});

} // namespace sim
