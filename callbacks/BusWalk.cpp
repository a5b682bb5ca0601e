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

// The two steps of the walk at one function live outside its recursive frame
// (hence noinline), so that each level of the walk costs only a few bytes of
// stack.

// Reads the function's header into the record and runs the callbacks on it.
// The header-type byte is taken afterwards: a callback may have changed it.
[[gnu::noinline]] PCI_FUNCTION_PROBE ProbeAndDispatch(UINT8 Bus, UINT8 Device, UINT8 Function) {
  if (!ReadPciHeader(mRootBridgeIo, mDeviceRecord.Header, Bus, Device, Function)) {
    return {false, 0};
  }
  DispatchPciCallbacks(mRootBridgeHandle, PciFunctionAddress(Bus, Device, Function), mCurrentPhaseMask, &mDeviceRecord);
  return {true, HeaderType(mDeviceRecord.Header)};
}

// The secondary bus of a bridge when it lies below Bus and the walk has not
// entered it yet, else 0 (a walk only descends to a bus above Bus, so 0 never
// names one). A failed read of the bus number leaves the bridge's children
// unvisited.
[[gnu::noinline]] UINT8 BusBelowBridge(UINT8 Bus, UINT8 Device, UINT8 Function, UINT8 HeaderTypeByte,
                                       const PCI_BUS_SET &Entered) {
  if (!IsPciToPciBridge(HeaderTypeByte)) {
    return 0;
  }
  UINT8 Secondary = 0;
  const UINT64 Address = PciRegisterAddress(PciFunctionAddress(Bus, Device, Function), PCI_BRIDGE_SECONDARY_BUS_OFFSET);
  if (EFI_ERROR(PciConfigRead(mRootBridgeIo, Address, &Secondary))) {
    return 0;
  }
  return Secondary > Bus && !Entered.Contains(Secondary) ? Secondary : 0;
}

// NOLINTNEXTLINE(misc-no-recursion)
void WalkBus(UINT8 Bus, PCI_BUS_SET &Entered) {
  Entered.Add(Bus);
  const auto Probe = [Bus](UINT8 Device, UINT8 Function) { return ProbeAndDispatch(Bus, Device, Function); };
  // NOLINTNEXTLINE(misc-no-recursion)
  const auto Visit = [Bus, &Entered](UINT8 Device, UINT8 Function, UINT8 HeaderTypeByte) {
    const UINT8 Secondary = BusBelowBridge(Bus, Device, Function, HeaderTypeByte, Entered);
    if (Secondary != 0) {
      WalkBus(Secondary, Entered);
    }
  };
  ForEachFunctionInScanOrder(Probe, Visit);
}

} // namespace

void WalkPciBus(UINT8 Bus) {
  PCI_BUS_SET Entered;
  WalkBus(Bus, Entered);
}
