// The callback walk: every present function of the hierarchy below bus 0, depth
// first in the shared scan order, with each bridge's callbacks before those of
// everything behind it.
#include "PciCallbacks.h"

#include "core/Driver.h"
#include "pci/BusSet.h"
#include "pci/ScanOrder.h"

namespace {

// The walk recurses once per bus it descends to. Each descent goes to a higher
// bus number, so a walk nests at most 256 buses deep, and enters each bus once.
void WalkBus(UINT8 Bus, PCI_BUS_SET &Entered);

// Reads the function's header into the record and runs the callbacks on it.
// The header-type byte is taken afterwards: a callback may have changed it.
PCI_FUNCTION_PROBE ProbeAndDispatch(UINT8 Bus, UINT8 Device, UINT8 Function) {
  if (!ReadPciHeader(mRootBridgeIo, mDeviceRecord.Header, Bus, Device, Function)) {
    return {false, 0};
  }
  DispatchPciCallbacks(mRootBridgeHandle, PciFunctionAddress(Bus, Device, Function), mCurrentPhaseMask, &mDeviceRecord);
  return {true, HeaderType(mDeviceRecord.Header)};
}

// Walks the secondary bus of a bridge when it lies below Bus; a failed read of
// the bus number leaves the bridge's children unvisited.
// NOLINTNEXTLINE(misc-no-recursion)
void DescendBelowBridge(UINT8 Bus, UINT8 Device, UINT8 Function, UINT8 HeaderTypeByte, PCI_BUS_SET &Entered) {
  if (!IsPciToPciBridge(HeaderTypeByte)) {
    return;
  }
  UINT8 Secondary = 0;
  const UINT64 Address = PciRegisterAddress(PciFunctionAddress(Bus, Device, Function), PCI_BRIDGE_SECONDARY_BUS_OFFSET);
  if (EFI_ERROR(PciConfigRead(mRootBridgeIo, Address, &Secondary))) {
    return;
  }
  if (Secondary > Bus && !Entered.Contains(Secondary)) {
    WalkBus(Secondary, Entered);
  }
}

// NOLINTNEXTLINE(misc-no-recursion)
void WalkBus(UINT8 Bus, PCI_BUS_SET &Entered) {
  Entered.Add(Bus);
  const auto Probe = [Bus](UINT8 Device, UINT8 Function) { return ProbeAndDispatch(Bus, Device, Function); };
  // NOLINTNEXTLINE(misc-no-recursion)
  const auto Visit = [Bus, &Entered](UINT8 Device, UINT8 Function, UINT8 HeaderTypeByte) {
    DescendBelowBridge(Bus, Device, Function, HeaderTypeByte, Entered);
  };
  ForEachFunctionInScanOrder(Probe, Visit);
}

} // namespace

void WalkPciBus(UINT8 Bus) {
  PCI_BUS_SET Entered;
  WalkBus(Bus, Entered);
}
