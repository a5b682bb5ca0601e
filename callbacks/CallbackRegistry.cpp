// Registration through PCI_CALLBACK_PROTOCOL and the dispatch of registrations.
#include "PciCallbacks.h"

#include "core/Driver.h"
#include "core/LinkedList.h"
#include "core/PoolMemory.h"

PCI_CALLBACK_ENTRY *CallbackEntryFromLink(LIST_ENTRY *Link) {
  return reinterpret_cast<PCI_CALLBACK_ENTRY *>(reinterpret_cast<UINT8 *>(Link) - offsetof(PCI_CALLBACK_ENTRY, Link));
}

namespace {

bool IsRegistered(PCI_CALLBACK_FUNCTION *Callback) {
  for (LIST_ENTRY *Link = mCallbackList.ForwardLink; Link != &mCallbackList; Link = Link->ForwardLink) {
    if (CallbackEntryFromLink(Link)->Callback == Callback) {
      return true;
    }
  }
  return false;
}

} // namespace

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

void DispatchPciCallbacks(EFI_HANDLE RootBridgeHandle, UINT64 PciAddress, UINT32 Mask, PCI_DEVICE_RECORD *Record) {
  Record->RootBridgeIo = mRootBridgeIo;
  // The next link is read only after the call returns, so that a callback that
  // registers another one has it called in this same dispatch.
  for (LIST_ENTRY *Link = mCallbackList.ForwardLink; Link != &mCallbackList; Link = Link->ForwardLink) {
    const PCI_CALLBACK_ENTRY *Entry = CallbackEntryFromLink(Link);
    if ((Entry->Mask & Mask) != 0) {
      (void)Entry->Callback(RootBridgeHandle, PciAddress, Mask, Record);
    }
  }
}
