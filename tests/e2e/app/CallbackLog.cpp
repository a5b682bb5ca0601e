#include "CallbackLog.h"

namespace e2e {
namespace {

constinit CallbackCall gCalls[kCallbackCallCapacity] = {};
constinit UINTN gCallCount = 0;

void Log(CallbackId Id, EFI_HANDLE RootBridgeHandle, UINT64 PciAddress, UINT32 Mask, PCI_DEVICE_RECORD *Record) {
  if (gCallCount < kCallbackCallCapacity) {
    CallbackCall &Call = gCalls[gCallCount];
    Call = {Id, RootBridgeHandle, PciAddress, Mask, Record, {}};
    if (Record != nullptr) {
      Call.Copy = *Record;
    }
  }
  ++gCallCount;
}

template <CallbackId Id>
EFI_STATUS EFIAPI Logged(EFI_HANDLE RootBridgeHandle, UINT64 PciAddress, UINT32 Mask, PCI_DEVICE_RECORD *Record) {
  Log(Id, RootBridgeHandle, PciAddress, Mask, Record);
  // The driver ignores what a callback returns; an error says so.
  return EFI_DEVICE_ERROR;
}

} // namespace

PCI_CALLBACK_FUNCTION *CallbackFunction(CallbackId Id) {
  switch (Id) {
  case CallbackId::BeginWalk:
    return Logged<CallbackId::BeginWalk>;
  case CallbackId::EndWalk:
    return Logged<CallbackId::EndWalk>;
  case CallbackId::BothWalks:
    return Logged<CallbackId::BothWalks>;
  case CallbackId::PrepController:
    return Logged<CallbackId::PrepController>;
  default:
    return Logged<CallbackId::Refused>;
  }
}

UINTN CallbackCallCount() { return gCallCount; }

const CallbackCall &CallbackCallAt(UINTN Index) {
  static constexpr CallbackCall kBeyondCapacity = {};
  return Index < kCallbackCallCapacity ? gCalls[Index] : kBeyondCapacity;
}

} // namespace e2e
