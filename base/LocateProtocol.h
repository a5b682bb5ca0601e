// Locating a firmware interface by GUID, as every lookup of the driver does:
// the first installed instance, or null when there is none.
#pragma once

#include "Decisions.h"
#include "FirmwareServices.h"

template <typename Protocol> Protocol *LocateProtocolOrNull(const EFI_GUID &Guid) {
  VOID *Interface = nullptr;
  if (EFI_ERROR(BootServices()->LocateProtocol(&Guid, nullptr, &Interface))) {
    return nullptr;
  }
  return static_cast<Protocol *>(Interface);
}

// The same for the services a step of the driver needs (DECISION_SERVICE_*):
// whether it was found is recorded, with the lookup's status.
template <typename Protocol> Protocol *LocateService(const EFI_GUID &Guid, UINT64 Service) {
  VOID *Interface = nullptr;
  const EFI_STATUS Found = BootServices()->LocateProtocol(&Guid, nullptr, &Interface);
  Decide(DECISION_KIND::Service, EFI_ERROR(Found) ? DECISION_REASON::NotLocated : DECISION_REASON::Located,
         DECISION_NOWHERE, Service, Found);
  return EFI_ERROR(Found) ? nullptr : static_cast<Protocol *>(Interface);
}
