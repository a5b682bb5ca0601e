#include "sim/WholeEnumeration.h"

#include "sim/PciIoDevice.h"
#include "sim/PlatformCalls.h"
#include "sim/Sequencer.h"

namespace sim {

EnumerationCounts RunWholeEnumeration(Machine &Board) {
  EnumerationCounts Result{Board.LoadDriver(), 0, {}, {}};
  EFI_PCI_PLATFORM_PROTOCOL *Driver = Board.PciPlatform();
  if (EFI_ERROR(Result.EntryStatus) || Driver == nullptr) {
    return Result;
  }
  PlatformCallRecorder Recorder(Board, *Driver);
  EFI_PCI_PLATFORM_PROTOCOL &Platform = Recorder.Protocol();
  PciBusDriverSequencer Sequencer(Board, Platform);
  Sequencer.Enumerate();
  for (const Bdf &Location : Sequencer.Found()) {
    PciIoDevice &Device = Board.AddPciIoDevice(Location);
    VOID *Image = nullptr;
    UINTN Size = 0;
    (void)Platform.GetPciRom(&Platform, Device.Handle(), &Image, &Size);
  }
  Result.Functions = Sequencer.Found().size();
  Result.ByCall = AccessesByCall(Recorder.Calls());
  Result.Total = TotalAccesses(Result.ByCall);
  return Result;
}

} // namespace sim
