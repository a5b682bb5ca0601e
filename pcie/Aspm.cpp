// Common clock and ASPM L1 on the links below the bus-0 ports and the switch
// ports under them. A link is changed only when both ends run from the slot's
// reference clock and both support L1 (PCI Express Base Specification 4.0,
// sections 7.5.3.6 to 7.5.3.8); the link is then retrained so that the new
// common-clock setting takes effect.
#include "ConfigWindow.h"
#include "HostBridgeQuirks.h"
#include "LinkTuning.h"

#include "base/Decisions.h"
#include "base/FirmwareServices.h"
#include "pci/HierarchyWalk.h"
#include "pci/PcieCapability.h"

namespace {

constexpr UINT8 LINK_CONTROL_COMMON_CLOCK_AND_L1 = PCIE_LINK_CONTROL_COMMON_CLOCK | PCIE_LINK_CONTROL_ASPM_L1;

// A function with a PCI Express capability at Cap.
struct PCIE_FUNCTION {
  UINT8 Bus;
  UINT8 Device;
  UINT8 Function;
  UINT8 Cap;
};

UINT64 AddressOf(const PCIE_FUNCTION &Port) { return PciFunctionAddress(Port.Bus, Port.Device, Port.Function); }

// The port above the bus a walk level scans, and what the links below it are
// configured from. The first bus has none: Port.Cap is 0 there.
struct LINK_OWNER {
  PCIE_FUNCTION Port;
  UINT8 PortType;
  UINT8 LinkControl; // carries over from one child to the next
  bool L1;
  bool Waited; // a retrain of this link has been waited for in this pass
};

bool AspmDisabledByVariable() {
  UINT8 Buffer[DISABLE_ASPM_VARIABLE_BUFFER_SIZE];
  UINTN Size = sizeof(Buffer);
  return !EFI_ERROR(
      RuntimeServices()->GetVariable(DISABLE_ASPM_VARIABLE_NAME, &DISABLE_ASPM_VARIABLE_GUID, nullptr, &Size, Buffer));
}

// Root ports and switch downstream ports own the link below them; an upstream
// port is only passed through on the way to its downstream ports.
bool IsDownstreamPort(UINT8 PortType) {
  return PortType == PCIE_PORT_TYPE_ROOT_PORT || PortType == PCIE_PORT_TYPE_SWITCH_DOWNSTREAM;
}

bool IsSwitchPort(UINT8 PortType) {
  return PortType == PCIE_PORT_TYPE_SWITCH_UPSTREAM || PortType == PCIE_PORT_TYPE_SWITCH_DOWNSTREAM;
}

bool BothEndsQualify(UINT16 BridgeLinkStatus, UINT16 ChildLinkStatus, bool BridgeL1, bool ChildL1) {
  return (BridgeLinkStatus & PCIE_LINK_STATUS_SLOT_CLOCK) != 0 &&
         (ChildLinkStatus & PCIE_LINK_STATUS_SLOT_CLOCK) != 0 && BridgeL1 && ChildL1;
}

// Why a link that does not qualify is left alone.
DECISION_REASON LinkRefusal(UINT16 PortStatus, UINT16 ChildStatus) {
  const bool BothClocked = (PortStatus & ChildStatus & PCIE_LINK_STATUS_SLOT_CLOCK) != 0;
  return BothClocked ? DECISION_REASON::L1Unsupported : DECISION_REASON::SlotClockMissing;
}

// The end that stops it: the first without the slot clock, else the first
// without L1, port before child.
const PCIE_FUNCTION &RefusingEnd(const PCIE_FUNCTION &Port, UINT16 PortStatus, bool PortL1, const PCIE_FUNCTION &Child,
                                 UINT16 ChildStatus) {
  if ((PortStatus & PCIE_LINK_STATUS_SLOT_CLOCK) == 0) {
    return Port;
  }
  if ((ChildStatus & PCIE_LINK_STATUS_SLOT_CLOCK) == 0) {
    return Child;
  }
  return PortL1 ? Child : Port;
}

class ASPM_WALKER {
public:
  using LEVEL_STATE = LINK_OWNER;
  static constexpr PCI_BUS_SCAN BELOW_FIRST = PCI_BUS_SCAN::FunctionZero;

