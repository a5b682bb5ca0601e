#include "PciView.h"

#include "Checks.h"
#include "Firmware.h"

namespace e2e {
namespace {

constexpr UINTN kHeaderTypeOffset = 0x0E;
constexpr UINT8 kHeaderLayoutMask = 0x7F;
constexpr UINT8 kHeaderLayoutBridge = 0x01;
constexpr UINT8 kHeaderMultiFunction = 0x80;
constexpr UINTN kSecondaryBusOffset = 0x19;
constexpr UINTN kDevicesPerBus = 32;
constexpr UINTN kFunctionsPerDevice = 8;
// Bus numbers only grow along a walk, so no walk is deeper than this.
constexpr UINTN kMaxBusDepth = 256;

constexpr UINTN kStatusOffset = 0x06;
constexpr UINT8 kStatusCapabilityList = 0x10;
constexpr UINTN kCapabilityPointerOffset = 0x34;
constexpr UINT8 kPcieCapabilityId = 0x10;
// Capabilities live between 0x40 and 0xFF, four bytes at least each.
constexpr UINTN kMaxCapabilities = 48;
constexpr UINT32 kDeviceCapabilitiesOffset = 0x04;
constexpr UINT32 kDeviceControlOffset = 0x08;

template <typename Value> Value ReadConfig(EFI_PCI_IO_PROTOCOL *PciIo, UINT32 Offset) {
  constexpr EFI_PCI_IO_PROTOCOL_WIDTH Width = sizeof(Value) == 1   ? EfiPciIoWidthUint8
                                              : sizeof(Value) == 2 ? EfiPciIoWidthUint16
                                                                   : EfiPciIoWidthUint32;
  Value Read = 0;
  if (EFI_ERROR(PciIo->Pci.Read(PciIo, Width, Offset, 1, &Read))) {
    return 0;
  }
  return Read;
}

UINT8 FindPcieCapability(EFI_PCI_IO_PROTOCOL *PciIo, const UINT8 *Header) {
  if ((Header[kStatusOffset] & kStatusCapabilityList) == 0) {
    return 0;
  }
  UINT8 Pointer = Header[kCapabilityPointerOffset];
  for (UINTN Visited = 0; Visited < kMaxCapabilities && Pointer != 0 && Pointer != 0xFF; ++Visited) {
    if (ReadConfig<UINT8>(PciIo, Pointer) == kPcieCapabilityId) {
      return Pointer;
    }
    Pointer = ReadConfig<UINT8>(PciIo, Pointer + 1U);
  }
  return 0;
}

bool ReadFunction(EFI_HANDLE Handle, PciFunctionView &Out) {
  auto *PciIo = HandleInterface<EFI_PCI_IO_PROTOCOL>(Handle, kPciIoProtocolGuid);
  if (PciIo == nullptr) {
    return false;
  }
  Out.Handle = Handle;
  if (EFI_ERROR(PciIo->GetLocation(PciIo, &Out.Segment, &Out.Bus, &Out.Device, &Out.Function)) ||
      EFI_ERROR(PciIo->Pci.Read(PciIo, EfiPciIoWidthUint32, 0, kPciHeaderBytes / 4, Out.Header))) {
    return false;
  }
  Out.PcieCap = FindPcieCapability(PciIo, Out.Header);
  if (Out.PcieCap != 0) {
    Out.DeviceCapabilities = ReadConfig<UINT32>(PciIo, Out.PcieCap + kDeviceCapabilitiesOffset);
    Out.DeviceControl = ReadConfig<UINT16>(PciIo, Out.PcieCap + kDeviceControlOffset);
  }
  return true;
}

void WalkBus(PciView &View, UINTN Bus, UINTN Depth) {
  if (Depth > kMaxBusDepth) {
    return;
  }
  for (UINTN Device = 0; Device < kDevicesPerBus; ++Device) {
    for (UINTN Function = 0; Function < kFunctionsPerDevice; ++Function) {
      const PciFunctionView *Found = View.At(Bus, Device, Function);
      if (Found == nullptr) {
        continue;
      }
      if (View.WalkCount < PciView::kCapacity) {
        View.WalkOrder[View.WalkCount++] = static_cast<UINTN>(Found - View.Functions);
      }
      const UINT8 HeaderType = Found->Header[kHeaderTypeOffset];
      if ((HeaderType & kHeaderLayoutMask) == kHeaderLayoutBridge) {
        const UINTN Secondary = Found->Header[kSecondaryBusOffset];
        if (Secondary > Bus) {
          WalkBus(View, Secondary, Depth + 1);
        }
      }
      if (Function == 0 && (HeaderType & kHeaderMultiFunction) == 0) {
        break;
      }
    }
  }
}

} // namespace

const PciFunctionView *PciView::Find(EFI_HANDLE Handle) const {
  for (UINTN Index = 0; Index < Count; ++Index) {
    if (Functions[Index].Handle == Handle) {
      return &Functions[Index];
    }
  }
  return nullptr;
}

const PciFunctionView *PciView::At(UINTN Bus, UINTN Device, UINTN Function) const {
  for (UINTN Index = 0; Index < Count; ++Index) {
    const PciFunctionView &Entry = Functions[Index];
    if (Entry.Bus == Bus && Entry.Device == Device && Entry.Function == Function) {
      return &Entry;
    }
  }
  return nullptr;
}

void TakePciView(PciView &View) {
  View = PciView{};
  const HandleList Handles(&kPciIoProtocolGuid);
  View.Status = Handles.Status();
  if (Handles.Count() > PciView::kCapacity) {
    View.Status = EFI_BUFFER_TOO_SMALL;
    return;
  }
  for (UINTN Index = 0; Index < Handles.Count() && !EFI_ERROR(View.Status); ++Index) {
    if (!ReadFunction(Handles[Index], View.Functions[View.Count++])) {
      View.Status = EFI_DEVICE_ERROR;
    }
  }
  WalkBus(View, 0, 0);
}

void PrintPciView(const PciView &View) {
  Line()
      .Text("INFO pci: ")
      .Decimal(View.Count)
      .Text(" PCI I/O handles, ")
      .Decimal(View.WalkCount)
      .Text(" reached from bus 0")
      .Print();
  for (UINTN Step = 0; Step < View.WalkCount; ++Step) {
    const PciFunctionView &Function = View.Functions[View.WalkOrder[Step]];
    const UINT8 *Header = Function.Header;
    Line()
        .Text("INFO pci: ")
        .Hex(Function.Bus)
        .Text(":")
        .Hex(Function.Device)
        .Text(".")
        .Hex(Function.Function)
        .Text(" id ")
        .Hex(static_cast<UINT32>(Header[1]) << 8 | Header[0])
        .Text(":")
        .Hex(static_cast<UINT32>(Header[3]) << 8 | Header[2])
        .Text(" class ")
        .Hex(static_cast<UINT32>(Header[0x0B]) << 8 | Header[0x0A])
        .Text(" header type ")
        .Hex(Header[kHeaderTypeOffset])
        .Text(" pcie cap ")
        .Hex(Function.PcieCap)
        .Print();
  }
}

} // namespace e2e
