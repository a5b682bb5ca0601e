// Boot-services pool memory as the driver uses it.
#pragma once

#include "Uefi.h"

// EfiBootServicesData pool, zero-filled right after allocation; null when the
// pool cannot supply it.
[[nodiscard]] VOID *AllocateZeroPool(UINTN Size);
