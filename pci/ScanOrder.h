// The order in which every walk over a whole bus visits device and function
// numbers (the walk itself is HierarchyWalk.h). Devices 0-31 ascending, functions 0-7 ascending; functions 1-7 are
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
// its own, for walks that keep no more of the header than its type byte.
PCI_FUNCTION_PROBE ProbePciFunction(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *RootBridgeIo, UINT8 Bus, UINT8 Device,
                                    UINT8 Function);
