// A driver whose entry point fails, put into the firmware volume in place of
// the driver under test to show that the in-firmware test reports such a boot
// as failed checks and does not hang.
#include "EfiBaseTypes.h"

extern "C" EFI_STATUS EFIAPI FailingEntry(EFI_HANDLE /*ImageHandle*/, VOID * /*SystemTable*/) {
  return EFI_DEVICE_ERROR;
}
