// The device callback registry: registrations made through
// PCI_CALLBACK_PROTOCOL, their dispatch, and the walk over the whole hierarchy
// that dispatches them for every present function.
#pragma once

#include "PciCallback.h"

// Bytes "Pcic" in memory order.
inline constexpr UINT32 PCI_CALLBACK_ENTRY_SIGNATURE = 0x63696350;

// The mask bits a registration must select at least one of.
inline constexpr UINT32 PCI_CALLBACK_KNOWN_POINTS =
    PCI_CALLBACK_PREP_CONTROLLER | PCI_CALLBACK_BEGIN_ALLOCATION | PCI_CALLBACK_END_ALLOCATION;

// One registration, in mCallbackList. Allocated from pool, never freed.
struct PCI_CALLBACK_ENTRY {
  UINT32 Signature;
  LIST_ENTRY Link;
  PCI_CALLBACK_FUNCTION *Callback;
  UINT32 Mask; // as registered, bits outside the known points included
};

// The entry whose Link is Link.
PCI_CALLBACK_ENTRY *CallbackEntryFromLink(LIST_ENTRY *Link);

// The member of PCI_CALLBACK_PROTOCOL.
EFI_STATUS EFIAPI RegisterCallback(PCI_CALLBACK_PROTOCOL *This, PCI_CALLBACK_FUNCTION *Callback, UINT32 Mask);

// Calls, in registration order, every registration whose mask shares a bit with
// Mask, after pointing Record at the located root bridge. A registration
// appended by a callback during the dispatch is called in the same dispatch.
void DispatchPciCallbacks(EFI_HANDLE RootBridgeHandle, UINT64 PciAddress, UINT32 Mask, PCI_DEVICE_RECORD *Record);

// Dispatches mCurrentPhaseMask for every present function of Bus and, depth
// first, of the buses behind its bridges, reading each header into
// mDeviceRecord. Needs mRootBridgeIo.
void WalkPciBus(UINT8 Bus);
