// Registration through PCI_CALLBACK_PROTOCOL and the dispatch of registrations.
#include "PciCallbacks.h"

#include "base/Decisions.h"
#include "base/LinkedList.h"
#include "base/PoolMemory.h"

namespace {

PCI_CALLBACK_PROTOCOL mPciCallback;
LIST_ENTRY mCallbackList;
PCI_DEVICE_RECORD mDeviceRecord;
UINT32 mCurrentPhaseMask;
UINT32 mDispatchingPoint; // the point whose callbacks are running, 0 for none

bool IsRegistered(PCI_CALLBACK_FUNCTION *Callback) {
  for (LIST_ENTRY *Link = mCallbackList.ForwardLink; Link != &mCallbackList; Link = Link->ForwardLink) {
    if (CallbackEntryFromLink(Link)->Callback == Callback) {
      return true;
    }
  }
  return false;
}

} // namespace

void ResetPciCallbacks() {
  mPciCallback = {RegisterCallback};
  InitializeListHead(&mCallbackList);
  mDeviceRecord = {};
  mCurrentPhaseMask = 0;
  mDispatchingPoint = 0;
}

PCI_CALLBACK_PROTOCOL *PciCallbackProtocol() { return &mPciCallback; }

EFI_STATUS EFIAPI RegisterCallback(PCI_CALLBACK_PROTOCOL *This, PCI_CALLBACK_FUNCTION *Callback, UINT32 Mask) {
  (void)This;
  if (Callback == nullptr || (Mask & PCI_CALLBACK_KNOWN_POINTS) == 0) {
    return EFI_INVALID_PARAMETER;
  }
  // A second registration would call the function twice per device.
  if (IsRegistered(Callback)) {
    return EFI_UNSUPPORTED;
  }
  auto *Entry = static_cast<PCI_CALLBACK_ENTRY *>(AllocateZeroPool(sizeof(PCI_CALLBACK_ENTRY)));
  if (Entry == nullptr) {
    return EFI_OUT_OF_RESOURCES;
  }
  Entry->Signature = PCI_CALLBACK_ENTRY_SIGNATURE;
  Entry->Callback = Callback;
  Entry->Mask = Mask;
  InsertTailList(&mCallbackList, &Entry->Link);
  return EFI_SUCCESS;
}

void SetDeviceRecordCpuIo(EFI_CPU_IO_PROTOCOL *CpuIo) { mDeviceRecord.CpuIo = CpuIo; }

void BeginCallbackPoint(UINT32 Mask) { mCurrentPhaseMask = Mask; }

void DispatchPciCallbacks(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *RootBridgeIo, EFI_HANDLE RootBridgeHandle,
                          UINT64 PciAddress) {
  Decide(DECISION_KIND::Callback, DECISION_REASON::None, PciAddress, mCurrentPhaseMask);
  mDeviceRecord.RootBridgeIo = RootBridgeIo;
  mDispatchingPoint = mCurrentPhaseMask;
  // The next link is read only after the call returns, so that a callback that
  // registers another one has it called in this same dispatch.
  for (LIST_ENTRY *Link = mCallbackList.ForwardLink; Link != &mCallbackList; Link = Link->ForwardLink) {
    const PCI_CALLBACK_ENTRY *Entry = CallbackEntryFromLink(Link);
    if ((Entry->Mask & mCurrentPhaseMask) != 0) {
      (void)Entry->Callback(RootBridgeHandle, PciAddress, mCurrentPhaseMask, &mDeviceRecord);
    }
  }
  mDispatchingPoint = 0;
}

UINT32 DispatchingPciCallbacks() { return mDispatchingPoint; }

const LIST_ENTRY *PciCallbackRegistrations() { return &mCallbackList; }

const PCI_CALLBACK_ENTRY *CallbackEntryFromLink(const LIST_ENTRY *Link) {
  return reinterpret_cast<const PCI_CALLBACK_ENTRY *>(reinterpret_cast<const UINT8 *>(Link) -
                                                      offsetof(PCI_CALLBACK_ENTRY, Link));
}

PCI_DEVICE_RECORD *PciDeviceRecord() { return &mDeviceRecord; }

UINT32 CurrentCallbackPoint() { return mCurrentPhaseMask; }
