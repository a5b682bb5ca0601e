#include "PoolMemory.h"

#include "FirmwareServices.h"

VOID *AllocateZeroPool(UINTN Size) {
  VOID *Buffer = nullptr;
  // A pool that reports success without a buffer has none to give.
  if (EFI_ERROR(BootServices()->AllocatePool(EfiBootServicesData, Size, &Buffer)) || Buffer == nullptr) {
    return nullptr;
  }
  BootServices()->SetMem(Buffer, Size, 0);
  return Buffer;
}
