#include "SetupData.h"

#include "core/Driver.h"

EFI_STATUS LoadSetupData() {
  UINTN Size = SETUP_DATA_SIZE;
  return mRuntimeServices->GetVariable(SETUP_VARIABLE_NAME, &SETUP_VARIABLE_GUID, nullptr, &Size, mSetupData);
}
