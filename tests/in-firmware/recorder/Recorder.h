// The recorder driver's parts. It is dispatched from the firmware volume with
// the driver under test and the test-support driver, and watches OVMF's PCI
// bus driver drive a full enumeration.
#pragma once

#include "PciCallback.h"
#include "tests/in-firmware/common/FirmwareRecord.h"

namespace e2e::firmware {

extern FirmwareRecord gRecord;
// Index of the platform call in progress, kNoCall between calls.
extern UINTN gCurrentCall;

// Calls OnInstalled once with the protocol's interface: right away when it is
// installed already, else when it is.
using ProtocolHandler = void (*)(VOID *Interface);
EFI_STATUS WatchForProtocol(const EFI_GUID &Protocol, ProtocolHandler OnInstalled);

// Puts recording forwarders in the platform protocol's table.
EFI_STATUS StartPlatformCallRecorder(EFI_PCI_PLATFORM_PROTOCOL *Platform);
// Reads every function's configuration space into the capture.
void CaptureConfigSpaces(ConfigCapture &Capture);
// Registers a callback for every point, recording each visit.
EFI_STATUS StartCallbackRecorder(PCI_CALLBACK_PROTOCOL *Callbacks);

} // namespace e2e::firmware
