#include "sim/PciIoDevice.h"

#include "sim/Machine.h"

#include <type_traits>

namespace sim {

namespace {

// Configuration offsets past the first 256 bytes travel in the extended
// register bits of the root bridge's address form.
UINT64 RootBridgeAddress(Bdf Where, UINT32 Offset) {
  const UINT64 Function = (UINT64{Where.Bus} << 24) | (UINT64{Where.Device} << 16) | (UINT64{Where.Function} << 8);
  return Offset < 0x100 ? Function | Offset : Function | (UINT64{Offset} << 32);
}

} // namespace

PciIoDevice::PciIoDevice(Machine &Firmware, Bdf Location, UINT32 Segment)
    : Owner(Firmware), Where(Location), SegmentNumber(Segment) {
  static_assert(std::is_standard_layout_v<Interface>, "This must convert back to the instance");
  Instance.Protocol.Mem = {MemoryOrIoService, MemoryOrIoService};
  Instance.Protocol.Io = {MemoryOrIoService, MemoryOrIoService};
  Instance.Protocol.Pci = {ConfigReadService, ConfigWriteService};
  Instance.Protocol.GetLocation = GetLocationService;
  Instance.Device = this;
  (void)Owner.Handles().Install(&DeviceHandle, EFI_PCI_IO_PROTOCOL_GUID, &Instance.Protocol);
}

PciIoDevice &PciIoDevice::From(EFI_PCI_IO_PROTOCOL *This) { return *reinterpret_cast<Interface *>(This)->Device; }

EFI_STATUS EFIAPI PciIoDevice::GetLocationService(EFI_PCI_IO_PROTOCOL *This, UINTN *SegmentOut, UINTN *BusOut,
                                                  UINTN *DeviceOut, UINTN *FunctionOut) {
  PciIoDevice &Device = From(This);
  ++Device.LocationCalls;
  if (SegmentOut == nullptr || BusOut == nullptr || DeviceOut == nullptr || FunctionOut == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  if (EFI_ERROR(Device.LocationFailure) && !Device.LocationWrittenOnFailure) {
    return Device.LocationFailure;
  }
  *SegmentOut = Device.SegmentNumber;
  *BusOut = Device.Where.Bus;
  *DeviceOut = Device.Where.Device;
  *FunctionOut = Device.Where.Function;
  return Device.LocationFailure;
}

EFI_STATUS EFIAPI PciIoDevice::ConfigReadService(EFI_PCI_IO_PROTOCOL *This, EFI_PCI_IO_PROTOCOL_WIDTH Width,
                                                 UINT32 Offset, UINTN Count, VOID *Buffer) {
  PciIoDevice &Device = From(This);
  ++Device.Reads;
  const auto Injected = Device.ReadFailures.find(Offset);
  if (Injected != Device.ReadFailures.end()) {
    if (Injected->second.ReadsAnyway) {
      (void)Device.ConfigAccess(false, Width, Offset, Count, Buffer);
    }
    return Injected->second.Status;
  }
  return Device.ConfigAccess(false, Width, Offset, Count, Buffer);
}

EFI_STATUS EFIAPI PciIoDevice::ConfigWriteService(EFI_PCI_IO_PROTOCOL *This, EFI_PCI_IO_PROTOCOL_WIDTH Width,
                                                  UINT32 Offset, UINTN Count, VOID *Buffer) {
  return From(This).ConfigAccess(true, Width, Offset, Count, Buffer);
}

EFI_STATUS EFIAPI PciIoDevice::MemoryOrIoService(EFI_PCI_IO_PROTOCOL *This, EFI_PCI_IO_PROTOCOL_WIDTH, UINT8, UINT64,
                                                 UINTN, VOID *) {
  From(This).Owner.RecordFault("PCI I/O memory or I/O space access");
  return EFI_UNSUPPORTED;
}

EFI_STATUS PciIoDevice::ConfigAccess(bool Write, EFI_PCI_IO_PROTOCOL_WIDTH Width, UINT32 Offset, UINTN Count,
                                     VOID *Buffer) {
  if (Buffer == nullptr || Width > EfiPciIoWidthUint64) {
    return EFI_INVALID_PARAMETER;
  }
  const UINT64 Bytes = UINT64{Count} << Width;
  if (Offset >= kConfigSpaceSize || Bytes > kConfigSpaceSize - Offset) {
    return EFI_UNSUPPORTED;
  }
  // One root-bridge access per element: the address form cannot carry a run
  // across the 256-byte boundary. Both width enumerations number 8, 16, 32
  // and 64 bits alike.
  const UINT32 ElementBytes = 1U << Width;
  auto *Elements = static_cast<UINT8 *>(Buffer);
  for (UINTN Index = 0; Index < Count; ++Index) {
    const auto ElementOffset = static_cast<UINT32>(Offset + Index * ElementBytes);
    const EFI_STATUS Status =
        Owner.RootBridgeAccess(Write, static_cast<EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_WIDTH>(Width),
                               RootBridgeAddress(Where, ElementOffset), 1, Elements + Index * ElementBytes);
    if (EFI_ERROR(Status)) {
      return Status;
    }
  }
  return EFI_SUCCESS;
}

} // namespace sim
