// The end-to-end test application, started by QEMU's firmware as the boot
// program. It loads the test-support driver and the driver under test from
// its own volume, runs the scenario, prints one line per check and shuts the
// machine down.
#include "Checks.h"
#include "Firmware.h"
#include "PhasePlay.h"
#include "Scenario.h"

namespace {

// Large: keeps it off the stack.
constinit e2e::Scenario gScenario = {};

} // namespace

extern "C" EFI_STATUS EFIAPI E2eAppEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  using namespace e2e;
  InitFirmware(ImageHandle, SystemTable);
  e2e::SetWatchdogTimer(gBootServices)(0, 0, 0, nullptr);
  Line().Text("E2E-BEGIN").Print();

  LoadDrivers(gScenario);
  if (gScenario.Platform != nullptr && gScenario.Report != nullptr && gScenario.RootBridgeIo != nullptr) {
    RunEntryChecks(gScenario);
    RunCallbackRegistrationChecks(gScenario);
    RunReconnectChecks(gScenario);
    RecordPlatformStateBeforePhases(gScenario);
    PlayEnumerationPhases(gScenario);
    RunNotifyChecks(gScenario);
    RunWalkChecks(gScenario);
    RunPcieChecks(gScenario);
    RunPlatformChecks(gScenario);
    RunOptionRomChecks(gScenario);
  }

  const EFI_STATUS Result = ChecksFailed() == 0 ? EFI_SUCCESS : EFI_DEVICE_ERROR;
  Line().Text("E2E-END passed=").Decimal(ChecksPassed()).Text(" failed=").Decimal(ChecksFailed()).Print();
  e2e::ResetSystem(gRuntimeServices)(EfiResetShutdown, Result, 0, nullptr);
  return Result;
}
