#include "PoolMemory.h"

#include "FirmwareServices.h"

VOID *AllocateZeroPool(UINTN Size) {
  EFI_BOOT_SERVICES *const Services = BootServices();
  VOID *Buffer = nullptr;
  // A pool that reports success without a buffer has none to give.
  if (EFI_ERROR(Services->AllocatePool(EfiBootServicesData, Size, &Buffer)) || Buffer == nullptr) {
    return nullptr;
  }
  Services->SetMem(Buffer, Size, 0);
  return Buffer;
}
