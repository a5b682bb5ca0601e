#include "FirmwareServices.h"

namespace {

EFI_BOOT_SERVICES *mBootServices;
EFI_RUNTIME_SERVICES *mRuntimeServices;

} // namespace

void SaveFirmwareServices(EFI_SYSTEM_TABLE *SystemTable) {
  mBootServices = SystemTable->BootServices;
  mRuntimeServices = SystemTable->RuntimeServices;
}

EFI_BOOT_SERVICES *BootServices() { return mBootServices; }

EFI_RUNTIME_SERVICES *RuntimeServices() { return mRuntimeServices; }

void ClearFirmwareServices() {
  mBootServices = nullptr;
  mRuntimeServices = nullptr;
}
