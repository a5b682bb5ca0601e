#include "sim/Sequencer.h"

#include "published/PciLayout.h"

#include <cstdio>

namespace sim {

using namespace published::layout;

namespace {
// A bus driver numbers at most 256 buses; deeper chains are a broken board.
constexpr unsigned kMaxBridgeDepth = 256;
} // namespace

const char *HostBridgePhaseName(UINT32 Phase) {
  static const char *const Names[] = {"BeginEnumeration",        "BeginBusAllocation",    "EndBusAllocation",
                                      "BeginResourceAllocation", "AllocateResources",     "SetResources",
                                      "FreeResources",           "EndResourceAllocation", "EndEnumeration"};
  return Phase < sizeof(Names) / sizeof(Names[0]) ? Names[Phase] : "?";
}

const char *SequenceName(BusDriverSequence Sequence) {
  return Sequence == BusDriverSequence::Ovmf ? "ovmf" : "one-pass";
}

std::string FormatDriverCall(const DriverCall &Call) {
  char Text[160];
  const char *Chipset = Call.ChipsetPhase == ChipsetEntry ? "ChipsetEntry" : "ChipsetExit";
  if (Call.Member == "PlatformNotify") {
    std::snprintf(Text, sizeof(Text), "PlatformNotify(%s, %s)", HostBridgePhaseName(Call.Phase), Chipset);
  } else if (Call.Member == "PlatformPrepController") {
    std::snprintf(Text, sizeof(Text), "PlatformPrepController(%s, %s, %s)", FormatBdf(Call.Location).c_str(),
                  Call.Phase == EfiPciBeforeChildBusEnumeration ? "BeforeChildBusEnumeration"
                                                                : "BeforeResourceCollection",
                  Chipset);
  } else {
    std::snprintf(Text, sizeof(Text), "%.*s()", static_cast<int>(Call.Member.size()), Call.Member.data());
  }
  return Text;
}

void PciBusDriverSequencer::Notify(EFI_PCI_HOST_BRIDGE_RESOURCE_ALLOCATION_PHASE Phase) {
  for (const auto Chipset : {ChipsetEntry, ChipsetExit}) {
    const EFI_STATUS Status = Driver.PlatformNotify(&Driver, Board.HostBridgeHandle(), Phase, Chipset);
    Log.push_back({"PlatformNotify", Phase, Chipset, {}, Status});
  }
}

void PciBusDriverSequencer::PrepareController(Bdf Location, EFI_PCI_CONTROLLER_RESOURCE_ALLOCATION_PHASE Phase) {
  const EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_PCI_ADDRESS Address{0, Location.Function, Location.Device, Location.Bus, 0};
  for (const auto Chipset : {ChipsetEntry, ChipsetExit}) {
    const EFI_STATUS Status = Driver.PlatformPrepController(&Driver, Board.HostBridgeHandle(), Board.RootBridgeHandle(),
                                                            Address, Phase, Chipset);
    Log.push_back({"PlatformPrepController", Phase, Chipset, Location, Status});
  }
}

// Depth-first in the device scan order, as the bus driver numbers buses.
void PciBusDriverSequencer::ScanBus(UINT8 Bus, unsigned Depth) {
  // A bus driver numbers each bus it finds once: bridges that claim the same
  // secondary bus have it scanned once, not once per claim.
  if (!Scanned.insert(Bus).second) {
    return;
  }
  for (UINT8 Device = 0; Device <= PCI_MAX_DEVICE; ++Device) {
    for (UINT8 Function = 0; Function <= PCI_MAX_FUNCTION; ++Function) {
      const PciFunction *Found = Board.Pci().Find({Bus, Device, Function});
      const bool Present = Found != nullptr && Found->Peek16(PCI_VENDOR_ID_OFFSET) != PCI_VENDOR_ID_ABSENT;
      if (Present) {
        const UINT8 HeaderType = Found->Peek8(PCI_HEADER_TYPE_OFFSET);
        Functions.push_back({Bus, Device, Function});
        PrepareController({Bus, Device, Function}, EfiPciBeforeChildBusEnumeration);
        if (PrepareForResourcesWhileScanning) {
          PrepareController({Bus, Device, Function}, EfiPciBeforeResourceCollection);
        }
        const UINT8 Secondary = Found->Peek8(PCI_BRIDGE_SECONDARY_BUS_OFFSET);
        if ((HeaderType & PCI_HEADER_TYPE_LAYOUT_MASK) == PCI_HEADER_TYPE_PCI_TO_PCI_BRIDGE && Secondary > Bus &&
            Depth < kMaxBridgeDepth) {
          ScanBus(Secondary, Depth + 1);
        }
      }
      if (Function == 0 && (!Present || (Found->Peek8(PCI_HEADER_TYPE_OFFSET) & PCI_HEADER_TYPE_MULTI_FUNCTION) == 0)) {
        // A bus driver does not probe functions 1-7 when function 0 is absent.
        break;
      }
    }
  }
}

void PciBusDriverSequencer::BusAllocationPass() {
  Notify(EfiPciHostBridgeBeginBusAllocation);
  Scanned.clear();
  Functions.clear();
  ScanBus(0, 0);
  Notify(EfiPciHostBridgeEndBusAllocation);
}

void PciBusDriverSequencer::AskPolicy() {
  EFI_PCI_PLATFORM_POLICY Policy = 0;
  Log.push_back({"GetPlatformPolicy", 0, 0, {}, Driver.GetPlatformPolicy(&Driver, &Policy)});
}

void PciBusDriverSequencer::Enumerate(BusDriverSequence Sequence) {
  const bool Ovmf = Sequence == BusDriverSequence::Ovmf;
  PrepareForResourcesWhileScanning = !Ovmf;
  Notify(EfiPciHostBridgeBeginEnumeration);
  BusAllocationPass();
  if (Ovmf) {
    BusAllocationPass();
  } else {
    AskPolicy();
  }
  Notify(EfiPciHostBridgeBeginResourceAllocation);
  if (Ovmf) {
    for (const Bdf &Location : Functions) {
      PrepareController(Location, EfiPciBeforeResourceCollection);
    }
    AskPolicy();
  }
  Notify(EfiPciHostBridgeAllocateResources);
  Notify(EfiPciHostBridgeSetResources);
  Notify(EfiPciHostBridgeEndResourceAllocation);
  Notify(EfiPciHostBridgeEndEnumeration);
}

} // namespace sim
