// One max payload size for the whole hierarchy. A function must never be sent a
// TLP larger than its own Max_Payload_Size, and traffic may cross any link on
// its way to a peer, so every function gets the smallest size that all of them
// support (PCI Express Base Specification 4.0, sections 2.2.2 and 7.5.3.4).
#include "LinkTuning.h"

#include "base/Decisions.h"
#include "pci/HierarchyWalk.h"
#include "pci/PcieCapability.h"

namespace {

bool IsPcieBridgePort(UINT8 PortType) {
  return PortType == PCIE_PORT_TYPE_ROOT_PORT || PortType == PCIE_PORT_TYPE_SWITCH_UPSTREAM ||
         PortType == PCIE_PORT_TYPE_SWITCH_DOWNSTREAM;
}

struct PAYLOAD_WALKER {
  struct LEVEL_STATE {};
  static constexpr PCI_BUS_SCAN BELOW_FIRST = PCI_BUS_SCAN::ScanOrder;

  EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *RootBridgeIo;
  MAX_PAYLOAD_MODE Mode;
  UINT8 &Minimum;

  PCI_FUNCTION_PROBE Probe(UINT8 Bus, UINT8 Device, UINT8 Function) const {
    return ProbePciFunction(RootBridgeIo, Bus, Device, Function);
  }

  // Gathers or programs the function's payload, then names the bus below it
  // when it is a PCI Express port.
  UINT8 Visit(LEVEL_STATE & /*Level*/, const PCI_WALK_POSITION &At, const PCI_BUS_SET & /*Entered*/,
              LEVEL_STATE * /*Below*/) const {
    const UINT64 Function = PciFunctionAddress(At.Bus, At.Device, At.Function);
    UINT8 Cap = 0;
    if (EFI_ERROR(FindPcieCapability(RootBridgeIo, Function, &Cap))) {
      return 0;
    }
    if (Mode == MAX_PAYLOAD_MODE::Gather) {
      LowerToSupportedPayload(Function, Cap);
    } else if (Mode == MAX_PAYLOAD_MODE::Apply) {
      ProgramPayload(Function, Cap);
    }
    return BusBelowPort(Function, Cap);
  }

  void Leave(const LEVEL_STATE & /*Level*/) const {}

  // A function whose device capabilities cannot be read counts as supporting
  // 128 bytes, the size every PCI Express function supports: the size it is
  // then given rests on no value that was never read.
  void LowerToSupportedPayload(UINT64 Function, UINT8 Cap) const {
    UINT16 DeviceCapabilities = 0;
    const bool Read = !EFI_ERROR(PciConfigRead(
        RootBridgeIo, PcieCapabilityRegister(Function, Cap, PCIE_DEVICE_CAPABILITIES_OFFSET), &DeviceCapabilities));
    const auto Supported =
        Read ? static_cast<UINT8>(DeviceCapabilities & PCIE_DEVICE_CAPABILITIES_MAX_PAYLOAD_MASK) : UINT8{0};
    Decide(DECISION_KIND::Payload, Read ? DECISION_REASON::Supported : DECISION_REASON::Unreadable, Function,
           Supported);
    if (Supported < Minimum) {
      Minimum = Supported;
    }
  }

  // Replaces only the Max_Payload_Size field; every other device-control bit
  // keeps its value.
  void ProgramPayload(UINT64 Function, UINT8 Cap) const {
    Decide(DECISION_KIND::Payload, DECISION_REASON::Programmed, Function, Minimum);
    PciConfigModify(RootBridgeIo, EfiPciWidthUint16, PcieCapabilityRegister(Function, Cap, PCIE_DEVICE_CONTROL_OFFSET),
                    static_cast<UINT32>(Minimum) << PCIE_DEVICE_CONTROL_MAX_PAYLOAD_SHIFT,
                    PCIE_DEVICE_CONTROL_MAX_PAYLOAD_MASK);
  }

  UINT8 BusBelowPort(UINT64 Function, UINT8 Cap) const {
    const auto Capabilities =
        PciConfigReadOrOnes<UINT16>(RootBridgeIo, PcieCapabilityRegister(Function, Cap, PCIE_CAPABILITIES_OFFSET));
    return IsPcieBridgePort(PciePortType(Capabilities)) ? ReadSecondaryBus(RootBridgeIo, Function) : 0;
  }
};

} // namespace

void ProgramMaxPayload(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *RootBridgeIo, UINT8 Bus, MAX_PAYLOAD_MODE Mode,
                       UINT8 &Minimum) {
  PAYLOAD_WALKER Walker{RootBridgeIo, Mode, Minimum};
  WalkPciHierarchy(Walker, Bus, {});
}

void ConfigureMaxPayload(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *RootBridgeIo) {
  UINT8 Minimum = PCIE_MAX_PAYLOAD_CODE_FIELD_MAX;
  ProgramMaxPayload(RootBridgeIo, 0, MAX_PAYLOAD_MODE::Gather, Minimum);
  // With no PCI Express function, or only reserved sizes reported, there is no
  // defined size to program: device control keeps its reset value everywhere.
  if (Minimum > PCIE_MAX_PAYLOAD_CODE_4096_BYTES) {
    Decide(DECISION_KIND::Payload, DECISION_REASON::NoDefinedSize, DECISION_NOWHERE, Minimum);
    return;
  }
  Decide(DECISION_KIND::Payload, DECISION_REASON::Chosen, DECISION_NOWHERE, Minimum);
  ProgramMaxPayload(RootBridgeIo, 0, MAX_PAYLOAD_MODE::Apply, Minimum);
}
