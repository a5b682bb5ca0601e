#include "Spies.h"

#include "Firmware.h"

namespace e2e {
namespace {

// --- LocateProtocol -------------------------------------------------------------------

constexpr UINTN kLocateCallCapacity = 32;
constinit EFI_LOCATE_PROTOCOL gOriginalLocateProtocol = nullptr;
constinit LocateCall gLocateCalls[kLocateCallCapacity] = {};
constinit UINTN gLocateCallCount = 0;

EFI_STATUS EFIAPI SpyLocateProtocol(const EFI_GUID *Protocol, VOID *Registration, VOID **Interface) {
  const EFI_STATUS Status = gOriginalLocateProtocol(Protocol, Registration, Interface);
  if (gLocateCallCount < kLocateCallCapacity && Protocol != nullptr) {
    gLocateCalls[gLocateCallCount] = {*Protocol, Status};
  }
  ++gLocateCallCount;
  return Status;
}

// --- Root bridge configuration accesses -------------------------------------------

constinit EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *gSpiedRootBridgeIo = nullptr;
constinit EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_ACCESS gOriginalPci = {};
constinit ConfigAccessCounts gConfigAccesses = {};

EFI_STATUS EFIAPI SpyPciRead(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *This, EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_WIDTH Width,
                             UINT64 Address, UINTN Count, VOID *Buffer) {
  ++gConfigAccesses.Reads;
  return gOriginalPci.Read(This, Width, Address, Count, Buffer);
}

constinit ConfigWrite gConfigWrites[kConfigWriteCapacity] = {};

UINT32 FirstElement(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_WIDTH Width, const VOID *Buffer) {
  switch (Width) {
  case EfiPciWidthUint8:
    return *static_cast<const UINT8 *>(Buffer);
  case EfiPciWidthUint16:
    return *static_cast<const UINT16 *>(Buffer);
  case EfiPciWidthUint32:
    return *static_cast<const UINT32 *>(Buffer);
  default:
    return 0xDEADBEEF;
  }
}

EFI_STATUS EFIAPI SpyPciWrite(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *This, EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_WIDTH Width,
                              UINT64 Address, UINTN Count, VOID *Buffer) {
  if (gConfigAccesses.Writes < kConfigWriteCapacity && Buffer != nullptr) {
    gConfigWrites[gConfigAccesses.Writes] = {Address, Width, Count, FirstElement(Width, Buffer)};
  }
  ++gConfigAccesses.Writes;
  return gOriginalPci.Write(This, Width, Address, Count, Buffer);
}

// --- Bus driver calls ------------------------------------------------------------------

constinit EFI_PCI_PLATFORM_PROTOCOL *gRecordedPlatform = nullptr;
constinit EFI_PCI_PLATFORM_PROTOCOL gOriginalPlatform = {};
constinit BusDriverCall gBusDriverCalls[kBusDriverCallCapacity] = {};
constinit UINTN gBusDriverCallCount = 0;

EFI_STATUS Record(const BusDriverCall &Call) {
  if (gBusDriverCallCount < kBusDriverCallCapacity) {
    gBusDriverCalls[gBusDriverCallCount] = Call;
  }
  ++gBusDriverCallCount;
  return Call.Status;
}

UINT64 AddressValue(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_PCI_ADDRESS Address) {
  UINT64 Value = 0;
  gBootServices->CopyMem(&Value, &Address, sizeof(Value));
  return Value;
}

EFI_STATUS EFIAPI RecordPlatformNotify(EFI_PCI_PLATFORM_PROTOCOL *This, EFI_HANDLE HostBridge,
                                       EFI_PCI_HOST_BRIDGE_RESOURCE_ALLOCATION_PHASE Phase,
                                       EFI_PCI_EXECUTION_PHASE ChipsetPhase) {
  const EFI_STATUS Status = gOriginalPlatform.PlatformNotify(This, HostBridge, Phase, ChipsetPhase);
  return Record({BusDriverCallKind::PlatformNotify, HostBridge, 0, Phase, ChipsetPhase, Status});
}

EFI_STATUS EFIAPI RecordPrepController(EFI_PCI_PLATFORM_PROTOCOL *This, EFI_HANDLE HostBridge, EFI_HANDLE RootBridge,
                                       EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_PCI_ADDRESS PciAddress,
                                       EFI_PCI_CONTROLLER_RESOURCE_ALLOCATION_PHASE Phase,
                                       EFI_PCI_EXECUTION_PHASE ChipsetPhase) {
  const EFI_STATUS Status =
      gOriginalPlatform.PlatformPrepController(This, HostBridge, RootBridge, PciAddress, Phase, ChipsetPhase);
  return Record(
      {BusDriverCallKind::PlatformPrepController, RootBridge, AddressValue(PciAddress), Phase, ChipsetPhase, Status});
}

EFI_STATUS EFIAPI RecordGetPlatformPolicy(const EFI_PCI_PLATFORM_PROTOCOL *This, EFI_PCI_PLATFORM_POLICY *PciPolicy) {
  const EFI_STATUS Status = gOriginalPlatform.GetPlatformPolicy(This, PciPolicy);
  return Record({BusDriverCallKind::GetPlatformPolicy, nullptr, 0, 0, 0, Status});
}

EFI_STATUS EFIAPI RecordGetPciRom(const EFI_PCI_PLATFORM_PROTOCOL *This, EFI_HANDLE PciHandle, VOID **RomImage,
                                  UINTN *RomSize) {
  const EFI_STATUS Status = gOriginalPlatform.GetPciRom(This, PciHandle, RomImage, RomSize);
  return Record({BusDriverCallKind::GetPciRom, PciHandle, 0, 0, 0, Status});
}

} // namespace

void StartLocateProtocolSpy() {
  gLocateCallCount = 0;
  gOriginalLocateProtocol = gBootServices->LocateProtocol;
  PatchServiceTable(&gBootServices->Hdr, sizeof(*gBootServices), &gBootServices->LocateProtocol,
                    static_cast<EFI_LOCATE_PROTOCOL>(SpyLocateProtocol));
}

void StopLocateProtocolSpy() {
  PatchServiceTable(&gBootServices->Hdr, sizeof(*gBootServices), &gBootServices->LocateProtocol,
                    gOriginalLocateProtocol);
}

UINTN LocateCallCount() { return gLocateCallCount; }

const LocateCall &LocateCallAt(UINTN Index) {
  static constexpr LocateCall kBeyondCapacity = {};
  return Index < kLocateCallCapacity ? gLocateCalls[Index] : kBeyondCapacity;
}

void StartConfigAccessSpy(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *RootBridgeIo) {
  gConfigAccesses = {};
  gSpiedRootBridgeIo = RootBridgeIo;
  gOriginalPci = RootBridgeIo->Pci;
  RootBridgeIo->Pci = {SpyPciRead, SpyPciWrite};
}

void StopConfigAccessSpy() {
  if (gSpiedRootBridgeIo != nullptr) {
    gSpiedRootBridgeIo->Pci = gOriginalPci;
    gSpiedRootBridgeIo = nullptr;
  }
}

ConfigAccessCounts ConfigAccesses() { return gConfigAccesses; }

const ConfigWrite &ConfigWriteAt(UINTN Index) {
  static constexpr ConfigWrite kBeyondCapacity = {};
  return Index < kConfigWriteCapacity ? gConfigWrites[Index] : kBeyondCapacity;
}

void StartBusDriverRecorder(EFI_PCI_PLATFORM_PROTOCOL *Platform) {
  gBusDriverCallCount = 0;
  gRecordedPlatform = Platform;
  gOriginalPlatform = *Platform;
  *Platform = {RecordPlatformNotify, RecordPrepController, RecordGetPlatformPolicy, RecordGetPciRom};
}

void StopBusDriverRecorder() {
  if (gRecordedPlatform != nullptr) {
    *gRecordedPlatform = gOriginalPlatform;
    gRecordedPlatform = nullptr;
  }
}

UINTN BusDriverCallCount() { return gBusDriverCallCount; }

const BusDriverCall &BusDriverCallAt(UINTN Index) {
  static constexpr BusDriverCall kBeyondCapacity = {};
  return Index < kBusDriverCallCapacity ? gBusDriverCalls[Index] : kBeyondCapacity;
}

} // namespace e2e
