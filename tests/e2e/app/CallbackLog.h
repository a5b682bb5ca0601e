// Callbacks the application registers with the driver under test, and the log
// of every call they receive, with a copy of what the record held then.
#pragma once

#include "PciCallback.h"
#include "tests/e2e/common/E2eUefi.h"

namespace e2e {

enum class CallbackId : UINT8 { BeginWalk, EndWalk, BothWalks, PrepController, Refused };

struct CallbackCall {
  CallbackId Id;
  EFI_HANDLE RootBridgeHandle;
  UINT64 PciAddress;
  UINT32 Mask;
  const PCI_DEVICE_RECORD *Record;
  PCI_DEVICE_RECORD Copy;
};

inline constexpr UINTN kCallbackCallCapacity = 128;

PCI_CALLBACK_FUNCTION *CallbackFunction(CallbackId Id);
// Calls logged so far; counts on past the capacity.
UINTN CallbackCallCount();
const CallbackCall &CallbackCallAt(UINTN Index);

} // namespace e2e
