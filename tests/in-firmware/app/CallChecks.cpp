// The calls OVMF's PCI bus driver made into the driver: PlatformNotify for
// every phase, entry then exit, in an order a full enumeration takes;
// GetPlatformPolicy once; PlatformPrepController for every function with both
// controller phases; GetPciRom once per device.
#include "Observation.h"
#include "tests/e2e/app/Checks.h"

namespace e2e::firmware {
namespace {

constexpr UINT32 kNoPhase = ~static_cast<UINT32>(0);
constexpr UINT64 kRegisterMask = 0xFF;
constexpr UINT8 kHeaderTypeOffset = 0x0E;
constexpr UINT8 kHeaderTypeLayoutMask = 0x7F;
constexpr UINT8 kHeaderTypeBridge = 0x01;
constexpr UINT8 kSecondaryBusOffset = 0x19;

// The host-bridge phases that may follow Previous: a second bus-allocation
// pass (hot-plug), FreeResources and a retry after a failed allocation.
bool MayFollow(UINT32 Previous, UINT32 Next) {
  switch (Previous) {
  case kNoPhase:
    return Next == EfiPciHostBridgeBeginEnumeration;
  case EfiPciHostBridgeBeginEnumeration:
    return Next == EfiPciHostBridgeBeginBusAllocation;
  case EfiPciHostBridgeBeginBusAllocation:
    return Next == EfiPciHostBridgeEndBusAllocation;
  case EfiPciHostBridgeEndBusAllocation:
    return Next == EfiPciHostBridgeBeginBusAllocation || Next == EfiPciHostBridgeBeginResourceAllocation;
  case EfiPciHostBridgeBeginResourceAllocation:
    return Next == EfiPciHostBridgeAllocateResources;
  case EfiPciHostBridgeAllocateResources:
    return Next == EfiPciHostBridgeSetResources || Next == EfiPciHostBridgeFreeResources;
  case EfiPciHostBridgeFreeResources:
    return Next == EfiPciHostBridgeAllocateResources;
  case EfiPciHostBridgeSetResources:
    return Next == EfiPciHostBridgeEndResourceAllocation;
  case EfiPciHostBridgeEndResourceAllocation:
    return Next == EfiPciHostBridgeEndEnumeration;
  default:
    return false;
  }
}

EFI_HANDLE HostBridgeOf(const FirmwareRecord &Record) {
  const UINTN First = FindNotify(Record, EfiPciHostBridgeBeginEnumeration, ChipsetEntry);
  return First == kNoCall ? nullptr : Record.Calls[First].Handle;
}

void CheckNotifyOrder(const FirmwareRecord &Record) {
  Check Result("fw.notify-order");
  const UINTN Count = RecordedCalls(Record);
  const EFI_HANDLE HostBridge = HostBridgeOf(Record);
  UINT32 Previous = kNoPhase;
  for (UINTN Index = 0; Index < Count && !Result.Failed(); ++Index) {
    const PlatformCallRecord &Entry = Record.Calls[Index];
    if (Entry.Kind != PlatformCall::Notify) {
      continue;
    }
    const PlatformCallRecord &Exit = Record.Calls[Index + 1 < Count ? Index + 1 : Index];
    Result.ExpectEqualAt(Entry.ChipsetPhase, ChipsetEntry, "chipset phase of call", Index) &&
        Result.ExpectEqualAt(MayFollow(Previous, Entry.Phase) ? 1 : 0, 1, "phase allowed here, call", Index) &&
        Result.ExpectEqualAt(Exit.Kind == PlatformCall::Notify ? 1 : 0, 1, "exit call follows entry, call", Index) &&
        Result.ExpectEqualAt(Exit.Phase, Entry.Phase, "phase of the exit call after call", Index) &&
        Result.ExpectEqualAt(Exit.ChipsetPhase, ChipsetExit, "chipset phase after call", Index) &&
        Result.ExpectEqualAt(reinterpret_cast<UINTN>(Entry.Handle), reinterpret_cast<UINTN>(HostBridge),
                             "host bridge of call", Index) &&
        Result.ExpectEqualAt(Entry.Status | Exit.Status, EFI_SUCCESS, "status of call", Index);
    Previous = Entry.Phase;
    ++Index;
  }
  Result.ExpectEqual(Previous, EfiPciHostBridgeEndEnumeration, "last phase notified");
  Result.Report();
}

void CheckPolicy(const FirmwareRecord &Record) {
  Check Result("fw.policy-once");
  UINTN Calls = 0;
  UINTN At = kNoCall;
  for (UINTN Index = 0; Index < RecordedCalls(Record); ++Index) {
    if (Record.Calls[Index].Kind == PlatformCall::GetPolicy) {
      ++Calls;
      At = Index;
    }
  }
  if (Result.ExpectEqual(Calls, 1, "GetPlatformPolicy calls")) {
    Result.ExpectStatus(Record.Calls[At].Status, EFI_UNSUPPORTED, "GetPlatformPolicy (no policy)");
    // The bus driver asks while it sizes the I/O apertures of the resource allocation.
    Result.Expect(At > FindNotify(Record, EfiPciHostBridgeBeginResourceAllocation, ChipsetExit) &&
                      At < FindNotify(Record, EfiPciHostBridgeAllocateResources, ChipsetEntry),
                  "GetPlatformPolicy outside the sizing of the resource allocation");
  }
  Result.Report();
}

// The calls between two PlatformNotify calls, the bounds excluded.
struct Window {
  UINTN After;
  UINTN Before;
};

// The entry call of PlatformPrepController for Address in Phase within a
// window, and how many there were.
UINTN FindPrepEntry(const FirmwareRecord &Record, Window In, UINT64 Address, UINT32 Phase, UINTN *Calls) {
  UINTN Found = kNoCall;
  *Calls = 0;
  for (UINTN Index = In.After + 1; Index < In.Before && Index < RecordedCalls(Record); ++Index) {
    const PlatformCallRecord &Call = Record.Calls[Index];
    if (Call.Kind == PlatformCall::PrepController && Call.PciAddress == Address && Call.Phase == Phase &&
        Call.ChipsetPhase == ChipsetEntry) {
      ++*Calls;
      Found = Found == kNoCall ? Index : Found;
    }
  }
  return Found;
}

bool CheckPrepPair(Check &Result, const FirmwareRecord &Record, const Observation &Seen, Window In, UINT64 Address,
                   UINT32 Phase) {
  UINTN Calls = 0;
  const UINTN Entry = FindPrepEntry(Record, In, Address, Phase, &Calls);
  if (!Result.ExpectEqualAt(Calls, 1,
                            Phase == EfiPciBeforeChildBusEnumeration
                                ? "before-child-bus entry calls in the bus-allocation pass for address"
                                : "before-resource-collection entry calls before AllocateResources for address",
                            Address)) {
    return false;
  }
  const PlatformCallRecord &Call = Record.Calls[Entry];
  const PlatformCallRecord &Exit = Record.Calls[Entry + 1];
  return Result.ExpectEqualAt(Exit.Kind == PlatformCall::PrepController && Exit.PciAddress == Address &&
                                      Exit.Phase == Phase && Exit.ChipsetPhase == ChipsetExit
                                  ? 1
                                  : 0,
                              1, "exit call right after the entry call for address", Address) &&
         Result.ExpectEqualAt(reinterpret_cast<UINTN>(Call.RootBridge), reinterpret_cast<UINTN>(Seen.RootBridgeHandle),
                              "root bridge handle for address", Address) &&
         Result.ExpectEqualAt(reinterpret_cast<UINTN>(Call.Handle), reinterpret_cast<UINTN>(HostBridgeOf(Record)),
                              "host bridge handle for address", Address) &&
         Result.ExpectEqualAt(Call.Status | Exit.Status, EFI_SUCCESS, "status for address", Address);
}

// In a bus-allocation pass a bridge is prepared before any function on its
// secondary bus is.
bool CheckBridgeFirst(Check &Result, const FirmwareRecord &Record, Window Pass, const PciView &Pci,
                      const PciFunctionView &Bridge) {
  if ((Bridge.Header[kHeaderTypeOffset] & kHeaderTypeLayoutMask) != kHeaderTypeBridge) {
    return true;
  }
  UINTN Calls = 0;
  const UINTN BridgeAt = FindPrepEntry(Record, Pass, Bridge.Address(), EfiPciBeforeChildBusEnumeration, &Calls);
  for (UINTN Index = 0; Index < Pci.Count; ++Index) {
    const PciFunctionView &Child = Pci.Functions[Index];
    if (Child.Bus == Bridge.Header[kSecondaryBusOffset] &&
        !Result.ExpectEqualAt(
            FindPrepEntry(Record, Pass, Child.Address(), EfiPciBeforeChildBusEnumeration, &Calls) > BridgeAt ? 1 : 0, 1,
            "prepared after its bridge, address", Child.Address())) {
      return false;
    }
  }
  return true;
}

// Every function once per bus-allocation pass (OVMF makes a second one for
// hot-plug) before its child bus is scanned, and once between the begin of
// resource allocation and AllocateResources before its BARs are probed.
void CheckPrepController(const Observation &Seen) {
  Check Result("fw.prep-controller");
  const FirmwareRecord &Record = *Seen.Record;
  UINTN Calls = 0;
  UINTN Passes = 0;
  for (UINTN Index = 0; Index < RecordedCalls(Record); ++Index) {
    const PlatformCallRecord &Call = Record.Calls[Index];
    Passes += Call.Kind == PlatformCall::Notify && Call.Phase == EfiPciHostBridgeBeginBusAllocation &&
                      Call.ChipsetPhase == ChipsetExit
                  ? 1
                  : 0;
    if (Call.Kind == PlatformCall::PrepController) {
      ++Calls;
      Result.ExpectEqualAt(Call.PciAddress & kRegisterMask, 0, "register of the address, call", Index);
    }
  }
  Result.Expect(Passes > 0, "no bus-allocation pass");
  Result.ExpectEqual(Calls, Seen.Pci.Count * 2 * (Passes + 1),
                     "PlatformPrepController calls (entry+exit per function, per pass and for resource collection)");
  UINTN PassStart = 0;
  for (UINTN Pass = 0; Pass < Passes && !Result.Failed(); ++Pass) {
    Window In = {PassStart, RecordedCalls(Record)};
    for (UINTN Index = PassStart; Index < RecordedCalls(Record); ++Index) {
      const PlatformCallRecord &Call = Record.Calls[Index];
      if (Call.Kind == PlatformCall::Notify && Call.Phase == EfiPciHostBridgeBeginBusAllocation &&
          Call.ChipsetPhase == ChipsetExit && In.After == PassStart) {
        In.After = Index;
      } else if (Call.Kind == PlatformCall::Notify && Call.Phase == EfiPciHostBridgeEndBusAllocation &&
                 Call.ChipsetPhase == ChipsetEntry && In.After != PassStart) {
        In.Before = Index;
        break;
      }
    }
    for (UINTN Index = 0; Index < Seen.Pci.Count && !Result.Failed(); ++Index) {
      const PciFunctionView &Function = Seen.Pci.Functions[Index];
      CheckPrepPair(Result, Record, Seen, In, Function.Address(), EfiPciBeforeChildBusEnumeration) &&
          CheckBridgeFirst(Result, Record, In, Seen.Pci, Function);
    }
    PassStart = In.Before;
  }
  const Window Collection = {FindNotify(Record, EfiPciHostBridgeBeginResourceAllocation, ChipsetExit),
                             FindNotify(Record, EfiPciHostBridgeAllocateResources, ChipsetEntry)};
  for (UINTN Index = 0; Index < Seen.Pci.Count && !Result.Failed(); ++Index) {
    CheckPrepPair(Result, Record, Seen, Collection, Seen.Pci.Functions[Index].Address(),
                  EfiPciBeforeResourceCollection);
  }
  Result.Report();
}

void CheckGetPciRom(const Observation &Seen) {
  Check Result("fw.get-pci-rom");
  const FirmwareRecord &Record = *Seen.Record;
  UINTN Calls = 0;
  for (UINTN Index = 0; Index < RecordedCalls(Record); ++Index) {
    const PlatformCallRecord &Call = Record.Calls[Index];
    if (Call.Kind != PlatformCall::GetPciRom) {
      continue;
    }
    ++Calls;
    Result.ExpectEqualAt(Seen.Pci.Find(Call.Handle) != nullptr ? 1 : 0, 1, "a PCI I/O handle, call", Index);
    // Asked once the device's PCI I/O protocol is installed, after the enumeration.
    Result.ExpectEqualAt(Index > FindNotify(Record, EfiPciHostBridgeEndEnumeration, ChipsetExit) ? 1 : 0, 1,
                         "after the enumeration, call", Index);
    // No device of the q35 machine is in the board's option ROM table.
    Result.ExpectStatus(Call.Status, EFI_NOT_FOUND, "GetPciRom for a device without a table entry");
  }
  for (UINTN Index = 0; Index < Seen.Pci.Count; ++Index) {
    UINTN ForDevice = 0;
    for (UINTN Call = 0; Call < RecordedCalls(Record); ++Call) {
      ForDevice += Record.Calls[Call].Kind == PlatformCall::GetPciRom &&
                   Record.Calls[Call].Handle == Seen.Pci.Functions[Index].Handle;
    }
    Result.ExpectEqualAt(ForDevice, 1, "GetPciRom calls for the device at address",
                         Seen.Pci.Functions[Index].Address());
  }
  Result.ExpectEqual(Calls, Seen.Pci.Count, "GetPciRom calls");
  Result.Report();
}

} // namespace

void RunNotifyChecks(const Observation &Seen) {
  if (Seen.Record == nullptr) {
    ReportMissingRecord("fw.notify-order");
    ReportMissingRecord("fw.policy-once");
    return;
  }
  CheckNotifyOrder(*Seen.Record);
  CheckPolicy(*Seen.Record);
}

void RunControllerChecks(const Observation &Seen) {
  if (Seen.Record == nullptr) {
    ReportMissingRecord("fw.prep-controller");
    ReportMissingRecord("fw.get-pci-rom");
    return;
  }
  CheckPrepController(Seen);
  CheckGetPciRom(Seen);
}

} // namespace e2e::firmware
