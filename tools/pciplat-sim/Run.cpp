#include "Run.h"

#include "LspciDump.h"
#include "PciCallback.h"
#include "PciNames.h"
#include "PciOptionRomSet.h"
#include "driver/Driver.h"
#include "pci/PciRegisters.h"
#include "pci/PcieCapability.h"
#include "sim/CallbackRecorder.h"
#include "sim/ConfigBlockProvider.h"
#include "sim/FirmwareVolume.h"
#include "sim/Guid.h"
#include "sim/IoApic.h"
#include "sim/PciIoDevice.h"
#include "sim/Sequencer.h"

#include <cstdio>
#include <map>
#include <memory>

namespace pciplat {

namespace {

using nlohmann::json;

constexpr EFI_GUID kDisableAspmVendor = {0x7C436110, 0xAB2A, 0x4BBB, {0xA8, 0x80, 0xFE, 0x41, 0x99, 0x5C, 0x9F, 0x82}};
constexpr EFI_GUID kCallbackProtocolGuid = PCI_CALLBACK_PROTOCOL_GUID;
constexpr EFI_GUID kOptionRomSetGuid = PCI_OPTION_ROM_SET_GUID;
constexpr UINT16 kWindowBit12Register = 0x56;
constexpr UINT16 kWindowBit2Register = 0x174;

std::string Hex(UINT64 Value, int Digits) {
  char Text[24];
  std::snprintf(Text, sizeof(Text), "0x%0*llx", Digits, static_cast<unsigned long long>(Value));
  return Text;
}

std::string StatusName(EFI_STATUS Status) {
  switch (Status) {
  case EFI_SUCCESS:
    return "EFI_SUCCESS";
  case EFI_NOT_FOUND:
    return "EFI_NOT_FOUND";
  case EFI_INVALID_PARAMETER:
    return "EFI_INVALID_PARAMETER";
  case EFI_UNSUPPORTED:
    return "EFI_UNSUPPORTED";
  default:
    return Hex(Status, 16);
  }
}

using Snapshot = std::map<sim::Bdf, std::array<UINT8, sim::kConfigSpaceSize>>;

Snapshot TakeSnapshot(const sim::PciBus &Bus) {
  Snapshot Spaces;
  for (const auto &[Location, Function] : Bus.Functions()) {
    Spaces[Location] = Function->Bytes();
  }
  return Spaces;
}

UINT16 Read16(const std::array<UINT8, sim::kConfigSpaceSize> &Space, UINT32 Offset) {
  return static_cast<UINT16>(Space[Offset] | (Space[Offset + 1] << 8));
}

bool VolumeHolds(const BoardVolume &Volume, const EFI_GUID &File) {
  for (const BoardFile &Held : Volume.Files) {
    if (Held.Guid == File) {
      return !Volume.Unreadable;
    }
  }
  return false;
}

json BeforeAfter(const json &Before, const json &After) { return json::array({Before, After}); }

// What changed in one function's PCI Express registers and window registers.
json FunctionChanges(const sim::PciFunction &Function, const std::array<UINT8, sim::kConfigSpaceSize> &Before) {
  json Changes = json::object();
  const auto &After = Function.Bytes();
  if (const auto Cap = Function.PcieCapabilityOffset()) {
    const UINT16 ControlBefore = Read16(Before, *Cap + PCIE_LINK_CONTROL_OFFSET);
    const UINT16 ControlAfter = Read16(After, *Cap + PCIE_LINK_CONTROL_OFFSET);
    const UINT16 DeviceBefore = Read16(Before, *Cap + PCIE_DEVICE_CONTROL_OFFSET);
    const UINT16 DeviceAfter = Read16(After, *Cap + PCIE_DEVICE_CONTROL_OFFSET);
    Changes["common_clock"] = BeforeAfter((ControlBefore & 0x40) != 0, (ControlAfter & 0x40) != 0);
    Changes["aspm_l1"] = BeforeAfter((ControlBefore & 0x02) != 0, (ControlAfter & 0x02) != 0);
    Changes["max_payload"] = BeforeAfter(128U << ((DeviceBefore >> 5) & 7), 128U << ((DeviceAfter >> 5) & 7));
    json Retrains = json::array();
    for (const unsigned Polls : Function.RetrainPolls()) {
      Retrains.push_back(Polls);
    }
    Changes["retrain_polls"] = Retrains;
  }
  Changes["window_0x56"] =
      BeforeAfter(Hex(Read16(Before, kWindowBit12Register), 4), Hex(Read16(After, kWindowBit12Register), 4));
  Changes["window_0x174"] = BeforeAfter(Hex(Before[kWindowBit2Register], 2), Hex(After[kWindowBit2Register], 2));
  unsigned Bytes = 0;
  for (size_t Offset = 0; Offset < After.size(); ++Offset) {
    Bytes += Before[Offset] != After[Offset] ? 1 : 0;
  }
  Changes["bytes_changed"] = Bytes;
  return Changes;
}

} // namespace

RunResult RunBoard(const Board &Layout, const RunOptions &Options) {
  RunResult Result;
  sim::Machine Machine;
  BuildMachine(Layout, Machine);
  if (Options.DisableAspm) {
    Machine.Variables().Set(u"DisableASPM", kDisableAspmVendor, {1});
  }

  const std::vector<sim::FirmwareVolume *> Volumes = BuildFirmwareVolumes(Layout, Machine);
  sim::ConfigBlockProvider Blocks;
  BuildConfigBlocks(Layout, Machine, Blocks);

  const Snapshot Before = TakeSnapshot(Machine.Pci());
  Result.DumpBefore = FormatLspciDump(Machine.Pci());

  // Load the driver and register a recording callback for all three points.
  sim::CallbackRecorder Recorder;
  json Report;
  Report["board"] = Layout.Name;
  const EFI_STATUS EntryStatus = Machine.LoadDriver();
  Report["entry_status"] = StatusName(EntryStatus);
  EFI_PCI_PLATFORM_PROTOCOL *Platform = Machine.PciPlatform();
  if (EFI_ERROR(EntryStatus) || Platform == nullptr) {
    Result.Report = Report;
    return Result;
  }
  VOID *Callbacks = nullptr;
  if (!EFI_ERROR(Machine.Handles().LocateProtocol(kCallbackProtocolGuid, &Callbacks))) {
    (void)sim::CallbackRecorder::Register(static_cast<PCI_CALLBACK_PROTOCOL *>(Callbacks), 0,
                                          PCI_CALLBACK_PREP_CONTROLLER | PCI_CALLBACK_BEGIN_ALLOCATION |
                                              PCI_CALLBACK_END_ALLOCATION);
  }

  sim::PciBusDriverSequencer Sequencer(Machine, *Platform);
  Sequencer.Enumerate();

  // The bus driver installs PCI I/O on every device it found, then asks for
  // each device's option ROM.
  json OptionRoms = json::object();
  for (const sim::Bdf &Location : Sequencer.Found()) {
    sim::PciIoDevice &Device = Machine.AddPciIoDevice(Location);
    std::vector<size_t> ReadsBefore;
    for (const sim::FirmwareVolume *Volume : Volumes) {
      ReadsBefore.push_back(Volume->SectionReads().size());
    }
    VOID *Image = nullptr;
    UINTN Size = 0;
    const EFI_STATUS Status = Platform->GetPciRom(Platform, Device.Handle(), &Image, &Size);
    if (Status == EFI_NOT_FOUND && Image == nullptr) {
      bool AnyRead = false;
      for (size_t Index = 0; Index < Volumes.size(); ++Index) {
        AnyRead = AnyRead || Volumes[Index]->SectionReads().size() != ReadsBefore[Index];
      }
      if (!AnyRead) {
        continue; // no row matched: nothing worth reporting
      }
    }
    json Served;
    Served["status"] = StatusName(Status);
    // The volumes log every read, found or not; the board says which hit.
    json Files = json::array();
    for (size_t Index = 0; Index < Volumes.size(); ++Index) {
      const auto &Reads = Volumes[Index]->SectionReads();
      for (size_t Read = ReadsBefore[Index]; Read < Reads.size(); ++Read) {
        if (VolumeHolds(Layout.Volumes[Index], Reads[Read])) {
          Files.push_back(sim::FormatGuid(Reads[Read]) + " from volume " + std::to_string(Index));
        }
      }
    }
    Served["files_read"] = Files;
    if (!EFI_ERROR(Status)) {
      Served["size"] = Size;
      const auto *Set =
          static_cast<const PCI_OPTION_ROM_SET *>(Machine.Handles().Find(Device.Handle(), kOptionRomSetGuid));
      Served["set_images"] = Set != nullptr ? json(Set->Count) : json(nullptr);
    }
    OptionRoms[sim::FormatBdf(Location)] = Served;
  }

  // The hierarchy with what changed in each function.
  PciNames Names;
  json Functions = json::array();
  for (const sim::Bdf &Location : Sequencer.Found()) {
    const sim::PciFunction &Function = *Machine.Pci().Find(Location);
    json Entry;
    Entry["location"] = sim::FormatBdf(Location);
    const UINT16 Vendor = Function.Peek16(PCI_VENDOR_ID_OFFSET);
    const UINT16 Device = Function.Peek16(PCI_DEVICE_ID_OFFSET);
    Entry["ids"] = Hex(Vendor, 4).substr(2) + ":" + Hex(Device, 4).substr(2);
    Entry["class_code"] = Hex(Function.Peek16(PCI_CLASS_CODE_OFFSET), 4).substr(2);
    if (Options.Names) {
      Entry["name"] = Names.Device(Vendor, Device);
      Entry["class"] = Names.Class(Function.Peek8(PCI_CLASS_CODE_OFFSET + 1), Function.Peek8(PCI_CLASS_CODE_OFFSET));
    }
    const UINT8 HeaderType = Function.Peek8(PCI_HEADER_TYPE_OFFSET);
    if ((HeaderType & PCI_HEADER_TYPE_LAYOUT_MASK) == PCI_HEADER_TYPE_PCI_TO_PCI_BRIDGE) {
      Entry["secondary_bus"] = Function.Peek8(PCI_BRIDGE_SECONDARY_BUS_OFFSET);
    }
    Entry["changes"] = FunctionChanges(Function, Before.at(Location));
    json PerPhase = {{"prep_controller", 0}, {"begin_allocation", 0}, {"end_allocation", 0}};
    for (const auto &Call : sim::CallbackRecorder::Current().Calls()) {
      if (Call.Bus() != Location.Bus || Call.Device() != Location.Device || Call.Function() != Location.Function) {
        continue;
      }
      const char *Phase = Call.Mask == PCI_CALLBACK_PREP_CONTROLLER    ? "prep_controller"
                          : Call.Mask == PCI_CALLBACK_BEGIN_ALLOCATION ? "begin_allocation"
                                                                       : "end_allocation";
      PerPhase[Phase] = PerPhase[Phase].get<int>() + 1;
    }
    Entry["callbacks"] = PerPhase;
    if (OptionRoms.contains(Entry["location"].get<std::string>())) {
      Entry["option_rom"] = OptionRoms[Entry["location"].get<std::string>()];
    }
    Functions.push_back(Entry);
  }
  Report["functions"] = Functions;

  json BlockReport = json::object();
  for (const BoardConfigBlock &Block : Layout.ConfigBlocks) {
    const std::u16string Name(Block.Name.begin(), Block.Name.end());
    if (!Layout.ConfigBlockProvider || !Blocks.Has(Name)) {
      continue;
    }
    const std::vector<UINT8> &Bytes = Blocks.Block(Name);
    unsigned Written = 0;
    for (const UINT8 Byte : Bytes) {
      Written += Byte != 0 ? 1 : 0;
    }
    json Entry = {{"size", Bytes.size()}, {"nonzero_bytes", Written}, {"requests", Blocks.Requests(Name)}};
    if (Bytes.size() >= 18) {
      const UINT32 At14 = Bytes[14] | (Bytes[15] << 8) | (Bytes[16] << 16) | (static_cast<UINT32>(Bytes[17]) << 24);
      Entry["dword_at_14"] = Hex(At14, 8);
    }
    BlockReport[Block.Name] = Entry;
  }
  Report["config_blocks"] = BlockReport;

  json Apics = json::array();
  for (const UINT64 Base : Layout.IoApics) {
    // Read back directly, outside the access log: register 0 holds the ID.
    Machine.Physical().Write(Base + sim::IoApic::kIndexOffset, 4, sim::IoApic::kIdRegister);
    const UINT64 Id = Machine.Physical().Read(Base + sim::IoApic::kDataOffset, 4) >> 24;
    Apics.push_back({{"base", Hex(Base, 8)}, {"id", Id}});
  }
  Report["io_apics"] = Apics;

  json Accesses = json::object();
  for (const auto Kind : {sim::AccessKind::ConfigRead, sim::AccessKind::ConfigWrite, sim::AccessKind::WindowRead,
                          sim::AccessKind::WindowWrite, sim::AccessKind::MemoryRead, sim::AccessKind::MemoryWrite}) {
    Accesses[sim::AccessKindName(Kind)] = Machine.Log().Count(Kind);
  }
  Report["accesses"] = Accesses;
  Report["driver_calls"] = Sequencer.Calls().size();
  Report["stall_us"] = Machine.ElapsedMicroseconds();
  Report["faults"] = Machine.Faults();
  if (Options.Trace) {
    for (const auto &Entry : Machine.Log().All()) {
      Result.Trace.push_back(sim::FormatAccess(Entry));
    }
  }
  Result.DumpAfter = FormatLspciDump(Machine.Pci());
  Result.Report = Report;
  return Result;
}

} // namespace pciplat
