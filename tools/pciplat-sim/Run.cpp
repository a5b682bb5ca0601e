#include "Run.h"

#include "LspciDump.h"
#include "MachineBuilder.h"
#include "PciCallback.h"
#include "PciOptionRomSet.h"
#include "ReportJson.h"
#include "pcie/LinkTuning.h"
#include "sim/CallbackRecorder.h"
#include "sim/ConfigBlockProvider.h"
#include "sim/FirmwareVolume.h"
#include "sim/Guid.h"
#include "sim/IoApic.h"
#include "sim/PciIoDevice.h"
#include "sim/Sequencer.h"

namespace pciplat {

namespace {

constexpr EFI_GUID kCallbackProtocolGuid = PCI_CALLBACK_PROTOCOL_GUID;
constexpr EFI_GUID kOptionRomSetGuid = PCI_OPTION_ROM_SET_GUID;

ConfigSpaces TakeSnapshot(const sim::PciBus &Bus) {
  ConfigSpaces Spaces;
  for (const auto &[Location, Function] : Bus.Functions()) {
    Spaces[Location] = Function->Bytes();
  }
  return Spaces;
}

// The file as the volume holds it, or null.
const BoardFile *VolumeHolds(const BoardVolume &Volume, const EFI_GUID &File) {
  for (const BoardFile &Held : Volume.Files) {
    if (Held.Guid == File) {
      return Volume.Unreadable ? nullptr : &Held;
    }
  }
  return nullptr;
}

// What one run shares between its steps.
struct Run {
  const Board &Layout;
  sim::Machine &Machine;
  std::vector<sim::FirmwareVolume *> Volumes;
  RunRecord Record;
};

std::vector<size_t> SectionReadCounts(const Run &State) {
  std::vector<size_t> Counts;
  for (const sim::FirmwareVolume *Volume : State.Volumes) {
    Counts.push_back(Volume->SectionReads().size());
  }
  return Counts;
}

// The files the driver read since ReadsBefore; the volumes log every read,
// found or not, and the board says which hit.
std::vector<std::string> FilesRead(const Run &State, const std::vector<size_t> &ReadsBefore) {
  std::vector<std::string> Files;
  for (size_t Index = 0; Index < State.Volumes.size(); ++Index) {
    const auto &Reads = State.Volumes[Index]->SectionReads();
    for (size_t Read = ReadsBefore[Index]; Read < Reads.size(); ++Read) {
      if (const BoardFile *Held = VolumeHolds(State.Layout.Volumes[Index], Reads[Read])) {
        Files.push_back(sim::FormatGuid(Reads[Read]) + " from volume " + std::to_string(Index) +
                        (Held->Size == 0 ? ": an empty section, which counts as no file" : ""));
      }
    }
  }
  return Files;
}

// The bus driver installs PCI I/O on a device, then asks for its option ROM.
OptionRomAnswer RequestOptionRom(Run &State, sim::PlatformCallRecorder &Platform, const sim::Bdf &Location) {
  sim::PciIoDevice &Device = State.Machine.AddPciIoDevice(Location);
  const std::vector<size_t> ReadsBefore = SectionReadCounts(State);
  VOID *Image = nullptr;
  UINTN Size = 0;
  EFI_PCI_PLATFORM_PROTOCOL &Driver = Platform.Protocol();
  OptionRomAnswer Answer;
  Answer.Status = Driver.GetPciRom(&Driver, Device.Handle(), &Image, &Size);
  Answer.ImageReturned = Image != nullptr;
  Answer.Size = Size;
  Answer.FilesRead = FilesRead(State, ReadsBefore);
  Answer.VolumesRead = SectionReadCounts(State) != ReadsBefore;
  if (const auto *Set =
          static_cast<const PCI_OPTION_ROM_SET *>(State.Machine.Handles().Find(Device.Handle(), kOptionRomSetGuid))) {
    Answer.SetImages = Set->Count;
  }
  return Answer;
}

void RegisterRecordingCallback(sim::Machine &Machine) {
  VOID *Callbacks = nullptr;
  if (!EFI_ERROR(Machine.Handles().LocateProtocol(kCallbackProtocolGuid, &Callbacks))) {
    (void)sim::CallbackRecorder::Register(static_cast<PCI_CALLBACK_PROTOCOL *>(Callbacks), 0,
                                          PCI_CALLBACK_PREP_CONTROLLER | PCI_CALLBACK_BEGIN_ALLOCATION |
                                              PCI_CALLBACK_END_ALLOCATION);
  }
}

// The platform's side of the run as it stands afterwards: the blocks the
// provider holds and the I/O APIC IDs, read back outside the access log.
void RecordPlatform(Run &State, sim::ConfigBlockProvider &Blocks) {
  for (const BoardConfigBlock &Block : State.Layout.ConfigBlocks) {
    const std::u16string Name(Block.Name.begin(), Block.Name.end());
    if (State.Layout.ConfigBlockProvider && Blocks.Has(Name)) {
      State.Record.ConfigBlocks[Block.Name] = {Blocks.Block(Name), Blocks.Requests(Name)};
    }
  }
  for (const UINT64 Base : State.Layout.IoApics) {
    State.Machine.Physical().Write(Base + sim::IoApic::kIndexOffset, 4, sim::IoApic::kIdRegister);
    State.Record.IoApicIds.emplace_back(Base, State.Machine.Physical().Read(Base + sim::IoApic::kDataOffset, 4) >> 24);
  }
}

void RecordFunctions(Run &State, const sim::CallbackRecorder &Callbacks) {
  for (const auto &[Location, Function] : State.Machine.Pci().Functions()) {
    if (!Function->RetrainPolls().empty()) {
      State.Record.RetrainPolls[Location] = Function->RetrainPolls();
    }
  }
  for (const auto &Call : Callbacks.Calls()) {
    State.Record.CallbackCalls.push_back({{Call.Bus(), Call.Device(), Call.Function()}, Call.Mask});
  }
}

// The enumeration itself, then an option ROM request for every function found.
void Enumerate(Run &State, EFI_PCI_PLATFORM_PROTOCOL &Driver, const RunOptions &Options) {
  sim::CallbackRecorder Recorder;
  RegisterRecordingCallback(State.Machine);
  sim::PlatformCallRecorder Platform(State.Machine, Driver);
  sim::PciBusDriverSequencer Sequencer(State.Machine, Platform.Protocol());
  Sequencer.Enumerate(Options.Sequence);
  State.Record.Found = Sequencer.Found();
  State.Record.DriverCalls = Sequencer.Calls().size();
  for (const sim::Bdf &Location : State.Record.Found) {
    State.Record.OptionRoms[Location] = RequestOptionRom(State, Platform, Location);
  }
  RecordFunctions(State, Recorder);
  State.Record.PlatformCalls = Platform.Calls();
  State.Record.Calls = {{0, "driver entry point"}};
  const std::vector<sim::CallMark> Marks = sim::CallMarks(Platform.Calls());
  State.Record.Calls.insert(State.Record.Calls.end(), Marks.begin(), Marks.end());
  State.Record.Enumerated = true;
}

RunRecord RecordBefore(const Board &Layout, sim::Machine &Machine) {
  RunRecord Record;
  Record.Before = TakeSnapshot(Machine.Pci());
  for (const Board::Function &Function : Layout.Functions) {
    if (Function.CapturedBytes < sim::kConfigSpaceSize) {
      Record.Captured[Function.Location] = Function.CapturedBytes;
    }
  }
  Record.WindowDecoded = Layout.ConfigWindow;
  return Record;
}

} // namespace

RunResult RunBoard(const Board &Layout, const RunOptions &Options) {
  RunResult Result;
  sim::Machine Machine;
  BuildMachine(Layout, Machine);
  if (Options.DisableAspm) {
    Machine.Variables().Set(DISABLE_ASPM_VARIABLE_NAME, DISABLE_ASPM_VARIABLE_GUID, {1});
  }
  Run State{Layout, Machine, BuildFirmwareVolumes(Layout, Machine), {}};
  sim::ConfigBlockProvider Blocks;
  BuildConfigBlocks(Layout, Machine, Blocks);
  State.Record = RecordBefore(Layout, Machine);
  Result.DumpBefore = FormatLspciDump(Machine.Pci());

  State.Record.EntryStatus = Machine.LoadDriver();
  if (EFI_PCI_PLATFORM_PROTOCOL *Platform = Machine.PciPlatform();
      !EFI_ERROR(State.Record.EntryStatus) && Platform != nullptr) {
    Enumerate(State, *Platform, Options);
    RecordPlatform(State, Blocks);
  }
  State.Record.StallMicroseconds = Machine.ElapsedMicroseconds();
  State.Record.Faults = Machine.Faults();
  State.Record.Accesses = Machine.Log().All();
  State.Record.Decisions = Machine.Decisions();
  State.Record.After = TakeSnapshot(Machine.Pci());
  Result.DumpAfter = FormatLspciDump(Machine.Pci());
  Result.Record = std::move(State.Record);
  Result.Report = BuildReport(Layout, Options, Result.Record);
  return Result;
}

} // namespace pciplat