  ASPM_WALKER(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *RootBridgeIo, bool Disabled)
      : RootBridgeIo(RootBridgeIo), Disabled(Disabled) {}

  PCI_FUNCTION_PROBE Probe(UINT8 Bus, UINT8 Device, UINT8 Function) const {
    return ProbePciFunction(RootBridgeIo, Bus, Device, Function);
  }

  // A bus-0 port, or a child below a port (function 0 only: the functions of a
  // multi-function child are reached from it). A switch port among them is
  // entered next, bracketed by its link-setup bit.
  UINT8 Visit(LINK_OWNER &Owner, const PCI_WALK_POSITION &At, const PCI_BUS_SET &Entered, LINK_OWNER *Below) {
    PCIE_FUNCTION Function{};
    if (!FindPcieFunction(At.Bus, At.Device, At.Function, &Function)) {
      return 0;
    }
    const bool IsFirstBus = Owner.Port.Cap == 0;
    if (IsFirstBus ? Disabled : !TuneLinkToChild(Owner, Function, At.HeaderType)) {
      return 0;
    }
    BeginWindowLinkSetup(At.Bus, At.Device, At.Function);
    const UINT8 Secondary = EnterPort(At, Entered, Below);
    if (Secondary == 0) {
      EndWindowLinkSetup(At.Bus, At.Device, At.Function);
    }
    return Secondary;
  }

  void Leave(const LINK_OWNER &Owner) const {
    EndWindowLinkSetup(Owner.Port.Bus, Owner.Port.Device, Owner.Port.Function);
  }

private:
  UINT64 CapabilityRegister(const PCIE_FUNCTION &Port, UINT32 Offset) const {
    return PcieCapabilityRegister(PciFunctionAddress(Port.Bus, Port.Device, Port.Function), Port.Cap, Offset);
  }

  bool FindPcieFunction(UINT8 Bus, UINT8 Device, UINT8 Function, PCIE_FUNCTION *Found) const {
    UINT8 Cap = 0;
    if (EFI_ERROR(FindPcieCapability(RootBridgeIo, PciFunctionAddress(Bus, Device, Function), &Cap))) {
      return false;
    }
    *Found = {Bus, Device, Function, Cap};
    return true;
  }

  // A link qualifies only on values actually read. A failed read reads all
  // ones, which would pass for L1 supported and slot clock present; so does a
  // function that has gone. A link register reading all ones qualifies for
  // nothing.
  template <typename T> [[nodiscard]] bool ReadLinkRegister(const PCIE_FUNCTION &Port, UINT32 Offset, T *Value) const {
    *Value = PciConfigReadOrOnes<T>(RootBridgeIo, CapabilityRegister(Port, Offset));
    if (*Value == static_cast<T>(~T{0})) {
      Decide(DECISION_KIND::Link, DECISION_REASON::Unreadable, AddressOf(Port), Port.Cap + Offset);
      return false;
    }
    return true;
  }

  bool SupportsAspmL1(const PCIE_FUNCTION &Port) const {
    UINT32 LinkCapabilities = 0;
    return ReadLinkRegister(Port, PCIE_LINK_CAPABILITIES_OFFSET, &LinkCapabilities) &&
           (LinkCapabilities & PCIE_LINK_CAPABILITIES_ASPM_L1) != 0;
  }

  // A failed read reads all ones, port type 15: neither a port that owns a
  // link nor a switch port, so it qualifies for nothing.
  UINT8 ReadPortType(const PCIE_FUNCTION &Port) const {
    return PciePortType(PciConfigReadOrOnes<UINT8>(RootBridgeIo, CapabilityRegister(Port, PCIE_CAPABILITIES_OFFSET)));
  }

