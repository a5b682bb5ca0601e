// The C example driver (examples/), dispatched from the volume beside the
// driver: its callback saw every call the recorder's did, and it read the
// option ROM set the driver attached to a device handle.
#include "Observation.h"
#include "PciOptionRomSet.h"
#include "tests/e2e/app/Checks.h"
#include "tests/e2e/app/FakePciIo.h"
#include "tests/e2e/app/Firmware.h"

namespace e2e::firmware {
namespace {

// The example's report, as examples/PciCallbackExample.c publishes it.
inline constexpr EFI_GUID kExampleReportGuid = {
    0x3F1B6E2C, 0x5A77, 0x4C1D, {0x9E, 0x0B, 0x8D, 0x2A, 0x4C, 0x6F, 0x1E, 0x93}};
struct ExampleReport {
  UINT32 PrepController;
  UINT32 BeginAllocation;
  UINT32 EndAllocation;
  UINT32 WithoutServices;
  UINT32 SetsRead;
  UINT32 ImagesRead;
  UINT64 ImageBytes;
  EFI_STATUS RegisterStatus;
};

// The callback points' mask bits, as published.
constexpr UINT32 kPrepController = 1;
constexpr UINT32 kBeginAllocation = 2;
constexpr UINT32 kEndAllocation = 4;

// An onboard device the option ROM table gives two images (device 31,
// function 2, 8086:2682), whose files the support driver's volume holds.
constexpr UINT16 kIntelVendorId = 0x8086;
constexpr UINT16 kTwoImageDeviceId = 0x2682;
constexpr UINT16 kStorageClassWord = 0x0101;

constinit FakePciDevice gTwoImageDevice = {};

UINT32 RecorderVisits(const FirmwareRecord &Record, UINT32 Mask) {
  UINT32 Visits = 0;
  const UINTN Count = Record.VisitCount < kVisitCapacity ? Record.VisitCount : kVisitCapacity;
  for (UINTN Index = 0; Index < Count; ++Index) {
    Visits += Record.Visits[Index].Mask == Mask ? 1 : 0;
  }
  return Visits;
}

void CheckExampleCallbacks(const Observation &Seen, const ExampleReport *Report) {
  Check Result("example.callbacks");
  if (Result.Expect(Report != nullptr, "the example's report is missing (not dispatched?)") &&
      Result.ExpectStatus(Report->RegisterStatus, EFI_SUCCESS, "registering the example's callback") &&
      Result.Expect(Seen.Record != nullptr, "no record of the boot")) {
    Result.ExpectEqual(Report->PrepController, RecorderVisits(*Seen.Record, kPrepController),
                       "prepare-controller calls, against the recorder's");
    Result.ExpectEqual(Report->BeginAllocation, RecorderVisits(*Seen.Record, kBeginAllocation),
                       "begin-allocation calls, against the recorder's");
    Result.ExpectEqual(Report->EndAllocation, RecorderVisits(*Seen.Record, kEndAllocation),
                       "end-allocation calls, against the recorder's");
    Result.ExpectEqual(Report->BeginAllocation, Seen.Pci.WalkCount, "begin-allocation calls, against the functions");
    Result.ExpectEqual(Report->WithoutServices, 0, "walk calls whose record lacked root bridge or CPU I/O");
  }
  Result.Report();
}

// The bus driver asks for the option ROM of a device after enumeration; the
// driver attaches the set then, and the example reads it in its notification.
void CheckExampleReadsSet(const ExampleReport *Report) {
  Check Result("example.option-rom-set");
  auto *Platform = LocateInterface<EFI_PCI_PLATFORM_PROTOCOL>(kPciPlatformProtocolGuid);
  if (Result.Expect(Report != nullptr && Platform != nullptr, "no example report or no platform protocol") &&
      Result.ExpectStatus(
          InstallFakePciDevice(gTwoImageDevice, 0, 31, 2, kIntelVendorId, kTwoImageDeviceId, kStorageClassWord),
          EFI_SUCCESS, "installing the PCI I/O handle")) {
    VOID *Image = nullptr;
    UINTN Size = 0;
    Result.ExpectStatus(Platform->GetPciRom(Platform, gTwoImageDevice.Handle, &Image, &Size), EFI_SUCCESS, "GetPciRom");
    const auto *Set = HandleInterface<PCI_OPTION_ROM_SET>(gTwoImageDevice.Handle, kPciOptionRomSetGuid);
    if (Result.Expect(Set != nullptr && Set->Count == 2, "no set of two images on the handle")) {
      Result.ExpectEqual(Report->SetsRead, 1, "sets the example read");
      Result.ExpectEqual(Report->ImagesRead, 2, "images the example read");
      Result.ExpectEqual(Report->ImageBytes, Set->Images[0].Size + Set->Images[1].Size, "bytes the example saw");
    }
  }
  Result.Report();
}

} // namespace

void RunExampleChecks(const Observation &Seen) {
  const auto *Report = LocateInterface<ExampleReport>(kExampleReportGuid);
  CheckExampleCallbacks(Seen, Report);
  CheckExampleReadsSet(Report);
}

} // namespace e2e::firmware
