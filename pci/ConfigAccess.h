// Configuration-space access through the root bridge's Pci.Read and Pci.Write:
// typed reads and writes, device presence with the header read, the PCI Express
// capability search and bitwise read-modify-write.
#pragma once

#include "PciAddress.h"
#include "PciRegisters.h"

template <typename T> constexpr EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_WIDTH PciWidthOf() {
  static_assert(sizeof(T) == 1 || sizeof(T) == 2 || sizeof(T) == 4, "configuration registers are 8, 16 or 32 bits");
  if constexpr (sizeof(T) == 1) {
    return EfiPciWidthUint8;
  } else if constexpr (sizeof(T) == 2) {
    return EfiPciWidthUint16;
  } else {
    return EfiPciWidthUint32;
  }
}

// One register read. On error *Value holds whatever the root bridge left there;
// callers that must not act on a failed read test the status.
template <typename T>
[[nodiscard]] EFI_STATUS PciConfigRead(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *RootBridgeIo, UINT64 Address, T *Value) {
  return RootBridgeIo->Pci.Read(RootBridgeIo, PciWidthOf<T>(), Address, 1, Value);
}

// One register read of Width whose failure reads as all one bits, as an
// absent function does; the value in the low bytes.
UINT32 PciConfigReadWidthOrOnes(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *RootBridgeIo,
                                EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_WIDTH Width, UINT64 Address);

template <typename T>
[[gnu::always_inline]] inline T PciConfigReadOrOnes(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *RootBridgeIo, UINT64 Address) {
  return static_cast<T>(PciConfigReadWidthOrOnes(RootBridgeIo, PciWidthOf<T>(), Address));
}

// Reads the 64-byte header of (Bus, Device, Function) into Buffer and tells
// whether the function is present. When it is absent (or the first read fails)
// only the first 4 bytes of Buffer have changed. When the whole header cannot
// be read after the first dword could, Buffer holds all ones (vendor ID
// 0xFFFF) and the function counts as absent.
[[nodiscard]] bool ReadPciHeader(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *RootBridgeIo, UINT8 *Buffer, UINT8 Bus, UINT8 Device,
                                 UINT8 Function);

// Finds the PCI Express capability of the function at Address (register byte
// and extended bits ignored). EFI_UNSUPPORTED when the function has no
// capability list, the list ends (a null or all-ones pointer, or one into the
// header), it runs past the most entries a configuration space can hold (a
// looping list), or the capability found sits so close to the end of the space
// that the registers the driver uses would fall outside it.
[[nodiscard]] EFI_STATUS FindPcieCapability(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *RootBridgeIo, UINT64 Address,
                                            UINT8 *CapOffset);

// Register = Value | (Register & ~Mask), at 8 or 16 bits. Value is not masked.
// Nothing is written when the read fails.
void PciConfigModify(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *RootBridgeIo, EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_WIDTH Width,
                     UINT64 Address, UINT32 Value, UINT32 Mask);

// The secondary bus number of the bridge at FunctionAddress; 0 when it cannot
// be read, a bus that no walk descends to.
[[nodiscard]] UINT8 ReadSecondaryBus(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *RootBridgeIo, UINT64 FunctionAddress);

// Fields of a header buffer filled by ReadPciHeader.
inline UINT16 HeaderVendorId(const UINT8 *Header) {
  return static_cast<UINT16>(Header[PCI_VENDOR_ID_OFFSET] | (Header[PCI_VENDOR_ID_OFFSET + 1] << 8));
}
inline UINT8 HeaderType(const UINT8 *Header) { return Header[PCI_HEADER_TYPE_OFFSET]; }
inline bool IsPciToPciBridge(UINT8 HeaderTypeByte) {
  return (HeaderTypeByte & PCI_HEADER_TYPE_LAYOUT_MASK) == PCI_HEADER_TYPE_PCI_TO_PCI_BRIDGE;
}
inline bool IsMultiFunction(UINT8 HeaderTypeByte) { return (HeaderTypeByte & PCI_HEADER_TYPE_MULTI_FUNCTION) != 0; }
