#include "TestSetup.h"

#include "Firmware.h"

namespace e2e {

EFI_STATUS StoreSetupVariable() {
  UINT8 Data[kSetupSize];
  for (UINTN Offset = 0; Offset < kSetupSize; ++Offset) {
    Data[Offset] = SetupByte(Offset);
  }
  return e2e::SetVariable(gRuntimeServices)(kSetupName, &kSetupVariableGuid,
                                            EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS, sizeof(Data),
                                            Data);
}

} // namespace e2e
