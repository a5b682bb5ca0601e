// The driver came from the firmware volume and the recorder was in place; and
// the calls of the boot, abridged, for the console log.
#include "Observation.h"
#include "tests/e2e/app/Checks.h"
#include "tests/e2e/app/Firmware.h"

namespace e2e::firmware {
namespace {

// PI specification, volume 3, section 3.2.2: firmware file device path node.
constexpr UINT8 kMediaPiwgFirmwareFileSubtype = 0x06;
constexpr UINTN kDevicePathHeaderBytes = 4;

bool DispatchedFromVolume(const EFI_GUID &FileGuid) {
  HandleList Images(&kLoadedImageProtocolGuid);
  for (UINTN Index = 0; Index < Images.Count(); ++Index) {
    const auto *Image = HandleInterface<EFI_LOADED_IMAGE_PROTOCOL>(Images[Index], kLoadedImageProtocolGuid);
    const auto *Node = Image != nullptr ? reinterpret_cast<const UINT8 *>(Image->FilePath) : nullptr;
    if (Node != nullptr && Node[0] == MEDIA_DEVICE_PATH && Node[1] == kMediaPiwgFirmwareFileSubtype &&
        BytesEqual(Node + kDevicePathHeaderBytes, &FileGuid, sizeof(EFI_GUID))) {
      return true;
    }
  }
  return false;
}

void CheckDispatched() {
  Check Result("fw.dispatched");
  Result.Expect(DispatchedFromVolume(kPciPlatformDxeFileGuid) || DispatchedFromVolume(kPciPlatformDxeDebugFileGuid),
                "no image of the volume's PciPlatformDxe file is loaded (not dispatched, or its entry point failed)");
  Result.Expect(LocateInterface<EFI_PCI_PLATFORM_PROTOCOL>(kPciPlatformProtocolGuid) != nullptr,
                "EFI_PCI_PLATFORM_PROTOCOL is not installed (entry point failed?)");
  Result.Report();
}

void CheckRecorder(const Observation &Seen) {
  Check Result("fw.recorder");
  if (Result.Expect(Seen.Record != nullptr, "the recorder's record is missing (recorder not dispatched?)")) {
    const FirmwareRecord &Record = *Seen.Record;
    Result.ExpectStatus(Record.SetupStatus, EFI_SUCCESS, "storing Setup");
    Result.ExpectStatus(Record.HookStatus, EFI_SUCCESS, "recording the platform calls");
    Result.ExpectStatus(Record.CallbackStatus, EFI_SUCCESS, "registering the recording callback");
    Result.Expect(Record.Support != nullptr, "the support driver's report is missing");
    Result.Expect(Record.CallCount <= kCallCapacity, "more platform calls than the record holds");
    Result.Expect(Record.VisitCount <= kVisitCapacity, "more callback visits than the record holds");
  }
  Result.Expect(Seen.RootBridgeHandle != nullptr, "not exactly one PCI root bridge");
  Result.Expect(!EFI_ERROR(Seen.Pci.Status) && Seen.Pci.Count > 0, "no PCI I/O handles");
  Result.Report();
}

const char *PhaseName(UINT32 Phase) {
  constexpr const char *kNames[] = {"BeginEnumeration",        "BeginBusAllocation",    "EndBusAllocation",
                                    "BeginResourceAllocation", "AllocateResources",     "SetResources",
                                    "FreeResources",           "EndResourceAllocation", "EndEnumeration"};
  return Phase < sizeof(kNames) / sizeof(kNames[0]) ? kNames[Phase] : "?";
}

bool IsControllerCall(const PlatformCallRecord &Call) {
  return Call.Kind == PlatformCall::PrepController || Call.Kind == PlatformCall::GetPciRom;
}

// A run of PrepController and GetPciRom calls in one line.
UINTN PrintControllerRun(const FirmwareRecord &Record, UINTN First) {
  UINTN ChildBus = 0;
  UINTN ResourceCollection = 0;
  UINTN Roms = 0;
  UINTN Index = First;
  for (; Index < RecordedCalls(Record) && IsControllerCall(Record.Calls[Index]); ++Index) {
    const PlatformCallRecord &Call = Record.Calls[Index];
    if (Call.Kind == PlatformCall::GetPciRom) {
      ++Roms;
    } else if (Call.ChipsetPhase == ChipsetEntry) {
      ++(Call.Phase == EfiPciBeforeChildBusEnumeration ? ChildBus : ResourceCollection);
    }
  }
  Line()
      .Text("INFO calls ")
      .Decimal(First)
      .Text("-")
      .Decimal(Index - 1)
      .Text(": PlatformPrepController before-child-bus x")
      .Decimal(ChildBus)
      .Text(", before-resource-collection x")
      .Decimal(ResourceCollection)
      .Text(" (entry+exit each); GetPciRom x")
      .Decimal(Roms)
      .Print();
  return Index;
}

} // namespace

void PrintCallSequence(const FirmwareRecord &Record) {
  Line().Text("INFO platform calls recorded: ").Decimal(Record.CallCount).Print();
  for (UINTN Index = 0; Index < RecordedCalls(Record);) {
    const PlatformCallRecord &Call = Record.Calls[Index];
    if (IsControllerCall(Call)) {
      Index = PrintControllerRun(Record, Index);
      continue;
    }
    Line Text;
    Text.Text("INFO call ").Decimal(Index).Text(": ");
    if (Call.Kind == PlatformCall::Notify) {
      Text.Text("PlatformNotify ")
          .Text(PhaseName(Call.Phase))
          .Text(Call.ChipsetPhase == ChipsetEntry ? " entry" : " exit");
    } else {
      Text.Text("GetPlatformPolicy");
    }
    Text.Text(" -> ").Status(Call.Status).Print();
    ++Index;
  }
}

void RunDispatchChecks(const Observation &Seen) {
  CheckDispatched();
  CheckRecorder(Seen);
}

} // namespace e2e::firmware
