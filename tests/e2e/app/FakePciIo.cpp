#include "FakePciIo.h"

#include "Firmware.h"

namespace e2e {
namespace {

UINTN WidthBytes(EFI_PCI_IO_PROTOCOL_WIDTH Width) {
  switch (Width) {
  case EfiPciIoWidthUint8:
    return 1;
  case EfiPciIoWidthUint16:
    return 2;
  case EfiPciIoWidthUint32:
    return 4;
  default:
    return 0;
  }
}

// Configuration space as the UEFI specification describes Pci.Read: Count
// elements of Width from Offset, the whole access inside the space.
EFI_STATUS EFIAPI FakeConfigRead(EFI_PCI_IO_PROTOCOL *This, EFI_PCI_IO_PROTOCOL_WIDTH Width, UINT32 Offset, UINTN Count,
                                 VOID *Buffer) {
  auto *Fake = reinterpret_cast<FakePciDevice *>(This);
  const UINTN Bytes = WidthBytes(Width) * Count;
  if (Buffer == nullptr || Bytes == 0 || Offset >= sizeof(Fake->Config) || Bytes > sizeof(Fake->Config) - Offset ||
      Offset % WidthBytes(Width) != 0) {
    return EFI_INVALID_PARAMETER;
  }
  gBootServices->CopyMem(Buffer, &Fake->Config[Offset], Bytes);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI FakeConfigWrite(EFI_PCI_IO_PROTOCOL * /*This*/, EFI_PCI_IO_PROTOCOL_WIDTH /*Width*/,
                                  UINT32 /*Offset*/, UINTN /*Count*/, VOID * /*Buffer*/) {
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI FakeGetLocation(EFI_PCI_IO_PROTOCOL *This, UINTN *Segment, UINTN *Bus, UINTN *Device,
                                  UINTN *Function) {
  const auto *Fake = reinterpret_cast<const FakePciDevice *>(This);
  if (Segment == nullptr || Bus == nullptr || Device == nullptr || Function == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  *Segment = 0;
  *Bus = Fake->Bus;
  *Device = Fake->Device;
  *Function = Fake->Function;
  return EFI_SUCCESS;
}

void Put16(UINT8 *At, UINT16 Value) {
  At[0] = static_cast<UINT8>(Value);
  At[1] = static_cast<UINT8>(Value >> 8);
}

} // namespace

EFI_STATUS InstallFakePciDevice(FakePciDevice &Fake, UINTN Bus, UINTN Device, UINTN Function, UINT16 VendorId,
                                UINT16 DeviceId, UINT16 ClassWord) {
  gBootServices->SetMem(&Fake, sizeof(Fake), 0);
  EFI_PCI_IO_PROTOCOL &PciIo = Fake.Interface;
  PciIo.PollMem = Unsupported();
  PciIo.PollIo = Unsupported();
  PciIo.Mem = {reinterpret_cast<EFI_PCI_IO_PROTOCOL_IO_MEM>(Unsupported()),
               reinterpret_cast<EFI_PCI_IO_PROTOCOL_IO_MEM>(Unsupported())};
  PciIo.Io = PciIo.Mem;
  PciIo.Pci = {FakeConfigRead, FakeConfigWrite};
  PciIo.CopyMem = Unsupported();
  PciIo.Map = Unsupported();
  PciIo.Unmap = Unsupported();
  PciIo.AllocateBuffer = Unsupported();
  PciIo.FreeBuffer = Unsupported();
  PciIo.Flush = Unsupported();
  PciIo.GetLocation = FakeGetLocation;
  PciIo.Attributes = Unsupported();
  PciIo.GetBarAttributes = Unsupported();
  PciIo.SetBarAttributes = Unsupported();
  Fake.Bus = Bus;
  Fake.Device = Device;
  Fake.Function = Function;
  Put16(&Fake.Config[0x00], VendorId);
  Put16(&Fake.Config[0x02], DeviceId);
  Put16(&Fake.Config[0x0A], ClassWord);
  Fake.Handle = nullptr;
  return gBootServices->InstallProtocolInterface(&Fake.Handle, &kPciIoProtocolGuid, EFI_NATIVE_INTERFACE,
                                                 &Fake.Interface);
}

} // namespace e2e
