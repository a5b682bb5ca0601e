#include "HostReset.h"

#include "base/FirmwareServices.h"
#include "platform/SetupData.h"

void ResetDriverImage() {
  ClearFirmwareServices();
  ClearSetupData();
}
