// Recording forwarders in the driver's EFI_PCI_PLATFORM_PROTOCOL table: OVMF's
// PCI bus driver looks the protocol up when it starts on the root bridge, after
// the table was changed here, and every call it makes is kept in order.
#include "Recorder.h"
#include "pci/PciAddress.h"

namespace e2e::firmware {

constinit UINTN gCurrentCall = kNoCall;

namespace {

constinit EFI_PCI_PLATFORM_PROTOCOL gOriginal = {};

// A slot for the call, or null when the record is full (the count goes on).
PlatformCallRecord *BeginCall(PlatformCall Kind) {
  const UINTN Index = gRecord.CallCount++;
  gCurrentCall = Index;
  if (Index >= kCallCapacity) {
    return nullptr;
  }
  PlatformCallRecord &Call = gRecord.Calls[Index];
  Call = {};
  Call.Kind = Kind;
  return &Call;
}

EFI_STATUS EndCall(PlatformCallRecord *Call, EFI_STATUS Status) {
  gCurrentCall = kNoCall;
  if (Call != nullptr) {
    Call->Status = Status;
    Call->MemoryAccessesAfter = gRecord.Support != nullptr ? gRecord.Support->MemoryLogCount : 0;
  }
  return Status;
}

EFI_STATUS EFIAPI RecordNotify(EFI_PCI_PLATFORM_PROTOCOL *This, EFI_HANDLE HostBridge,
                               EFI_PCI_HOST_BRIDGE_RESOURCE_ALLOCATION_PHASE Phase,
                               EFI_PCI_EXECUTION_PHASE ChipsetPhase) {
  PlatformCallRecord *Call = BeginCall(PlatformCall::Notify);
  if (Call != nullptr) {
    Call->Handle = HostBridge;
    Call->Phase = Phase;
    Call->ChipsetPhase = ChipsetPhase;
  }
  // Before the driver's link pass, which runs when this phase is announced.
  if (Phase == EfiPciHostBridgeBeginResourceAllocation && ChipsetPhase == ChipsetEntry &&
      gRecord.Capture.Status == EFI_NOT_READY) {
    CaptureConfigSpaces(gRecord.Capture);
  }
  return EndCall(Call, gOriginal.PlatformNotify(This, HostBridge, Phase, ChipsetPhase));
}

EFI_STATUS EFIAPI RecordPrepController(EFI_PCI_PLATFORM_PROTOCOL *This, EFI_HANDLE HostBridge, EFI_HANDLE RootBridge,
                                       EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_PCI_ADDRESS PciAddress,
                                       EFI_PCI_CONTROLLER_RESOURCE_ALLOCATION_PHASE Phase,
                                       EFI_PCI_EXECUTION_PHASE ChipsetPhase) {
  PlatformCallRecord *Call = BeginCall(PlatformCall::PrepController);
  if (Call != nullptr) {
    Call->Handle = HostBridge;
    Call->RootBridge = RootBridge;
    Call->PciAddress = PciAddressValue(PciAddress);
    Call->Phase = Phase;
    Call->ChipsetPhase = ChipsetPhase;
  }
  return EndCall(Call, gOriginal.PlatformPrepController(This, HostBridge, RootBridge, PciAddress, Phase, ChipsetPhase));
}

EFI_STATUS EFIAPI RecordGetPlatformPolicy(const EFI_PCI_PLATFORM_PROTOCOL *This, EFI_PCI_PLATFORM_POLICY *PciPolicy) {
  PlatformCallRecord *Call = BeginCall(PlatformCall::GetPolicy);
  return EndCall(Call, gOriginal.GetPlatformPolicy(This, PciPolicy));
}

EFI_STATUS EFIAPI RecordGetPciRom(const EFI_PCI_PLATFORM_PROTOCOL *This, EFI_HANDLE PciHandle, VOID **RomImage,
                                  UINTN *RomSize) {
  PlatformCallRecord *Call = BeginCall(PlatformCall::GetPciRom);
  const EFI_STATUS Status = gOriginal.GetPciRom(This, PciHandle, RomImage, RomSize);
  if (Call != nullptr) {
    Call->Handle = PciHandle;
    Call->RomImage = (!EFI_ERROR(Status) && RomImage != nullptr) ? *RomImage : nullptr;
    Call->RomSize = (!EFI_ERROR(Status) && RomSize != nullptr) ? *RomSize : 0;
  }
  return EndCall(Call, Status);
}

} // namespace

EFI_STATUS StartPlatformCallRecorder(EFI_PCI_PLATFORM_PROTOCOL *Platform) {
  if (Platform->PlatformNotify == nullptr || Platform->PlatformPrepController == nullptr ||
      Platform->GetPlatformPolicy == nullptr || Platform->GetPciRom == nullptr) {
    return EFI_UNSUPPORTED;
  }
  gOriginal = *Platform;
  *Platform = {RecordNotify, RecordPrepController, RecordGetPlatformPolicy, RecordGetPciRom};
  return EFI_SUCCESS;
}

} // namespace e2e::firmware
