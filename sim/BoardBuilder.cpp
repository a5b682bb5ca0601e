#include "sim/BoardBuilder.h"

#include "published/PciLayout.h"

namespace sim {

using namespace published::layout;

namespace {
PciFunction &AddPort(PciBus &Bus, Bdf Where, UINT8 Secondary, UINT8 Subordinate, PcieCapabilityConfig Link,
                     UINT8 PortType, UINT16 DeviceId) {
  Link.PortType = PortType;
  return Bus.Add(Where).Ids(0x8086, DeviceId).Bridge(Where.Bus, Secondary, Subordinate).PcieCapability(Link);
}
} // namespace

PciFunction &AddHostBridge(PciBus &Bus, UINT16 VendorId, UINT16 DeviceId, UINT8 Revision) {
  return Bus.Add({0, 0, 0}).Ids(VendorId, DeviceId).Revision(Revision).ClassCode(0x06, 0x00);
}

PciFunction &AddConventionalFunction(PciBus &Bus, Bdf Where, UINT16 VendorId, UINT16 DeviceId) {
  return Bus.Add(Where).Ids(VendorId, DeviceId).ClassCode(0xFF, 0x00);
}

PciFunction &AddPcieEndpoint(PciBus &Bus, Bdf Where, PcieCapabilityConfig Link, UINT16 VendorId, UINT16 DeviceId) {
  Link.PortType = 0;
  return Bus.Add(Where).Ids(VendorId, DeviceId).ClassCode(0x02, 0x00).PcieCapability(Link);
}

PciFunction &AddRootPort(PciBus &Bus, Bdf Where, UINT8 Secondary, UINT8 Subordinate, PcieCapabilityConfig Link) {
  return AddPort(Bus, Where, Secondary, Subordinate, Link, PCIE_PORT_TYPE_ROOT_PORT, 0x2990);
}

PciFunction &AddSwitchUpstreamPort(PciBus &Bus, Bdf Where, UINT8 Secondary, UINT8 Subordinate,
                                   PcieCapabilityConfig Link) {
  return AddPort(Bus, Where, Secondary, Subordinate, Link, PCIE_PORT_TYPE_SWITCH_UPSTREAM, 0x8232);
}

PciFunction &AddSwitchDownstreamPort(PciBus &Bus, Bdf Where, UINT8 Secondary, UINT8 Subordinate,
                                     PcieCapabilityConfig Link) {
  return AddPort(Bus, Where, Secondary, Subordinate, Link, PCIE_PORT_TYPE_SWITCH_DOWNSTREAM, 0x8233);
}

} // namespace sim
