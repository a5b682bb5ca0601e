// The in-firmware test application, started by OVMF's boot manager after a
// boot in which the driver under test, the test-support driver and the
// recorder were dispatched from the firmware volume. It only observes: it
// reads the recorder's record and the state the boot left, prints one line
// per check and shuts the machine down.
#include "Observation.h"
#include "tests/e2e/app/Checks.h"
#include "tests/e2e/app/Firmware.h"

namespace e2e::firmware {
namespace {

// Large: kept off the stack.
constinit Observation gSeen = {};

} // namespace

void Observe(Observation &Seen) {
  Seen.Record = LocateInterface<FirmwareRecord>(kFirmwareRecordGuid);
  HandleList RootBridges(&kPciRootBridgeIoProtocolGuid);
  Seen.RootBridgeHandle = RootBridges.Count() == 1 ? RootBridges[0] : nullptr;
  TakePciView(Seen.Pci);
  PrintPciView(Seen.Pci);
}

UINTN RecordedCalls(const FirmwareRecord &Record) {
  return Record.CallCount < kCallCapacity ? Record.CallCount : kCallCapacity;
}

UINTN FindNotify(const FirmwareRecord &Record, UINT32 Phase, UINT32 ChipsetPhase) {
  for (UINTN Index = 0; Index < RecordedCalls(Record); ++Index) {
    const PlatformCallRecord &Call = Record.Calls[Index];
    if (Call.Kind == PlatformCall::Notify && Call.Phase == Phase && Call.ChipsetPhase == ChipsetPhase) {
      return Index;
    }
  }
  return kNoCall;
}

void ReportMissingRecord(const char *Name) {
  Check Result(Name);
  Result.Expect(false, "no record of the boot");
  Result.Report();
}

} // namespace e2e::firmware

extern "C" EFI_STATUS EFIAPI InFirmwareAppEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  using namespace e2e;
  using namespace e2e::firmware;
  InitFirmware(ImageHandle, SystemTable);
  e2e::SetWatchdogTimer(gBootServices)(0, 0, 0, nullptr);
  Line().Text("E2E-BEGIN in-firmware").Print();

  Observe(gSeen);
  if (gSeen.Record != nullptr) {
    PrintCallSequence(*gSeen.Record);
  }
  RunDispatchChecks(gSeen);
  RunNotifyChecks(gSeen);
  RunControllerChecks(gSeen);
  RunCallbackChecks(gSeen);
  RunPlatformStateChecks(gSeen);
  DumpCapture(gSeen);
  // Last: it calls the driver, after every check of the boot's record.
  RunExampleChecks(gSeen);

  const EFI_STATUS Result = ChecksFailed() == 0 ? EFI_SUCCESS : EFI_DEVICE_ERROR;
  Line().Text("E2E-END passed=").Decimal(ChecksPassed()).Text(" failed=").Decimal(ChecksFailed()).Print();
  e2e::ResetSystem(gRuntimeServices)(EfiResetShutdown, Result, 0, nullptr);
  return Result;
}
