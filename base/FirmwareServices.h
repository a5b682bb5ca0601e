// The firmware's service tables, saved once at entry and read by every layer
// above. Nothing but the entry point changes them.
#pragma once

#include "Uefi.h"

void SaveFirmwareServices(EFI_SYSTEM_TABLE *SystemTable);

EFI_BOOT_SERVICES *BootServices();
EFI_RUNTIME_SERVICES *RuntimeServices();

// What a freshly loaded image holds: no tables. The firmware model reloads the
// driver through this; the image never calls it.
void ClearFirmwareServices();
