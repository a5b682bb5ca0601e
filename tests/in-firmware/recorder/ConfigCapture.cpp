// The configuration capture: every function on every bus, read through the
// root bridge as OVMF's PCI bus driver left it when it announced the begin of
// resource allocation, before the driver under test acted on that phase.
#include "Recorder.h"
#include "tests/e2e/app/Firmware.h"

namespace e2e::firmware {
namespace {

constexpr UINTN kBuses = 256;
constexpr UINTN kDevices = 32;
constexpr UINTN kFunctions = 8;
constexpr UINT8 kHeaderTypeOffset = 0x0E;
constexpr UINT8 kMultiFunction = 0x80;

// EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_PCI_ADDRESS with the register in the extended field.
UINT64 PciAddress(UINTN Bus, UINTN Device, UINTN Function, UINT32 Register) {
  return static_cast<UINT64>(Register) << 32 | Bus << 24 | Device << 16 | Function << 8;
}

bool ReadSpace(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *RootBridge, UINTN Bus, UINTN Device, UINTN Function, UINT8 *Space) {
  UINT32 Identity = 0xFFFFFFFF;
  if (EFI_ERROR(
          RootBridge->Pci.Read(RootBridge, EfiPciWidthUint32, PciAddress(Bus, Device, Function, 0), 1, &Identity)) ||
      (Identity & 0xFFFF) == 0xFFFF) {
    return false;
  }
  return !EFI_ERROR(RootBridge->Pci.Read(RootBridge, EfiPciWidthUint32, PciAddress(Bus, Device, Function, 0),
                                         kConfigSpaceBytes / 4, Space));
}

void CaptureBus(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *RootBridge, UINTN Bus, ConfigCapture &Capture) {
  for (UINTN Device = 0; Device < kDevices; ++Device) {
    for (UINTN Function = 0; Function < kFunctions; ++Function) {
      // Once the capture is full, the spare space takes reads that only count.
      const UINTN Slot = Capture.Count < kCaptureCapacity ? Capture.Count : kCaptureCapacity;
      UINT8 *Space = Capture.Spaces + Slot * kConfigSpaceBytes;
      if (!ReadSpace(RootBridge, Bus, Device, Function, Space)) {
        if (Function == 0) {
          break;
        }
        continue;
      }
      if (Slot < kCaptureCapacity) {
        Capture.Locations[Capture.Count++] = static_cast<UINT32>(Bus << 16 | Device << 8 | Function);
      } else {
        ++Capture.Missed;
      }
      if (Function == 0 && (Space[kHeaderTypeOffset] & kMultiFunction) == 0) {
        break;
      }
    }
  }
}

} // namespace

void CaptureConfigSpaces(ConfigCapture &Capture) {
  auto *RootBridge = LocateInterface<EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL>(kPciRootBridgeIoProtocolGuid);
  VOID *Spaces = nullptr;
  if (RootBridge == nullptr) {
    Capture.Status = EFI_NOT_FOUND;
    return;
  }
  Capture.Status =
      gBootServices->AllocatePool(EfiBootServicesData, (kCaptureCapacity + 1) * kConfigSpaceBytes, &Spaces);
  if (EFI_ERROR(Capture.Status)) {
    return;
  }
  Capture.Spaces = static_cast<UINT8 *>(Spaces);
  Capture.Count = 0;
  Capture.Missed = 0;
  for (UINTN Bus = 0; Bus < kBuses; ++Bus) {
    CaptureBus(RootBridge, Bus, Capture);
  }
}

} // namespace e2e::firmware
