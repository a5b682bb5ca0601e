#include "PoolMemory.h"

#include "Driver.h"

VOID *AllocateZeroPool(UINTN Size) {
  VOID *Buffer = nullptr;
  if (EFI_ERROR(mBootServices->AllocatePool(EfiBootServicesData, Size, &Buffer)) || Buffer == nullptr) {
    return nullptr;
  }
  mBootServices->SetMem(Buffer, Size, 0);
  return Buffer;
}
