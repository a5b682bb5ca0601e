// Locating a firmware interface by GUID, as every service lookup of the driver
// does: the first installed instance, or null when there is none.
#pragma once

#include "FirmwareServices.h"

template <typename Protocol> Protocol *LocateProtocolOrNull(const EFI_GUID &Guid) {
  VOID *Interface = nullptr;
  if (EFI_ERROR(BootServices()->LocateProtocol(&Guid, nullptr, &Interface))) {
    return nullptr;
  }
  return static_cast<Protocol *>(Interface);
}
