// The order in which every walk over a whole bus visits device and function
// numbers. Devices 0-31 ascending, functions 0-7 ascending; functions 1-7 are
// skipped when function 0 is present and single-function. A device whose
// function 0 is absent is still probed at functions 1-7.
#pragma once

#include "ConfigAccess.h"

// What probing one function found. HeaderType is only meaningful when Present.
struct PCI_FUNCTION_PROBE {
  bool Present;
  UINT8 HeaderType;
};

// Probes (Bus, Device, Function) with ReadPciHeader into a header buffer of
// its own, for walks that keep no more of the header than its type byte: a
// recursive walk's frame then holds no header.
PCI_FUNCTION_PROBE ProbePciFunction(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *RootBridgeIo, UINT8 Bus, UINT8 Device,
                                    UINT8 Function);

// Probe(Device, Function) -> PCI_FUNCTION_PROBE handles a function at this
// bus's own level; Visit(Device, Function, HeaderType) then runs for a present
// function and may descend below it. Function 0's multi-function decision is
// taken from the probe's result before Visit runs, so a descent that overwrites
// shared buffers cannot change which functions of this device are visited.
// Walks that descend call back into it; they only ever descend to a higher bus
// number, which bounds the depth.
template <typename ProbeFunction, typename VisitFunction>
void ForEachFunctionInScanOrder(ProbeFunction &&Probe, VisitFunction &&Visit) { // NOLINT(misc-no-recursion)
  for (UINT8 Device = 0; Device <= PCI_MAX_DEVICE; ++Device) {
    for (UINT8 Function = 0; Function <= PCI_MAX_FUNCTION; ++Function) {
      const PCI_FUNCTION_PROBE Found = Probe(Device, Function);
      const bool SingleFunctionDevice = Function == 0 && Found.Present && !IsMultiFunction(Found.HeaderType);
      if (Found.Present) {
        Visit(Device, Function, Found.HeaderType);
      }
      if (SingleFunctionDevice) {
        break;
      }
    }
  }
}
