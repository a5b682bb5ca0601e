// What PlatformNotify answers and which calls do anything at all.
#include "Checks.h"
#include "PhasePlay.h"

namespace e2e {
namespace {

// What begin-enumeration locates, in order: the services every later action
// uses, then the configuration-block provider.
constexpr const EFI_GUID *kBeginEnumerationLocates[] = {&kPciRootBridgeIoProtocolGuid, &kFrameworkCpuIoProtocolGuid,
                                                        &kPlatformConfigBlockProtocolGuid};
constexpr UINTN kBeginEnumerationLocateCount = sizeof(kBeginEnumerationLocates) / sizeof(kBeginEnumerationLocates[0]);

void CheckStatuses() {
  Check Result("notify.returns-success");
  for (UINTN Index = 0; Index < kPhaseCallCount; ++Index) {
    Result.ExpectEqualAt(PhaseCallAt(Index).Status, EFI_SUCCESS, "PlatformNotify status, call", Index);
  }
  Result.Report();
}

// Every entry call, and the exit calls of phases the driver has no work for,
// leave the machine alone.
void CheckIdleCalls() {
  Check Result("notify.idle-calls");
  for (UINTN Index = 0; Index < kPhaseCallCount; ++Index) {
    const PhaseCall &Call = PhaseCallAt(Index);
    if (!Call.HasWork()) {
      Result.ExpectEqualAt(Call.LocateCount, 0, "LocateProtocol calls, call", Index);
      Result.ExpectEqualAt(Call.ConfigReads + Call.ConfigWriteCount, 0, "configuration accesses, call", Index);
      Result.ExpectEqualAt(Call.MemoryCount, 0, "CPU I/O memory accesses, call", Index);
      Result.ExpectEqualAt(Call.CallbackCount, 0, "callback calls, call", Index);
    }
  }
  Result.Report();
}

void CheckBeginEnumerationLocates() {
  Check Result("notify.begin-enumeration-locates");
  const PhaseCall &Call = FindPhaseCall(EfiPciHostBridgeBeginEnumeration, ChipsetExit);
  Result.ExpectEqual(Call.CallbackCount, 0, "callback calls");
  if (Result.ExpectEqual(Call.LocateCount, kBeginEnumerationLocateCount, "LocateProtocol calls")) {
    for (UINTN Index = 0; Index < kBeginEnumerationLocateCount; ++Index) {
      const LocateCall &Located = LocateCallAt(Call.LocateFirst + Index);
      Result.ExpectEqualAt(SameGuid(Located.Protocol, *kBeginEnumerationLocates[Index]) ? 1 : 0, 1,
                           "expected protocol GUID, call", Index);
      Result.ExpectStatus(Located.Status, EFI_SUCCESS, "LocateProtocol status");
    }
  }
  Result.Report();
}

} // namespace

void RunNotifyChecks(Scenario & /*Run*/) {
  CheckStatuses();
  CheckIdleCalls();
  CheckBeginEnumerationLocates();
}

} // namespace e2e
