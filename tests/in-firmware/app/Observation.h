// What the observing application looks at: the recorder's record of the boot,
// the driver as the firmware dispatched it, and the PCI hierarchy OVMF's bus
// driver left behind. Nothing here calls the driver under test.
#pragma once

#include "tests/e2e/app/PciView.h"
#include "tests/in-firmware/common/FirmwareRecord.h"

namespace e2e::firmware {

struct Observation {
  const FirmwareRecord *Record = nullptr;
  EFI_HANDLE RootBridgeHandle = nullptr;
  PciView Pci;
};

void Observe(Observation &Seen);

// The index of the Notify call for Phase and ChipsetPhase (the first one when
// a phase repeats), or kNoCall.
UINTN FindNotify(const FirmwareRecord &Record, UINT32 Phase, UINT32 ChipsetPhase);
// The calls recorded, bounded by the record's capacity.
UINTN RecordedCalls(const FirmwareRecord &Record);

// A check that cannot run without the record: reported as failed.
void ReportMissingRecord(const char *Name);

void RunDispatchChecks(const Observation &Seen);
void RunNotifyChecks(const Observation &Seen);
void RunControllerChecks(const Observation &Seen);
void RunCallbackChecks(const Observation &Seen);
void RunPlatformStateChecks(const Observation &Seen);
// The C example driver's report; asks the driver for one device's option ROM.
void RunExampleChecks(const Observation &Seen);
// The recorder's configuration capture, in the `lspci -xxxx` form.
void DumpCapture(const Observation &Seen);
// The calls as INFO lines, runs of PrepController and GetPciRom abridged.
void PrintCallSequence(const FirmwareRecord &Record);

} // namespace e2e::firmware
