// A PCI I/O protocol of the application's own, installed on a new handle: it
// reports a chosen location and configuration header, so that requests for
// devices QEMU cannot present reach the driver through real firmware services.
#pragma once

#include "tests/e2e/common/E2eUefi.h"

namespace e2e {

struct FakePciDevice {
  EFI_PCI_IO_PROTOCOL Interface; // first: This points here
  UINTN Bus;
  UINTN Device;
  UINTN Function;
  UINT8 Config[256];
  EFI_HANDLE Handle;
};

// Fills Fake with a type-0 header holding the IDs and class word, then
// installs its PCI I/O protocol on a new handle.
EFI_STATUS InstallFakePciDevice(FakePciDevice &Fake, UINTN Bus, UINTN Device, UINTN Function, UINT16 VendorId,
                                UINT16 DeviceId, UINT16 ClassWord);

} // namespace e2e
