#include "ScanOrder.h"

PCI_FUNCTION_PROBE ProbePciFunction(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *RootBridgeIo, UINT8 Bus, UINT8 Device,
                                    UINT8 Function) {
  UINT8 Header[PCI_HEADER_SIZE] = {};
  const bool Present = ReadPciHeader(RootBridgeIo, Header, Bus, Device, Function);
  return {Present, HeaderType(Header)};
}
