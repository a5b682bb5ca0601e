// One max payload size for the whole hierarchy. A function must never be sent a
// TLP larger than its own Max_Payload_Size, and traffic may cross any link on
// its way to a peer, so every function gets the smallest size that all of them
// support (PCI Express Base Specification 4.0, sections 2.2.2 and 7.5.3.4).
#include "LinkTuning.h"
#include "PcieRegisters.h"

#include "core/Driver.h"
#include "pci/BusSet.h"
#include "pci/ScanOrder.h"

namespace {

UINT64 CapabilityRegister(UINT64 Function, UINT8 Cap, UINT32 Offset) {
  return PciRegisterAddress(Function, Cap + Offset);
}

void LowerToSupportedPayload(UINT64 Function, UINT8 Cap, UINT8 *Minimum) {
  const auto DeviceCapabilities =
      PciConfigReadOrOnes<UINT16>(mRootBridgeIo, CapabilityRegister(Function, Cap, PCIE_DEVICE_CAPABILITIES_OFFSET));
  const auto Supported = static_cast<UINT8>(DeviceCapabilities & PCIE_DEVICE_CAPABILITIES_MAX_PAYLOAD_MASK);
  if (Supported < *Minimum) {
    *Minimum = Supported;
  }
}

// Replaces only the Max_Payload_Size field; every other device-control bit
// keeps its value.
void ProgramPayload(UINT64 Function, UINT8 Cap, UINT8 Code) {
  PciConfigModify(mRootBridgeIo, EfiPciWidthUint16, CapabilityRegister(Function, Cap, PCIE_DEVICE_CONTROL_OFFSET),
                  static_cast<UINT32>(Code) << PCIE_DEVICE_CONTROL_MAX_PAYLOAD_SHIFT,
                  PCIE_DEVICE_CONTROL_MAX_PAYLOAD_MASK);
}

bool IsPcieBridgePort(UINT8 PortType) {
  return PortType == PCIE_PORT_TYPE_ROOT_PORT || PortType == PCIE_PORT_TYPE_SWITCH_UPSTREAM ||
         PortType == PCIE_PORT_TYPE_SWITCH_DOWNSTREAM;
}

// The bus below a PCI Express port, when it lies above Bus.
bool FindBusBelowPort(UINT8 Bus, UINT64 Function, UINT8 Cap, UINT8 *SecondaryBus) {
  const auto Capabilities =
      PciConfigReadOrOnes<UINT16>(mRootBridgeIo, CapabilityRegister(Function, Cap, PCIE_CAPABILITIES_OFFSET));
  if (!IsPcieBridgePort(static_cast<UINT8>((Capabilities >> PCIE_PORT_TYPE_SHIFT) & PCIE_PORT_TYPE_MASK))) {
    return false;
  }
  const UINT64 Secondary = PciRegisterAddress(Function, PCI_BRIDGE_SECONDARY_BUS_OFFSET);
  return !EFI_ERROR(PciConfigRead(mRootBridgeIo, Secondary, SecondaryBus)) && *SecondaryBus > Bus;
}

// Recursion descends only to a secondary bus above the current one, so it is
// at most 255 levels deep; each bus is entered once per walk.
// NOLINTNEXTLINE(misc-no-recursion)
void WalkPayloadBelow(UINT8 Bus, MAX_PAYLOAD_MODE Mode, UINT8 *Minimum, PCI_BUS_SET &Entered) {
  Entered.Add(Bus);
  UINT8 Header[PCI_HEADER_SIZE] = {};
  ForEachFunctionInScanOrder(
      [Bus, &Header](UINT8 Device, UINT8 Function) {
        const bool Present = ReadPciHeader(mRootBridgeIo, Header, Bus, Device, Function);
        return PCI_FUNCTION_PROBE{Present, HeaderType(Header)};
      },
      [Bus, Mode, Minimum, &Entered](UINT8 Device, UINT8 Function, UINT8 /*HeaderType*/) { // NOLINT(misc-no-recursion)
        const UINT64 Address = PciFunctionAddress(Bus, Device, Function);
        UINT8 Cap = 0;
        if (EFI_ERROR(FindPcieCapability(mRootBridgeIo, Address, &Cap))) {
          return;
        }
        switch (Mode) {
        case MAX_PAYLOAD_MODE::Gather:
          LowerToSupportedPayload(Address, Cap, Minimum);
          break;
        case MAX_PAYLOAD_MODE::Apply:
          ProgramPayload(Address, Cap, *Minimum);
          break;
        default:
          break;
        }
        UINT8 SecondaryBus = 0;
        if (FindBusBelowPort(Bus, Address, Cap, &SecondaryBus) && !Entered.Contains(SecondaryBus)) {
          WalkPayloadBelow(SecondaryBus, Mode, Minimum, Entered);
        }
      });
}

} // namespace

void ProgramMaxPayload(UINT8 Bus, MAX_PAYLOAD_MODE Mode, UINT8 *Minimum) {
  if (Minimum == nullptr) {
    return;
  }
  PCI_BUS_SET Entered;
  WalkPayloadBelow(Bus, Mode, Minimum, Entered);
}

void ConfigureMaxPayload() {
  UINT8 Minimum = PCIE_MAX_PAYLOAD_CODE_FIELD_MAX;
  ProgramMaxPayload(0, MAX_PAYLOAD_MODE::Gather, &Minimum);
  // With no PCI Express function, or only reserved sizes reported, there is no
  // defined size to program: device control keeps its reset value everywhere.
  if (Minimum > PCIE_MAX_PAYLOAD_CODE_4096_BYTES) {
    return;
  }
  ProgramMaxPayload(0, MAX_PAYLOAD_MODE::Apply, &Minimum);
}