  void SetLinkControlBits(const PCIE_FUNCTION &Port, UINT8 Bits) const {
    PciConfigModify(RootBridgeIo, EfiPciWidthUint8, CapabilityRegister(Port, PCIE_LINK_CONTROL_OFFSET), Bits, 0);
  }

  // The PCI Express bridge at At, entered: what the links below it are
  // configured from. 0 when it is no such bridge or the walk may not descend
  // to its secondary bus.
  [[gnu::noinline]] UINT8 EnterPort(const PCI_WALK_POSITION &At, const PCI_BUS_SET &Entered, LINK_OWNER *Below) const {
    const PCI_FUNCTION_PROBE Found = Probe(At.Bus, At.Device, At.Function);
    if (!Found.Present || !IsPciToPciBridge(Found.HeaderType) ||
        !FindPcieFunction(At.Bus, At.Device, At.Function, &Below->Port)) {
      return 0;
    }
    const UINT8 Secondary = ReadSecondaryBus(RootBridgeIo, PciFunctionAddress(At.Bus, At.Device, At.Function));
    if (!PciWalkMayDescend(Entered, At.Bus, Secondary)) {
      return 0;
    }
    Below->L1 = SupportsAspmL1(Below->Port);
    Below->PortType = ReadPortType(Below->Port);
    Below->LinkControl = LINK_CONTROL_COMMON_CLOCK_AND_L1;
    return Secondary;
  }

  // Reads the child's L1 support and port type and, when the owner is a port
  // that owns the link, configures the link. True when the child is a switch
  // port, whose own links come next.
  bool TuneLinkToChild(LINK_OWNER &Owner, const PCIE_FUNCTION &Child, UINT8 ChildHeaderType) {
    const bool ChildL1 = SupportsAspmL1(Child);
    const UINT8 ChildType = ReadPortType(Child);
    if (IsDownstreamPort(Owner.PortType)) {
      ConfigureLink(Owner, Child, ChildL1, ChildHeaderType);
    } else {
      Decide(DECISION_KIND::Link, DECISION_REASON::UpstreamPassThrough, AddressOf(Owner.Port), AddressOf(Owner.Port),
             AddressOf(Child));
    }
    return IsSwitchPort(ChildType);
  }

  // The link between the owner and the child. The link-control value carries
  // over to the owner's later children. Kept out of the walk's loop (as is
  // EnterPort): the image is smaller so.
  [[gnu::noinline]] void ConfigureLink(LINK_OWNER &Owner, const PCIE_FUNCTION &Child, bool ChildL1,
                                       UINT8 ChildHeaderType) {
    UINT16 OwnerStatus = 0;
    UINT16 ChildStatus = 0;
    if (!ReadLinkRegister(Owner.Port, PCIE_LINK_STATUS_OFFSET, &OwnerStatus) ||
        !ReadLinkRegister(Child, PCIE_LINK_STATUS_OFFSET, &ChildStatus)) {
      return;
    }
    if ((ChildStatus & PCIE_LINK_STATUS_SPEED_MASK) != PCIE_LINK_STATUS_SPEED_2_5_GTPS) {
      Owner.LinkControl = LinkControlForHostBridge(RootBridgeIo, Owner.LinkControl);
    }
    if (!BothEndsQualify(OwnerStatus, ChildStatus, Owner.L1, ChildL1)) {
      Decide(DECISION_KIND::Link, LinkRefusal(OwnerStatus, ChildStatus), AddressOf(Owner.Port),
             AddressOf(RefusingEnd(Owner.Port, OwnerStatus, Owner.L1, Child, ChildStatus)), AddressOf(Child));
      return;
    }
    // Without L1 the host bridge's quirk withheld it, for this link or an
    // earlier one of the same port: the record says so by itself.
    Decide(DECISION_KIND::Link,
           (Owner.LinkControl & PCIE_LINK_CONTROL_ASPM_L1) != 0 ? DECISION_REASON::Configured
                                                                : DECISION_REASON::L1Withheld,
           AddressOf(Owner.Port), Owner.LinkControl, AddressOf(Child));
    ApplyLinkControl(Owner, Child, ChildHeaderType);
    RetrainLink(Owner);
  }

