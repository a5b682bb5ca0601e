#include "SetupData.h"

#include "base/Decisions.h"
#include "base/FirmwareServices.h"

namespace {

// Setup switch value: Ethernet controllers get no option ROM.
constexpr UINT8 SETUP_ETHERNET_OPROM_DISABLED = 0;

UINT8 mSetupData[SETUP_DATA_SIZE];

} // namespace

void MarkSetupDataNotLoaded() { mSetupData[SETUP_ETHERNET_OPROM_OFFSET] = SETUP_DATA_NOT_LOADED; }

EFI_STATUS LoadSetupData() {
  UINTN Size = SETUP_DATA_SIZE;
  const EFI_STATUS Status =
      RuntimeServices()->GetVariable(SETUP_VARIABLE_NAME, &SETUP_VARIABLE_GUID, nullptr, &Size, mSetupData);
  Decide(DECISION_KIND::ConfigBlock,
         EFI_ERROR(Status) ? DECISION_REASON::VariableUnreadable : DECISION_REASON::VariableRead, DECISION_NOWHERE,
         DECISION_BLOCK_SETUP_VARIABLE, Status);
  return Status;
}

const UINT8 *SetupData() { return mSetupData; }

bool EthernetOptionRomsEnabled() {
  if (mSetupData[SETUP_ETHERNET_OPROM_OFFSET] == SETUP_DATA_NOT_LOADED && EFI_ERROR(LoadSetupData())) {
    mSetupData[SETUP_ETHERNET_OPROM_OFFSET] = SETUP_ETHERNET_OPROM_DISABLED;
  }
  return mSetupData[SETUP_ETHERNET_OPROM_OFFSET] != SETUP_ETHERNET_OPROM_DISABLED;
}

void ClearSetupData() {
  for (UINT8 &Byte : mSetupData) {
    Byte = 0;
  }
}
