// One callback for every point the driver dispatches, keeping what it was
// called for and which platform call it ran in.
#include "Recorder.h"

namespace e2e::firmware {
namespace {

constexpr UINT32 kEveryPoint =
    PCI_CALLBACK_PREP_CONTROLLER | PCI_CALLBACK_BEGIN_ALLOCATION | PCI_CALLBACK_END_ALLOCATION;

UINT16 HeaderWord(const PCI_DEVICE_RECORD *Record, UINTN Offset) {
  return static_cast<UINT16>(Record->Header[Offset] | Record->Header[Offset + 1] << 8);
}

EFI_STATUS EFIAPI RecordVisit(EFI_HANDLE RootBridgeHandle, UINT64 PciAddress, UINT32 Mask, PCI_DEVICE_RECORD *Record) {
  const UINTN Index = gRecord.VisitCount++;
  if (Index < kVisitCapacity) {
    CallbackVisit &Visit = gRecord.Visits[Index];
    Visit.Mask = Mask;
    Visit.RootBridge = RootBridgeHandle;
    Visit.PciAddress = PciAddress;
    Visit.VendorId = Record != nullptr ? HeaderWord(Record, 0) : 0;
    Visit.DeviceId = Record != nullptr ? HeaderWord(Record, 2) : 0;
    Visit.CallIndex = gCurrentCall;
  }
  return EFI_SUCCESS;
}

} // namespace

EFI_STATUS StartCallbackRecorder(PCI_CALLBACK_PROTOCOL *Callbacks) {
  return Callbacks->RegisterCallback(Callbacks, RecordVisit, kEveryPoint);
}

} // namespace e2e::firmware