  // Both ends of the link take the owner's link-control value: the port before
  // each present function of the child, and each function that has a link of
  // its own.
  void ApplyLinkControl(const LINK_OWNER &Owner, const PCIE_FUNCTION &Child, UINT8 ChildHeaderType) const {
    const UINT8 Functions = IsMultiFunction(ChildHeaderType) ? PCI_MAX_FUNCTION + 1 : 1;
    for (UINT8 Function = 0; Function < Functions; ++Function) {
      if (!Probe(Child.Bus, Child.Device, Function).Present) {
        continue;
      }
      SetLinkControlBits(Owner.Port, Owner.LinkControl);
      PCIE_FUNCTION ChildFunction{};
      if (FindPcieFunction(Child.Bus, Child.Device, Function, &ChildFunction)) {
        SetLinkControlBits(ChildFunction, Owner.LinkControl);
      }
    }
  }

  // A link that does not finish training keeps the bits already written; the
  // pass goes on with the next child. A port's later children retrain the
  // same link again without a wait of their own.
  void RetrainLink(LINK_OWNER &Owner) {
    SetLinkControlBits(Owner.Port, PCIE_LINK_CONTROL_RETRAIN);
    if (Owner.Waited) {
      Decide(DECISION_KIND::Retrain, DECISION_REASON::AlreadyWaited, AddressOf(Owner.Port));
      return;
    }
    Owner.Waited = true;
    WaitForLinkTraining(Owner.Port);
  }

  // Polls the port's Link Training bit, with no delay before the first look,
  // until it clears, its status cannot be read, PCIE_LINK_TRAINING_TIMEOUT_US
  // has passed, or the pass's waits have used up PCIE_LINK_RETRAIN_BUDGET_US.
  void WaitForLinkTraining(const PCIE_FUNCTION &Port) {
    const UINT64 LinkStatus = CapabilityRegister(Port, PCIE_LINK_STATUS_OFFSET);
    for (UINTN Waited = 0;; Waited += PCIE_LINK_TRAINING_POLL_INTERVAL_US) {
      UINT16 Status = 0;
      if (EFI_ERROR(PciConfigRead(RootBridgeIo, LinkStatus, &Status))) {
        DecideRetrain(DECISION_REASON::StatusUnreadable, Port, Waited);
        return;
      }
      const bool Trained = (Status & PCIE_LINK_STATUS_TRAINING) == 0;
      if (Trained || Waited >= PCIE_LINK_TRAINING_TIMEOUT_US || Stalled >= PCIE_LINK_RETRAIN_BUDGET_US) {
        DecideRetrain(Trained                                   ? DECISION_REASON::Trained
                      : Waited >= PCIE_LINK_TRAINING_TIMEOUT_US ? DECISION_REASON::GaveUp
                                                                : DECISION_REASON::BudgetSpent,
                      Port, Waited);
        return;
      }
      (void)BootServices()->Stall(PCIE_LINK_TRAINING_POLL_INTERVAL_US);
      Stalled += PCIE_LINK_TRAINING_POLL_INTERVAL_US;
    }
  }

  // Value: the polls made, one at once and one after each stall.
  static void DecideRetrain(DECISION_REASON Reason, const PCIE_FUNCTION &Port, UINTN Waited) {
    Decide(DECISION_KIND::Retrain, Reason, AddressOf(Port), Waited / PCIE_LINK_TRAINING_POLL_INTERVAL_US + 1, Waited);
  }

  EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *RootBridgeIo;
  bool Disabled;
  UINTN Stalled = 0; // by every retrain wait of this pass together
};

} // namespace

void ConfigurePcieAspm(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *RootBridgeIo) {
  const bool Disabled = AspmDisabledByVariable();
  if (Disabled) {
    Decide(DECISION_KIND::AspmPass, DECISION_REASON::DisabledByVariable, DECISION_NOWHERE);
  }
  ASPM_WALKER Walker(RootBridgeIo, Disabled);
  WalkPciHierarchy(Walker, 0, {});
}
