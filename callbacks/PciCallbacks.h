// The device callback registry: registrations made through
// PCI_CALLBACK_PROTOCOL, their dispatch, and the walk over the whole hierarchy
// that dispatches them for every present function. The registry owns the
// registrations, the one device record every callback receives and the mask
// bit of the dispatch in progress.
#pragma once

#include "PciCallback.h"
#include "base/Protocols.h"

// Bytes "Pcic" in memory order.
inline constexpr UINT32 PCI_CALLBACK_ENTRY_SIGNATURE = 0x63696350;

// The mask bits a registration must select at least one of.
inline constexpr UINT32 PCI_CALLBACK_KNOWN_POINTS =
    PCI_CALLBACK_PREP_CONTROLLER | PCI_CALLBACK_BEGIN_ALLOCATION | PCI_CALLBACK_END_ALLOCATION;

// One registration. Allocated from pool, never freed.
struct PCI_CALLBACK_ENTRY {
  UINT32 Signature;
  LIST_ENTRY Link;
  PCI_CALLBACK_FUNCTION *Callback;
  UINT32 Mask; // as registered, bits outside the known points included
};

// No registrations, a zero record, no dispatch in progress; the interface to
// install filled in.
void ResetPciCallbacks();

// The interface the driver installs.
PCI_CALLBACK_PROTOCOL *PciCallbackProtocol();

// The member of PCI_CALLBACK_PROTOCOL.
EFI_STATUS EFIAPI RegisterCallback(PCI_CALLBACK_PROTOCOL *This, PCI_CALLBACK_FUNCTION *Callback, UINT32 Mask);

// The CPU I/O services every record carries from now on.
void SetDeviceRecordCpuIo(EFI_CPU_IO_PROTOCOL *CpuIo);

// Makes Mask (one of the three points) the mask of the dispatches that follow.
void BeginCallbackPoint(UINT32 Mask);

// Calls, in registration order, every registration whose mask shares a bit with
// the current point, after pointing the record at RootBridgeIo. A registration
// appended by a callback during the dispatch is called in the same dispatch.
// The record's header is not re-read.
void DispatchPciCallbacks(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *RootBridgeIo, EFI_HANDLE RootBridgeHandle,
                          UINT64 PciAddress);

// The point (PCI_CALLBACK_* bit) whose callbacks are running, 0 when none is:
// code of other drivers is then on the stack, inside a walk or a prepared
// controller's dispatch.
UINT32 DispatchingPciCallbacks();

// Dispatches the current point for every present function of Bus and, depth
// first, of the buses behind its bridges, reading each header into the record.
void WalkPciBus(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *RootBridgeIo, EFI_HANDLE RootBridgeHandle, UINT8 Bus);

// For inspection by the firmware model and the tests.
const LIST_ENTRY *PciCallbackRegistrations();
const PCI_CALLBACK_ENTRY *CallbackEntryFromLink(const LIST_ENTRY *Link);
PCI_DEVICE_RECORD *PciDeviceRecord();
UINT32 CurrentCallbackPoint();
