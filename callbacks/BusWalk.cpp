// The callback walk: every present function of the hierarchy below a bus, depth
// first in the shared scan order, with each bridge's callbacks before those of
// everything behind it.
#include "PciCallbacks.h"

#include "pci/HierarchyWalk.h"

namespace {

struct CALLBACK_WALKER {
  struct LEVEL_STATE {};
  static constexpr PCI_BUS_SCAN BELOW_FIRST = PCI_BUS_SCAN::ScanOrder;

  EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *RootBridgeIo;
  EFI_HANDLE RootBridgeHandle;

  // Reads the function's header into the record and runs the callbacks on it.
  // The header-type byte is taken afterwards: a callback may have changed it.
  PCI_FUNCTION_PROBE Probe(UINT8 Bus, UINT8 Device, UINT8 Function) {
    PCI_DEVICE_RECORD *Record = PciDeviceRecord();
    if (!ReadPciHeader(RootBridgeIo, Record->Header, Bus, Device, Function)) {
      return {false, 0};
    }
    DispatchPciCallbacks(RootBridgeIo, RootBridgeHandle, PciFunctionAddress(Bus, Device, Function));
    return {true, HeaderType(Record->Header)};
  }

  // A bridge's secondary bus; a failed read of the bus number leaves its
  // children unvisited.
  UINT8 Visit(LEVEL_STATE & /*Level*/, const PCI_WALK_POSITION &At, const PCI_BUS_SET & /*Entered*/,
              LEVEL_STATE * /*Below*/) const {
    return IsPciToPciBridge(At.HeaderType)
               ? ReadSecondaryBus(RootBridgeIo, PciFunctionAddress(At.Bus, At.Device, At.Function))
               : 0;
  }

  void Leave(const LEVEL_STATE & /*Level*/) const {}
};

} // namespace

void WalkPciBus(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *RootBridgeIo, EFI_HANDLE RootBridgeHandle, UINT8 Bus) {
  CALLBACK_WALKER Walker{RootBridgeIo, RootBridgeHandle};
  WalkPciHierarchy(Walker, Bus, {});
}
