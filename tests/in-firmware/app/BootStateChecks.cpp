// What the driver did in that boot besides answering the bus driver: the
// callback walks over the real hierarchy at begin- and end-resource-allocation,
// the configuration blocks written from Setup and the I/O APIC IDs programmed.
#include "Observation.h"
#include "PciCallback.h"
#include "platform/ConfigBlockProtocol.h"
#include "tests/e2e/app/Checks.h"
#include "tests/e2e/app/Firmware.h"
#include "tests/e2e/app/TestSetup.h"

namespace e2e::firmware {
namespace {

UINT16 HeaderWord(const PciFunctionView &Function, UINTN Offset) {
  return static_cast<UINT16>(Function.Header[Offset] | Function.Header[Offset + 1] << 8);
}

UINTN RecordedVisits(const FirmwareRecord &Record) {
  return Record.VisitCount < kVisitCapacity ? Record.VisitCount : kVisitCapacity;
}

// The walk at one point visits every function in walk order, inside the
// PlatformNotify exit call of its phase.
void CheckWalk(const Observation &Seen, const char *Name, UINT32 Mask, UINT32 Phase) {
  Check Result(Name);
  const FirmwareRecord &Record = *Seen.Record;
  const UINTN Notify = FindNotify(Record, Phase, ChipsetExit);
  Result.Expect(Notify != kNoCall, "phase never notified");
  UINTN Step = 0;
  for (UINTN Index = 0; Index < RecordedVisits(Record) && !Result.Failed(); ++Index) {
    const CallbackVisit &Visit = Record.Visits[Index];
    if (Visit.Mask != Mask) {
      continue;
    }
    if (!Result.ExpectEqualAt(Step < Seen.Pci.WalkCount ? 1 : 0, 1, "visits within the hierarchy, visit", Index)) {
      break;
    }
    const PciFunctionView &Function = Seen.Pci.Functions[Seen.Pci.WalkOrder[Step++]];
    Result.ExpectEqualAt(Visit.PciAddress, Function.Address(), "address in walk order, step", Step - 1) &&
        Result.ExpectEqualAt(Visit.VendorId, HeaderWord(Function, 0), "vendor ID, step", Step - 1) &&
        Result.ExpectEqualAt(Visit.DeviceId, HeaderWord(Function, 2), "device ID, step", Step - 1) &&
        Result.ExpectEqualAt(Visit.CallIndex, Notify, "ran in the phase's exit call, step", Step - 1) &&
        Result.ExpectEqualAt(reinterpret_cast<UINTN>(Visit.RootBridge), reinterpret_cast<UINTN>(Seen.RootBridgeHandle),
                             "root bridge handle, step", Step - 1);
  }
  Result.ExpectEqual(Step, Seen.Pci.WalkCount, "functions visited");
  Result.Report();
}

// One prepare-controller dispatch per before-child-bus entry call, with its address.
void CheckPrepDispatch(const Observation &Seen) {
  Check Result("fw.callback-prep-controller");
  const FirmwareRecord &Record = *Seen.Record;
  UINTN Dispatches = 0;
  for (UINTN Index = 0; Index < RecordedVisits(Record) && !Result.Failed(); ++Index) {
    const CallbackVisit &Visit = Record.Visits[Index];
    if (Visit.Mask != PCI_CALLBACK_PREP_CONTROLLER) {
      continue;
    }
    ++Dispatches;
    const bool InCall = Visit.CallIndex < RecordedCalls(Record);
    const PlatformCallRecord &Call = Record.Calls[InCall ? Visit.CallIndex : 0];
    Result.ExpectEqualAt(InCall && Call.Kind == PlatformCall::PrepController &&
                                 Call.Phase == EfiPciBeforeChildBusEnumeration && Call.ChipsetPhase == ChipsetEntry
                             ? 1
                             : 0,
                         1, "ran in a before-child-bus entry call, visit", Index) &&
        Result.ExpectEqualAt(Visit.PciAddress, Call.PciAddress, "address of visit", Index);
  }
  UINTN ChildBusEntries = 0;
  for (UINTN Index = 0; Index < RecordedCalls(Record); ++Index) {
    const PlatformCallRecord &Call = Record.Calls[Index];
    ChildBusEntries += Call.Kind == PlatformCall::PrepController && Call.Phase == EfiPciBeforeChildBusEnumeration &&
                               Call.ChipsetPhase == ChipsetEntry
                           ? 1
                           : 0;
  }
  Result.Expect(ChildBusEntries > 0, "no before-child-bus calls");
  Result.ExpectEqual(Dispatches, ChildBusEntries, "prepare-controller dispatches");
  Result.Report();
}

// The support driver filled both blocks at its entry in this boot: every byte
// that differs from the fill was written since.
void CheckConfigBlocks() {
  Check Result("fw.config-blocks");
  constexpr UINTN kDepConfIoApicOffset = 14;
  constexpr UINT32 kThirdIoApicBase = 0xFEC90000;
  const UINT8 *DepConf = ConfigBlock(kDepConfBlockName);
  const UINT8 *Conf = ConfigBlock(kConfBlockName);
  if (Result.Expect(DepConf != nullptr && Conf != nullptr, "configuration blocks not found")) {
    for (UINTN Offset = 0; Offset < kDepConfBlockSize; ++Offset) {
      const bool InField = Offset >= kDepConfIoApicOffset && Offset < kDepConfIoApicOffset + 4;
      const UINT8 Want =
          InField ? static_cast<UINT8>(kThirdIoApicBase >> (8 * (Offset - kDepConfIoApicOffset))) : kConfigBlockFill;
      Result.ExpectEqualAt(DepConf[Offset], Want, "QMX_DEP_CONF byte", Offset);
    }
    for (UINTN Offset = 0; Offset < kConfBlockSize; ++Offset) {
      const UINT8 Want = Offset < kSetupConfLength ? SetupByte(kSetupConfOffset + Offset) : kConfigBlockFill;
      Result.ExpectEqualAt(Conf[Offset], Want, "QMX_CONF byte", Offset);
    }
  }
  Result.Report();
}

constexpr UINT32 kIoApicBases[] = {0xFEC00000, 0xFEC80000, 0xFEC90000};
constexpr UINT8 kFirstIoApicId = 8;
constexpr UINT32 kIoApicIndex = 0x00;
constexpr UINT32 kIoApicData = 0x10;
constexpr UINT32 kIoApicIdShift = 24;
constexpr UINT32 kIoApicIdMask = 0x0F; // QEMU's I/O APIC keeps four ID bits
constexpr UINTN kAccessesPerIoApic = 5;

UINT32 ReadIoApicId() {
  auto *CpuIo = LocateInterface<EFI_CPU_IO2_PROTOCOL>(kCpuIo2ProtocolGuid);
  UINT32 Register = 0;
  UINT32 Value = 0xFFFFFFFF;
  if (CpuIo == nullptr ||
      EFI_ERROR(CpuIo->Mem.Write(CpuIo, EfiCpuIoWidthUint32, kIoApicBases[0] + kIoApicIndex, 1, &Register)) ||
      EFI_ERROR(CpuIo->Mem.Read(CpuIo, EfiCpuIoWidthUint32, kIoApicBases[0] + kIoApicData, 1, &Value))) {
    return 0xFFFFFFFF;
  }
  return Value >> kIoApicIdShift & kIoApicIdMask;
}

bool MarkedUnfitted(const SupportReport &Support, UINT32 Base) {
  for (UINTN Index = 0; Index < Support.UnfittedIoApicCount && Index < kUnfittedIoApicCapacity; ++Index) {
    if (Support.UnfittedIoApics[Index] == Base) {
      return true;
    }
  }
  return false;
}

struct ExpectedAccess {
  bool IsWrite;
  UINT32 Address;
  UINT32 Value;
};

// Per I/O APIC, a probe read, then ID and boot configuration; only the probe
// where the boot marked the I/O APIC as not fitted (it reads all ones).
UINTN ExpectedIoApicAccesses(const SupportReport &Support, ExpectedAccess (&Out)[kAccessesPerIoApic * 3]) {
  UINTN Count = 0;
  for (UINTN Apic = 0; Apic < 3; ++Apic) {
    const UINT32 Base = kIoApicBases[Apic];
    Out[Count++] = {false, Base, 0};
    if (MarkedUnfitted(Support, Base)) {
      continue;
    }
    Out[Count++] = {true, Base + kIoApicIndex, 0};
    Out[Count++] = {true, Base + kIoApicData, static_cast<UINT32>(kFirstIoApicId + Apic) << kIoApicIdShift};
    Out[Count++] = {true, Base + kIoApicIndex, 3};
    Out[Count++] = {true, Base + kIoApicData, 1};
  }
  return Count;
}

// Every CPU memory access of the boot came from the end-resource-allocation
// exit call.
void CheckIoApic(const Observation &Seen) {
  Check Result("fw.ioapic");
  const FirmwareRecord &Record = *Seen.Record;
  const SupportReport *Support = Record.Support;
  const UINTN Exit = FindNotify(Record, EfiPciHostBridgeEndResourceAllocation, ChipsetExit);
  ExpectedAccess Expected[kAccessesPerIoApic * 3] = {};
  const UINTN Count = Support != nullptr ? ExpectedIoApicAccesses(*Support, Expected) : 0;
  if (Result.Expect(Support != nullptr && Exit != kNoCall && Exit > 0, "no support report or phase call") &&
      Result.ExpectEqual(Support->MemoryLogCount, Count, "CPU I/O memory accesses in the boot") &&
      Result.ExpectEqual(Record.Calls[Exit - 1].MemoryAccessesAfter, 0, "accesses before the phase's exit call") &&
      Result.ExpectEqual(Record.Calls[Exit].MemoryAccessesAfter, Count, "accesses after the phase's exit call")) {
    for (UINTN Index = 0; Index < Count; ++Index) {
      const ExpectedAccess &Want = Expected[Index];
      const MemoryAccess &Got = Support->MemoryLog[Index];
      Result.ExpectEqualAt(Got.IsWrite, Want.IsWrite ? 1 : 0, "access is a write, access", Index);
      Result.ExpectEqualAt(Got.Address, Want.Address, "address, access", Index);
      if (Want.IsWrite) {
        Result.ExpectEqualAt(Got.Value, Want.Value, "value written, access", Index);
      }
    }
  }
  Result.ExpectEqual(ReadIoApicId(), kFirstIoApicId, "ID of the I/O APIC at 0xFEC00000 now");
  Result.Report();
}

} // namespace

void RunCallbackChecks(const Observation &Seen) {
  if (Seen.Record == nullptr) {
    ReportMissingRecord("fw.callback-begin-allocation");
    ReportMissingRecord("fw.callback-end-allocation");
    ReportMissingRecord("fw.callback-prep-controller");
    return;
  }
  CheckWalk(Seen, "fw.callback-begin-allocation", PCI_CALLBACK_BEGIN_ALLOCATION,
            EfiPciHostBridgeBeginResourceAllocation);
  CheckWalk(Seen, "fw.callback-end-allocation", PCI_CALLBACK_END_ALLOCATION, EfiPciHostBridgeEndResourceAllocation);
  CheckPrepDispatch(Seen);
}

void RunPlatformStateChecks(const Observation &Seen) {
  CheckConfigBlocks();
  if (Seen.Record == nullptr) {
    ReportMissingRecord("fw.ioapic");
    return;
  }
  CheckIoApic(Seen);
}

} // namespace e2e::firmware
