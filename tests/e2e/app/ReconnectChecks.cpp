// The firmware's own PCI bus driver calling the driver under test: the root
// bridge is disconnected and connected again, so the bus driver starts on it
// anew, finds the platform protocol and calls PlatformPrepController and
// GetPciRom for every device it finds.
#include "CallbackLog.h"
#include "Checks.h"
#include "Firmware.h"
#include "Scenario.h"
#include "Spies.h"

namespace e2e {
namespace {

constinit PciView gBefore = {};
constinit UINTN gCallbacksBefore = 0;
constinit UINTN gCallbacksAfter = 0;

struct CallCounts {
  UINTN PrepEntry;
  UINTN PrepExit;
  UINTN GetPciRom;
};

CallCounts CountCallsFor(const PciFunctionView &Function) {
  CallCounts Counts = {};
  for (UINTN Index = 0; Index < BusDriverCallCount() && Index < kBusDriverCallCapacity; ++Index) {
    const BusDriverCall &Call = BusDriverCallAt(Index);
    if (Call.Kind == BusDriverCallKind::PlatformPrepController && (Call.PciAddress & ~0xFFULL) == Function.Address()) {
      ++(Call.ChipsetPhase == ChipsetEntry ? Counts.PrepEntry : Counts.PrepExit);
    } else if (Call.Kind == BusDriverCallKind::GetPciRom && Call.Handle == Function.Handle) {
      ++Counts.GetPciRom;
    }
  }
  return Counts;
}

void CheckSameHierarchy(const Scenario &Run, EFI_STATUS Disconnected, EFI_STATUS Connected) {
  Check Result("reconnect.root-bridge");
  Result.ExpectStatus(Disconnected, EFI_SUCCESS, "DisconnectController");
  Result.ExpectStatus(Connected, EFI_SUCCESS, "ConnectController");
  Result.Expect(BusDriverCallCount() <= kBusDriverCallCapacity, "bus driver call log overflow");
  if (Result.ExpectEqual(Run.Pci.Count, gBefore.Count, "PCI I/O handles after the reconnect")) {
    for (UINTN Index = 0; Index < gBefore.Count; ++Index) {
      Result.ExpectEqualAt(Run.Pci.At(gBefore.Functions[Index].Bus, gBefore.Functions[Index].Device,
                                      gBefore.Functions[Index].Function) != nullptr
                               ? 1
                               : 0,
                           1, "function present again", Index);
    }
  }
  Result.Report();
}

// Every function gets its calls, each names the one root bridge at register
// 0 and is answered with success.
void CheckPrepController(const Scenario &Run) {
  Check Result("reconnect.prep-controller");
  UINTN Calls = 0;
  for (UINTN Index = 0; Index < BusDriverCallCount() && Index < kBusDriverCallCapacity; ++Index) {
    const BusDriverCall &Call = BusDriverCallAt(Index);
    if (Call.Kind != BusDriverCallKind::PlatformPrepController) {
      continue;
    }
    ++Calls;
    Result.ExpectStatus(Call.Status, EFI_SUCCESS, "PlatformPrepController status");
    Result.Expect(Call.Handle == Run.RootBridgeHandle, "PlatformPrepController named another root bridge");
    Result.ExpectEqualAt(Call.PciAddress & 0xFF, 0, "register byte of the address, call", Index);
  }
  for (UINTN Index = 0; Index < Run.Pci.Count; ++Index) {
    const CallCounts Counts = CountCallsFor(Run.Pci.Functions[Index]);
    Result.Expect(Counts.PrepEntry > 0 && Counts.PrepEntry == Counts.PrepExit,
                  "a function without matching entry and exit calls");
  }
  Result.Expect(Calls > 0, "the bus driver never called PlatformPrepController");
  Result.Report();
}

// The bus driver asks once per device whose option ROM it has not already
// processed in an earlier enumeration (QEMU's VGA brings its own), and no
// QEMU device matches a row of the board's option ROM table.
void CheckGetPciRom(const Scenario &Run) {
  Check Result("reconnect.get-pci-rom");
  UINTN Calls = 0;
  for (UINTN Index = 0; Index < BusDriverCallCount() && Index < kBusDriverCallCapacity; ++Index) {
    const BusDriverCall &Call = BusDriverCallAt(Index);
    if (Call.Kind == BusDriverCallKind::GetPciRom) {
      ++Calls;
      Result.Expect(Run.Pci.Find(Call.Handle) != nullptr, "GetPciRom for a handle without PCI I/O");
      Result.ExpectStatus(Call.Status, EFI_NOT_FOUND, "GetPciRom status");
    }
  }
  for (UINTN Index = 0; Index < Run.Pci.Count; ++Index) {
    Result.Expect(CountCallsFor(Run.Pci.Functions[Index]).GetPciRom <= 1, "GetPciRom asked twice for one handle");
  }
  Result.Expect(Calls > 0, "the bus driver never called GetPciRom");
  Line()
      .Text("INFO reconnect: GetPciRom for ")
      .Decimal(Calls)
      .Text(" of ")
      .Decimal(Run.Pci.Count)
      .Text(" devices")
      .Print();
  Result.Report();
}

// The bus driver's calls dispatch callbacks only from PlatformPrepController
// entry calls before child-bus enumeration: exactly one call of the
// prepare-controller callback each, with the address as passed. (QEMU's
// firmware, re-enumerating a known root bridge, sends none of them.)
void CheckCallbacks(const Scenario &Run) {
  Check Result("reconnect.callbacks");
  UINTN Dispatches = 0;
  UINTN Logged = gCallbacksBefore;
  for (UINTN Index = 0; Index < BusDriverCallCount() && Index < kBusDriverCallCapacity; ++Index) {
    const BusDriverCall &Call = BusDriverCallAt(Index);
    if (Call.Kind != BusDriverCallKind::PlatformPrepController || Call.Phase != EfiPciBeforeChildBusEnumeration ||
        Call.ChipsetPhase != ChipsetEntry) {
      continue;
    }
    ++Dispatches;
    const CallbackCall &Got = CallbackCallAt(Logged++);
    Result.ExpectEqualAt(static_cast<UINT64>(Got.Id), static_cast<UINT64>(CallbackId::PrepController),
                         "callback, dispatch", Dispatches);
    Result.ExpectEqualAt(Got.PciAddress, Call.PciAddress, "address, dispatch", Dispatches);
    Result.Expect(Got.RootBridgeHandle == Run.RootBridgeHandle, "not the first root bridge handle");
  }
  Result.ExpectEqual(gCallbacksAfter - gCallbacksBefore, Dispatches, "callback calls");
  Line().Text("INFO reconnect: ").Decimal(Dispatches).Text(" prepare-controller dispatches").Print();
  Result.Report();
}

} // namespace

void RunReconnectChecks(Scenario &Run) {
  TakePciView(gBefore);
  StartBusDriverRecorder(Run.Platform);
  gCallbacksBefore = CallbackCallCount();
  const EFI_STATUS Disconnected = e2e::DisconnectController(gBootServices)(Run.RootBridgeHandle, nullptr, nullptr);
  const EFI_STATUS Connected = e2e::ConnectController(gBootServices)(Run.RootBridgeHandle, nullptr, nullptr, 1);
  gCallbacksAfter = CallbackCallCount();
  StopBusDriverRecorder();
  TakePciView(Run.Pci);
  PrintPciView(Run.Pci);
  CheckSameHierarchy(Run, Disconnected, Connected);
  CheckPrepController(Run);
  CheckGetPciRom(Run);
  CheckCallbacks(Run);
}

} // namespace e2e
