#include "ConfigAccess.h"

#include "PcieCapability.h"

bool ReadPciHeader(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *RootBridgeIo, UINT8 *Buffer, UINT8 Bus, UINT8 Device,
                   UINT8 Function) {
  const UINT64 Address = PciFunctionAddress(Bus, Device, Function);
  // Probe with the vendor/device dword first so that an absent function costs
  // one access, not sixteen.
  if (EFI_ERROR(RootBridgeIo->Pci.Read(RootBridgeIo, EfiPciWidthUint32, Address, 1, Buffer))) {
    return false;
  }
  if (HeaderVendorId(Buffer) == PCI_VENDOR_ID_ABSENT) {
    return false;
  }
  // A failed header read leaves all ones, as every failed read reads, never
  // bytes of the function read before: the function counts as absent.
  if (EFI_ERROR(
          RootBridgeIo->Pci.Read(RootBridgeIo, EfiPciWidthUint32, Address, PCI_HEADER_SIZE / sizeof(UINT32), Buffer))) {
    for (UINTN Byte = 0; Byte < PCI_HEADER_SIZE; ++Byte) {
      Buffer[Byte] = 0xFF;
    }
    return false;
  }
  return true;
}

// The value starts at zero, so that an 8- or 16-bit read leaves the bytes above
// it clear on this little-endian machine.
UINT32 PciConfigReadWidthOrOnes(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *RootBridgeIo,
                                EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_WIDTH Width, UINT64 Address) {
  UINT32 Value = 0;
  if (EFI_ERROR(RootBridgeIo->Pci.Read(RootBridgeIo, Width, Address, 1, &Value))) {
    return ~UINT32{0};
  }
  return Value;
}

EFI_STATUS FindPcieCapability(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *RootBridgeIo, UINT64 Address, UINT8 *CapOffset) {
  const UINT64 Function = PciFunctionAddressOf(Address);
  const UINT8 Status = PciConfigReadOrOnes<UINT8>(RootBridgeIo, PciRegisterAddress(Function, PCI_STATUS_OFFSET));
  if ((Status & PCI_STATUS_CAPABILITY_LIST) == 0) {
    return EFI_UNSUPPORTED;
  }
  UINT32 PointerRegister = PCI_CAPABILITY_POINTER_OFFSET;
  for (UINT32 Entry = 0; Entry < PCI_CAPABILITY_LIST_MAX_ENTRIES; ++Entry) {
    const UINT8 Pointer = PciConfigReadOrOnes<UINT8>(RootBridgeIo, PciRegisterAddress(Function, PointerRegister));
    if (Pointer == PCI_CAPABILITY_POINTER_NONE || Pointer == PCI_CAPABILITY_POINTER_INVALID ||
        Pointer < PCI_CAPABILITY_FIRST_OFFSET) {
      return EFI_UNSUPPORTED;
    }
    *CapOffset = Pointer;
    const UINT8 Id = PciConfigReadOrOnes<UINT8>(RootBridgeIo, PciRegisterAddress(Function, Pointer));
    if (Id == PCI_CAPABILITY_ID_PCI_EXPRESS) {
      return Pointer + PCIE_CAPABILITY_USED_LENGTH <= PCI_CONFIG_SPACE_SIZE ? EFI_SUCCESS : EFI_UNSUPPORTED;
    }
    PointerRegister = static_cast<UINT32>(Pointer) + PCI_CAPABILITY_NEXT_OFFSET;
  }
  return EFI_UNSUPPORTED;
}

UINT8 ReadSecondaryBus(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *RootBridgeIo, UINT64 FunctionAddress) {
  UINT8 Bus = 0;
  if (EFI_ERROR(
          PciConfigRead(RootBridgeIo, PciRegisterAddress(FunctionAddress, PCI_BRIDGE_SECONDARY_BUS_OFFSET), &Bus))) {
    return 0;
  }
  return Bus;
}

void PciConfigModify(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *RootBridgeIo, EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_WIDTH Width,
                     UINT64 Address, UINT32 Value, UINT32 Mask) {
  UINT32 Register = 0;
  if (EFI_ERROR(RootBridgeIo->Pci.Read(RootBridgeIo, Width, Address, 1, &Register))) {
    return;
  }
  Register = Value | (Register & ~Mask);
  (void)RootBridgeIo->Pci.Write(RootBridgeIo, Width, Address, 1, &Register);
}
