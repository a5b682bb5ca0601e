// Common clock and ASPM L1 on the links below the bus-0 ports and the switch
// ports under them. A link is changed only when both ends run from the slot's
// reference clock and both support L1 (PCI Express Base Specification 4.0,
// sections 7.5.3.6 to 7.5.3.8); the link is then retrained so that the new
// common-clock setting takes effect.
#include "ConfigWindow.h"
#include "LinkTuning.h"
#include "PcieRegisters.h"

#include "core/Driver.h"
#include "pci/BusSet.h"
#include "pci/ScanOrder.h"

namespace {

// One host bridge family whose early revisions must not enable L1 on a link
// that runs faster than 2.5 GT/s.
constexpr UINT16 HOST_BRIDGE_FAMILY_VENDOR_ID = 0x8086;
constexpr UINT16 HOST_BRIDGE_FAMILY_DEVICE_IDS[] = {0x4000, 0x4001, 0x4003};
constexpr UINT8 HOST_BRIDGE_FAMILY_FIRST_L1_REVISION = 0x20;
constexpr UINT8 HOST_BRIDGE_BUS = 0;
constexpr UINT8 HOST_BRIDGE_DEVICE = 0;
constexpr UINT8 HOST_BRIDGE_FUNCTION = 0;

constexpr UINT8 LINK_CONTROL_COMMON_CLOCK_AND_L1 = PCIE_LINK_CONTROL_COMMON_CLOCK | PCIE_LINK_CONTROL_ASPM_L1;
constexpr UINT8 LINK_CONTROL_COMMON_CLOCK_ONLY = PCIE_LINK_CONTROL_COMMON_CLOCK;

// A function with a PCI Express capability at Cap.
struct PCIE_FUNCTION {
  UINT8 Bus;
  UINT8 Device;
  UINT8 Function;
  UINT8 Cap;
};

UINT64 CapabilityRegister(const PCIE_FUNCTION &Port, UINT32 Offset) {
  return PciRegisterAddress(PciFunctionAddress(Port.Bus, Port.Device, Port.Function), Port.Cap + Offset);
}

bool FindPcieFunction(UINT8 Bus, UINT8 Device, UINT8 Function, PCIE_FUNCTION *Found) {
  UINT8 Cap = 0;
  if (EFI_ERROR(FindPcieCapability(mRootBridgeIo, PciFunctionAddress(Bus, Device, Function), &Cap))) {
    return false;
  }
  *Found = {Bus, Device, Function, Cap};
  return true;
}

bool AspmDisabledByVariable() {
  UINT8 Buffer[DISABLE_ASPM_VARIABLE_BUFFER_SIZE];
  UINTN Size = sizeof(Buffer);
  return !EFI_ERROR(
      mRuntimeServices->GetVariable(DISABLE_ASPM_VARIABLE_NAME, &DISABLE_ASPM_VARIABLE_GUID, nullptr, &Size, Buffer));
}

bool SupportsAspmL1(const PCIE_FUNCTION &Port) {
  const auto LinkCapabilities =
      PciConfigReadOrOnes<UINT32>(mRootBridgeIo, CapabilityRegister(Port, PCIE_LINK_CAPABILITIES_OFFSET));
  return (LinkCapabilities & PCIE_LINK_CAPABILITIES_ASPM_L1) != 0;
}

UINT8 ReadPortType(const PCIE_FUNCTION &Port) {
  const auto Capabilities =
      PciConfigReadOrOnes<UINT8>(mRootBridgeIo, CapabilityRegister(Port, PCIE_CAPABILITIES_OFFSET));
  return static_cast<UINT8>((Capabilities >> PCIE_PORT_TYPE_SHIFT) & PCIE_PORT_TYPE_MASK);
}

UINT16 ReadLinkStatus(const PCIE_FUNCTION &Port) {
  return PciConfigReadOrOnes<UINT16>(mRootBridgeIo, CapabilityRegister(Port, PCIE_LINK_STATUS_OFFSET));
}

void SetLinkControlBits(const PCIE_FUNCTION &Port, UINT8 Bits) {
  PciConfigModify(mRootBridgeIo, EfiPciWidthUint8, CapabilityRegister(Port, PCIE_LINK_CONTROL_OFFSET), Bits, 0);
}

// Root ports and switch downstream ports own the link below them; an upstream
// port is only passed through on the way to its downstream ports.
bool IsDownstreamPort(UINT8 PortType) {
  return PortType == PCIE_PORT_TYPE_ROOT_PORT || PortType == PCIE_PORT_TYPE_SWITCH_DOWNSTREAM;
}

bool IsSwitchPort(UINT8 PortType) {
  return PortType == PCIE_PORT_TYPE_SWITCH_UPSTREAM || PortType == PCIE_PORT_TYPE_SWITCH_DOWNSTREAM;
}

// A PCI Express bridge at (Bus, Device, Function) whose secondary bus lies
// below Bus; anything else has no links for this pass to configure.
bool FindPcieBridge(UINT8 Bus, UINT8 Device, UINT8 Function, PCIE_FUNCTION *Bridge, UINT8 *SecondaryBus) {
  UINT8 Header[PCI_HEADER_SIZE] = {};
  if (!ReadPciHeader(mRootBridgeIo, Header, Bus, Device, Function) || !IsPciToPciBridge(HeaderType(Header))) {
    return false;
  }
  if (!FindPcieFunction(Bus, Device, Function, Bridge)) {
    return false;
  }
  const UINT64 Secondary =
      PciRegisterAddress(PciFunctionAddress(Bus, Device, Function), PCI_BRIDGE_SECONDARY_BUS_OFFSET);
  return !EFI_ERROR(PciConfigRead(mRootBridgeIo, Secondary, SecondaryBus)) && *SecondaryBus > Bus;
}

bool IsHostBridgeFamilyDevice(UINT32 Ids) {
  if ((Ids & 0xFFFF) != HOST_BRIDGE_FAMILY_VENDOR_ID) {
    return false;
  }
  for (const UINT16 DeviceId : HOST_BRIDGE_FAMILY_DEVICE_IDS) {
    if ((Ids >> 16) == DeviceId) {
      return true;
    }
  }
  return false;
}

// For a link faster than 2.5 GT/s: the early revisions of the host bridge
// family get common clock without L1, later ones both; with any other host
// bridge the link control value stays as it was.
UINT8 LinkControlForHostBridge(UINT8 Current) {
  const UINT64 HostBridge = PciFunctionAddress(HOST_BRIDGE_BUS, HOST_BRIDGE_DEVICE, HOST_BRIDGE_FUNCTION);
  const auto Ids = PciConfigReadOrOnes<UINT32>(mRootBridgeIo, PciRegisterAddress(HostBridge, PCI_VENDOR_ID_OFFSET));
  if (!IsHostBridgeFamilyDevice(Ids)) {
    return Current;
  }
  const auto Revision =
      PciConfigReadOrOnes<UINT8>(mRootBridgeIo, PciRegisterAddress(HostBridge, PCI_REVISION_ID_OFFSET));
  return Revision < HOST_BRIDGE_FAMILY_FIRST_L1_REVISION ? LINK_CONTROL_COMMON_CLOCK_ONLY
                                                         : LINK_CONTROL_COMMON_CLOCK_AND_L1;
}

bool BothEndsQualify(UINT16 BridgeLinkStatus, UINT16 ChildLinkStatus, bool BridgeL1, bool ChildL1) {
  return (BridgeLinkStatus & PCIE_LINK_STATUS_SLOT_CLOCK) != 0 &&
         (ChildLinkStatus & PCIE_LINK_STATUS_SLOT_CLOCK) != 0 && BridgeL1 && ChildL1;
}

// Both ends of the link take LinkControl: the bridge before each present
// function of the child, and each function that has a link of its own.
void ApplyLinkControl(const PCIE_FUNCTION &Bridge, UINT8 ChildBus, UINT8 ChildDevice, UINT8 ChildHeaderType,
                      UINT8 LinkControl) {
  const UINT8 Functions = IsMultiFunction(ChildHeaderType) ? PCI_MAX_FUNCTION + 1 : 1;
  for (UINT8 Function = 0; Function < Functions; ++Function) {
    UINT8 Header[PCI_HEADER_SIZE] = {};
    if (!ReadPciHeader(mRootBridgeIo, Header, ChildBus, ChildDevice, Function)) {
      continue;
    }
    SetLinkControlBits(Bridge, LinkControl);
    PCIE_FUNCTION Child{};
    if (FindPcieFunction(ChildBus, ChildDevice, Function, &Child)) {
      SetLinkControlBits(Child, LinkControl);
    }
  }
}

// Polls the bridge's Link Training bit, with no delay before the first look,
// for at most PCIE_LINK_TRAINING_TIMEOUT_US. False when the link is still
// training then, or its status cannot be read.
bool WaitForLinkTraining(const PCIE_FUNCTION &Bridge) {
  const UINT64 LinkStatus = CapabilityRegister(Bridge, PCIE_LINK_STATUS_OFFSET);
  for (UINTN Waited = 0;; Waited += PCIE_LINK_TRAINING_POLL_INTERVAL_US) {
    UINT16 Status = 0;
    if (EFI_ERROR(PciConfigRead(mRootBridgeIo, LinkStatus, &Status))) {
      return false;
    }
    if ((Status & PCIE_LINK_STATUS_TRAINING) == 0) {
      return true;
    }
    if (Waited >= PCIE_LINK_TRAINING_TIMEOUT_US) {
      return false;
    }
    (void)mBootServices->Stall(PCIE_LINK_TRAINING_POLL_INTERVAL_US);
  }
}

// A link that does not finish training keeps the bits already written; the
// pass goes on with the next child.
void RetrainLink(const PCIE_FUNCTION &Bridge) {
  SetLinkControlBits(Bridge, PCIE_LINK_CONTROL_RETRAIN);
  (void)WaitForLinkTraining(Bridge);
}

// The link between a root or downstream port and the child at ChildDevice on
// its secondary bus. *LinkControl carries over to the bridge's later children.
void ConfigureLinkToChild(const PCIE_FUNCTION &Bridge, bool BridgeL1, const PCIE_FUNCTION &Child, bool ChildL1,
                          UINT8 ChildHeaderType, UINT8 *LinkControl) {
  const UINT16 BridgeStatus = ReadLinkStatus(Bridge);
  const UINT16 ChildStatus = ReadLinkStatus(Child);
  if ((ChildStatus & PCIE_LINK_STATUS_SPEED_MASK) != PCIE_LINK_STATUS_SPEED_2_5_GTPS) {
    *LinkControl = LinkControlForHostBridge(*LinkControl);
  }
  if (!BothEndsQualify(BridgeStatus, ChildStatus, BridgeL1, ChildL1)) {
    return;
  }
  ApplyLinkControl(Bridge, Child.Bus, Child.Device, ChildHeaderType, *LinkControl);
  RetrainLink(Bridge);
}

void ConfigureLinksBelow(UINT8 Bus, UINT8 Device, UINT8 Function, PCI_BUS_SET &Entered);

// A switch port's own links, bracketed by its link-setup bit.
void ConfigureLinksBelowSwitchPort(UINT8 Bus, UINT8 Device, PCI_BUS_SET &Entered) { // NOLINT(misc-no-recursion)
  BeginWindowLinkSetup(Bus, Device, 0);
  ConfigureLinksBelow(Bus, Device, 0, Entered);
  EndWindowLinkSetup(Bus, Device, 0);
}

// Recursion descends only to a secondary bus above the current one, so it is
// at most 255 levels deep; each bus is entered once per pass.
void ConfigureLinksBelow(UINT8 Bus, UINT8 Device, UINT8 Function, PCI_BUS_SET &Entered) { // NOLINT(misc-no-recursion)
  PCIE_FUNCTION Bridge{};
  UINT8 SecondaryBus = 0;
  if (!FindPcieBridge(Bus, Device, Function, &Bridge, &SecondaryBus) || Entered.Contains(SecondaryBus)) {
    return;
  }
  Entered.Add(SecondaryBus);
  const bool BridgeL1 = SupportsAspmL1(Bridge);
  const UINT8 BridgeType = ReadPortType(Bridge);
  UINT8 LinkControl = LINK_CONTROL_COMMON_CLOCK_AND_L1;
  // Only function 0 of each child device is looked at; the functions of a
  // multi-function child are reached from it.
  for (UINT8 ChildDevice = 0; ChildDevice <= PCI_MAX_DEVICE; ++ChildDevice) {
    UINT8 Header[PCI_HEADER_SIZE] = {};
    PCIE_FUNCTION Child{};
    if (!ReadPciHeader(mRootBridgeIo, Header, SecondaryBus, ChildDevice, 0) ||
        !FindPcieFunction(SecondaryBus, ChildDevice, 0, &Child)) {
      continue;
    }
    const bool ChildL1 = SupportsAspmL1(Child);
    const UINT8 ChildType = ReadPortType(Child);
    if (IsDownstreamPort(BridgeType)) {
      ConfigureLinkToChild(Bridge, BridgeL1, Child, ChildL1, HeaderType(Header), &LinkControl);
    }
    if (IsSwitchPort(ChildType)) {
      ConfigureLinksBelowSwitchPort(SecondaryBus, ChildDevice, Entered);
    }
  }
}

} // namespace

void ConfigureLinkAspm(UINT8 Bus, UINT8 Device, UINT8 Function) {
  PCI_BUS_SET Entered;
  ConfigureLinksBelow(Bus, Device, Function, Entered);
}

void ConfigurePcieAspm() {
  const bool Disabled = AspmDisabledByVariable();
  PCI_BUS_SET Entered;
  UINT8 Header[PCI_HEADER_SIZE] = {};
  ForEachFunctionInScanOrder(
      [&Header](UINT8 Device, UINT8 Function) {
        const bool Present = ReadPciHeader(mRootBridgeIo, Header, 0, Device, Function);
        return PCI_FUNCTION_PROBE{Present, HeaderType(Header)};
      },
      [Disabled, &Entered](UINT8 Device, UINT8 Function, UINT8 /*HeaderType*/) {
        PCIE_FUNCTION Port{};
        if (!FindPcieFunction(0, Device, Function, &Port) || Disabled) {
          return;
        }
        BeginWindowLinkSetup(0, Device, Function);
        ConfigureLinksBelow(0, Device, Function, Entered);
        EndWindowLinkSetup(0, Device, Function);
      });
}
