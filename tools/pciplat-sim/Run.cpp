#include "Run.h"

#include "Decisions.h"
#include "LspciDump.h"
#include "MachineBuilder.h"
#include "PciCallback.h"
#include "PciNames.h"
#include "PciOptionRomSet.h"
#include "TextFormat.h"
#include "Warnings.h"
#include "driver/Driver.h"
#include "pci/PciRegisters.h"
#include "pci/PcieCapability.h"
#include "pcie/ConfigWindow.h"
#include "pcie/LinkTuning.h"
#include "sim/CallbackRecorder.h"
#include "sim/ConfigBlockProvider.h"
#include "sim/FirmwareVolume.h"
#include "sim/Guid.h"
#include "sim/IoApic.h"
#include "sim/PciIoDevice.h"
#include "sim/Sequencer.h"

#include <memory>
#include <set>

namespace pciplat {

namespace {

using nlohmann::json;

constexpr EFI_GUID kCallbackProtocolGuid = PCI_CALLBACK_PROTOCOL_GUID;
constexpr EFI_GUID kOptionRomSetGuid = PCI_OPTION_ROM_SET_GUID;

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

ConfigSpaces TakeSnapshot(const sim::PciBus &Bus) {
  ConfigSpaces Spaces;
  for (const auto &[Location, Function] : Bus.Functions()) {
    Spaces[Location] = Function->Bytes();
  }
  return Spaces;
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

// What one run shares between its steps.
struct Run {
  const Board &Layout;
  sim::Machine &Machine;
  const std::vector<DECISION> &Decisions; // the machine's, growing as the driver runs
  std::vector<sim::FirmwareVolume *> Volumes;
  RunRecord Record;
};

json Reasons(const Run &State, DECISION_KIND Kind, const sim::Bdf &Location) {
  return ReasonsJson(DecisionsAbout(State.Decisions, Kind, Location));
}

json BitBeforeAfter(UINT16 Before, UINT16 After, UINT16 Mask) {
  return BeforeAfter((Before & Mask) != 0, (After & Mask) != 0);
}

// The value the driver ORed into Location's link control: a configured link's
// value reaches the port, and every present function of the child device.
const DECISION *ConfiguredLink(const Run &State, const sim::Bdf &Location) {
  for (const DECISION &Record : State.Machine.Decisions()) {
    const sim::Bdf Child = BdfOf(Record.Detail);
    const bool Configured =
        Record.Reason == DECISION_REASON::Configured || Record.Reason == DECISION_REASON::L1Withheld;
    if (Record.Kind == DECISION_KIND::Link && Configured &&
        (BdfOf(Record.Where) == Location || (Child.Bus == Location.Bus && Child.Device == Location.Device))) {
      return &Record;
    }
  }
  return nullptr;
}

// Why a link row has no record of its own: another function of a configured
// child device, a port with nothing below it, a port that is no bridge.
std::string LinkNote(const Run &State, const sim::Bdf &Location, const ConfigSpace &Before) {
  if (const DECISION *Link = ConfiguredLink(State, Location);
      Link != nullptr && BdfOf(Link->Detail) != Location && BdfOf(Link->Where) != Location) {
    return "function " + std::to_string(Location.Function) + " of " + sim::FormatBdf(BdfOf(Link->Detail)) +
           "'s device, below " + sim::FormatBdf(BdfOf(Link->Where)) +
           ": the driver ORs the link's value into every present function of the child device";
  }
  const UINT8 Type = PortType(Before).value_or(0);
  if (Type != PCIE_PORT_TYPE_ROOT_PORT && Type != PCIE_PORT_TYPE_SWITCH_DOWNSTREAM) {
    return "";
  }
  if (!IsPciBridge(Before)) {
    return "a " + PortTypeName(Type) + " without a PCI-to-PCI bridge header (header type " +
           std::to_string(HeaderLayout(Before)) + "): the driver configures links below bridges only";
  }
  const UINT8 Secondary = Before[PCI_BRIDGE_SECONDARY_BUS_OFFSET];
  const auto Child = State.Record.Before.find({Secondary, 0, 0});
  if (Secondary > Location.Bus && (Child == State.Record.Before.end() || !IsPresent(Child->second))) {
    return "no function at " + sim::FormatBdf({Secondary, 0, 0}) + ": no link partner to configure";
  }
  return "";
}

// A function's link: LnkCtl's ASPM and common clock bits before and after,
// what the driver ORed in and whether those bits were already set.
json LinkChanges(const Run &State, const sim::PciFunction &Function, const ConfigSpace &Before, UINT16 Capability) {
  const UINT16 ControlBefore = Read16(Before, Capability + PCIE_LINK_CONTROL_OFFSET);
  const UINT16 ControlAfter = Read16(Function.Bytes(), Capability + PCIE_LINK_CONTROL_OFFSET);
  json Link = {{"common_clock", BitBeforeAfter(ControlBefore, ControlAfter, PCIE_LINK_CONTROL_COMMON_CLOCK)},
               {"aspm_l0s", BitBeforeAfter(ControlBefore, ControlAfter, PCIE_LINK_CONTROL_ASPM_L0S)},
               {"aspm_l1", BitBeforeAfter(ControlBefore, ControlAfter, PCIE_LINK_CONTROL_ASPM_L1)},
               {"retrain_polls", Function.RetrainPolls()}};
  if (const DECISION *Configured = ConfiguredLink(State, Function.Location())) {
    Link["ored"] = Hex(Configured->Value, 2);
    Link["already_set"] = (ControlBefore & Configured->Value) == Configured->Value;
  }
  if (const std::string Note = LinkNote(State, Function.Location(), Before); !Note.empty()) {
    Link["note"] = Note;
  }
  Link["reasons"] = Reasons(State, DECISION_KIND::Link, Function.Location());
  for (const json &Pass : ReasonsJson(DecisionsAbout(State.Decisions, DECISION_KIND::AspmPass, std::nullopt))) {
    Link["reasons"].push_back(Pass);
  }
  Link["retrain_reasons"] = Reasons(State, DECISION_KIND::Retrain, Function.Location());
  return Link;
}

json PayloadChanges(const Run &State, const sim::PciFunction &Function, const ConfigSpace &Before, UINT16 Capability) {
  const auto Code = [Capability](const ConfigSpace &Space) {
    return (Read16(Space, Capability + PCIE_DEVICE_CONTROL_OFFSET) & PCIE_DEVICE_CONTROL_MAX_PAYLOAD_MASK) >>
           PCIE_DEVICE_CONTROL_MAX_PAYLOAD_SHIFT;
  };
  const unsigned Supported =
      Read32(Before, Capability + PCIE_DEVICE_CAPABILITIES_OFFSET) & PCIE_DEVICE_CAPABILITIES_MAX_PAYLOAD_MASK;
  return {{"supported", 128U << Supported},
          {"bytes", BeforeAfter(128U << Code(Before), 128U << Code(Function.Bytes()))},
          {"reasons", Reasons(State, DECISION_KIND::Payload, Function.Location())}};
}

// What changed in one function's PCI Express registers, with the reasons the
// driver gave; functions without a link (integrated endpoints, event
// collectors) have no link entry.
json PcieChanges(const Run &State, const sim::PciFunction &Function, const ConfigSpace &Before) {
  const auto Capability = FindCapability(Before, PCI_CAPABILITY_ID_PCI_EXPRESS);
  if (!Capability) {
    return nullptr;
  }
  const UINT8 Type = *PortType(Before);
  json Pcie = {{"port_type", PortTypeName(Type)},
               {"payload", PayloadChanges(State, Function, Before, Capability->Offset)}};
  if (HasLink(Type)) {
    Pcie["link"] = LinkChanges(State, Function, Before, Capability->Offset);
  }
  return Pcie;
}

json FunctionChanges(const Run &State, const sim::PciFunction &Function, const ConfigSpace &Before) {
  json Changes = json::object();
  if (json Pcie = PcieChanges(State, Function, Before); !Pcie.is_null()) {
    Changes["pcie"] = Pcie;
  }
  // The host bridge's L1 quirk is an entry of its own, at 00:00.0.
  if (json HostBridge = Reasons(State, DECISION_KIND::HostBridge, Function.Location()); !HostBridge.empty()) {
    Changes["host_bridge_reasons"] = HostBridge;
  }
  const ConfigSpace &After = Function.Bytes();
  Changes["window_0x56"] = BeforeAfter(Hex(Read16(Before, PCIE_WINDOW_PORT_CONTROL_OFFSET), 4),
                                       Hex(Read16(After, PCIE_WINDOW_PORT_CONTROL_OFFSET), 4));
  Changes["window_0x174"] =
      BeforeAfter(Hex(Before[PCIE_WINDOW_LINK_SETUP_OFFSET], 2), Hex(After[PCIE_WINDOW_LINK_SETUP_OFFSET], 2));
  Changes["window_reasons"] = Reasons(State, DECISION_KIND::Window, Function.Location());
  if (const unsigned Captured = State.Record.CapturedBytes(Function.Location());
      Captured <= PCIE_WINDOW_LINK_SETUP_OFFSET && !Changes["window_reasons"].empty()) {
    Changes["window_0x174_assumed"] = "0x174 lies beyond the " + std::to_string(Captured) +
                                      "-byte capture: its value before the run is unknown, the model read 0x00";
  }
  unsigned Bytes = 0;
  for (size_t Offset = 0; Offset < After.size(); ++Offset) {
    Bytes += Before[Offset] != After[Offset] ? 1 : 0;
  }
  Changes["bytes_changed"] = Bytes;
  return Changes;
}

std::vector<size_t> SectionReadCounts(const Run &State) {
  std::vector<size_t> Counts;
  for (const sim::FirmwareVolume *Volume : State.Volumes) {
    Counts.push_back(Volume->SectionReads().size());
  }
  return Counts;
}

// The files the driver read since ReadsBefore; the volumes log every read,
// found or not, and the board says which hit.
json FilesRead(const Run &State, const std::vector<size_t> &ReadsBefore) {
  json Files = json::array();
  for (size_t Index = 0; Index < State.Volumes.size(); ++Index) {
    const auto &Reads = State.Volumes[Index]->SectionReads();
    for (size_t Read = ReadsBefore[Index]; Read < Reads.size(); ++Read) {
      if (VolumeHolds(State.Layout.Volumes[Index], Reads[Read])) {
        Files.push_back(sim::FormatGuid(Reads[Read]) + " from volume " + std::to_string(Index));
      }
    }
  }
  return Files;
}

// The bus driver installs PCI I/O on a device, then asks for its option ROM.
// Null when no row matched: nothing worth reporting.
json RequestOptionRom(Run &State, sim::PlatformCallRecorder &Platform, const sim::Bdf &Location) {
  sim::PciIoDevice &Device = State.Machine.AddPciIoDevice(Location);
  const std::vector<size_t> ReadsBefore = SectionReadCounts(State);
  VOID *Image = nullptr;
  UINTN Size = 0;
  EFI_PCI_PLATFORM_PROTOCOL &Driver = Platform.Protocol();
  const EFI_STATUS Status = Driver.GetPciRom(&Driver, Device.Handle(), &Image, &Size);
  const json Files = FilesRead(State, ReadsBefore);
  const json Why = Reasons(State, DECISION_KIND::OptionRom, Location);
  if (Status == EFI_NOT_FOUND && Image == nullptr && SectionReadCounts(State) == ReadsBefore && Why.empty()) {
    return nullptr;
  }
  json Served = {{"status", StatusName(Status)}, {"files_read", Files}, {"reasons", Why}};
  if (!EFI_ERROR(Status)) {
    Served["size"] = Size;
    const auto *Set =
        static_cast<const PCI_OPTION_ROM_SET *>(State.Machine.Handles().Find(Device.Handle(), kOptionRomSetGuid));
    Served["set_images"] = Set != nullptr ? json(Set->Count) : json(nullptr);
  }
  return Served;
}

json CallbacksFor(const sim::Bdf &Location) {
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
  return PerPhase;
}

json DescribeFunction(const Run &State, const sim::Bdf &Location, PciNames *Names) {
  const sim::PciFunction &Function = *State.Machine.Pci().Find(Location);
  const ConfigSpace &Before = State.Record.Before.at(Location);
  json Entry;
  Entry["location"] = sim::FormatBdf(Location);
  const UINT16 Vendor = Read16(Before, 0x00);
  const UINT16 Device = Read16(Before, 0x02);
  Entry["ids"] = HexDigits(Vendor, 4) + ":" + HexDigits(Device, 4);
  Entry["class_code"] = HexDigits(Read16(Before, PCI_CLASS_CODE_OFFSET), 4);
  if (Names != nullptr) {
    Entry["name"] = Names->Device(Vendor, Device);
    Entry["class"] = Names->Class(Before[PCI_CLASS_CODE_OFFSET + 1], Before[PCI_CLASS_CODE_OFFSET]);
  }
  if (IsPciBridge(Before)) {
    Entry["secondary_bus"] = Before[PCI_BRIDGE_SECONDARY_BUS_OFFSET];
  }
  Entry["changes"] = FunctionChanges(State, Function, Before);
  Entry["callbacks"] = CallbacksFor(Location);
  return Entry;
}

json DescribeFunctions(Run &State, sim::PlatformCallRecorder &Platform, const RunOptions &Options) {
  std::unique_ptr<PciNames> Names = Options.Names ? std::make_unique<PciNames>() : nullptr;
  std::vector<json> OptionRoms;
  for (const sim::Bdf &Location : State.Record.Found) {
    OptionRoms.push_back(RequestOptionRom(State, Platform, Location));
  }
  json Functions = json::array();
  for (size_t Index = 0; Index < State.Record.Found.size(); ++Index) {
    json Entry = DescribeFunction(State, State.Record.Found[Index], Names.get());
    if (!OptionRoms[Index].is_null()) {
      Entry["option_rom"] = OptionRoms[Index];
    }
    Functions.push_back(Entry);
  }
  return Functions;
}

json ReportConfigBlocks(const Run &State, sim::ConfigBlockProvider &Blocks) {
  json Report = json::object();
  for (const BoardConfigBlock &Block : State.Layout.ConfigBlocks) {
    const std::u16string Name(Block.Name.begin(), Block.Name.end());
    if (!State.Layout.ConfigBlockProvider || !Blocks.Has(Name)) {
      continue;
    }
    const std::vector<UINT8> &Bytes = Blocks.Block(Name);
    unsigned Written = 0;
    for (const UINT8 Byte : Bytes) {
      Written += Byte != 0 ? 1 : 0;
    }
    json Entry = {{"size", Bytes.size()},
                  {"nonzero_bytes", Written},
                  {"requests", Blocks.Requests(Name)},
                  {"reasons",
                   ReasonsJson(DecisionsAbout(State.Decisions, DECISION_KIND::ConfigBlock, std::nullopt, Block.Name))}};
    if (Bytes.size() >= 18) {
      const UINT32 At14 = Bytes[14] | (Bytes[15] << 8) | (Bytes[16] << 16) | (static_cast<UINT32>(Bytes[17]) << 24);
      Entry["dword_at_14"] = Hex(At14, 8);
    }
    Report[Block.Name] = Entry;
  }
  return Report;
}

json ReportIoApics(const Run &State) {
  json Apics = json::array();
  for (const UINT64 Base : State.Layout.IoApics) {
    // Read back directly, outside the access log: register 0 holds the ID.
    State.Machine.Physical().Write(Base + sim::IoApic::kIndexOffset, 4, sim::IoApic::kIdRegister);
    const UINT64 Id = State.Machine.Physical().Read(Base + sim::IoApic::kDataOffset, 4) >> 24;
    const std::string Where = Hex(Base, 8);
    Apics.push_back(
        {{"base", Where},
         {"id", Id},
         {"reasons", ReasonsJson(DecisionsAbout(State.Decisions, DECISION_KIND::IoApic, std::nullopt, Where))}});
  }
  return Apics;
}

json ReportAccesses(const sim::Machine &Machine) {
  json Accesses = json::object();
  for (const auto Kind : {sim::AccessKind::ConfigRead, sim::AccessKind::ConfigWrite, sim::AccessKind::WindowRead,
                          sim::AccessKind::WindowWrite, sim::AccessKind::MemoryRead, sim::AccessKind::MemoryWrite}) {
    Accesses[sim::AccessKindName(Kind)] = Machine.Log().Count(Kind);
  }
  return Accesses;
}

void RegisterRecordingCallback(sim::Machine &Machine) {
  VOID *Callbacks = nullptr;
  if (!EFI_ERROR(Machine.Handles().LocateProtocol(kCallbackProtocolGuid, &Callbacks))) {
    (void)sim::CallbackRecorder::Register(static_cast<PCI_CALLBACK_PROTOCOL *>(Callbacks), 0,
                                          PCI_CALLBACK_PREP_CONTROLLER | PCI_CALLBACK_BEGIN_ALLOCATION |
                                              PCI_CALLBACK_END_ALLOCATION);
  }
}

// A summary reason holds for the functions the walks reached; a capture may
// hold more PCI Express functions than that.
std::string PayloadScope(const Run &State) {
  const std::set<sim::Bdf> Found(State.Record.Found.begin(), State.Record.Found.end());
  std::string Unreached;
  size_t Count = 0;
  for (const auto &[Location, Space] : State.Record.Before) {
    if (IsPresent(Space) && Found.count(Location) == 0 && FindCapability(Space, PCI_CAPABILITY_ID_PCI_EXPRESS)) {
      Unreached += (Count++ == 0 ? "" : ", ") + sim::FormatBdf(Location);
    }
  }
  return Count == 0 ? ""
                    : "this counts the PCI Express functions the walks reached; " + std::to_string(Count) +
                          " more in the capture were not reached and do not count (" + Unreached + ")";
}

// The size the driver chose, or why it chose none, and the functions whose
// supported size it is.
json ReportPayload(const Run &State) {
  json Payload = {{"reasons", ReasonsJson(DecisionsAbout(State.Decisions, DECISION_KIND::Payload, std::nullopt))},
                  {"set_by", json::array()}};
  const std::vector<DECISION> &Records = State.Machine.Decisions();
  for (const DECISION &Chosen : Records) {
    if (Chosen.Kind != DECISION_KIND::Payload || Chosen.Reason != DECISION_REASON::Chosen) {
      continue;
    }
    Payload["bytes"] = 128U << Chosen.Value;
    for (const DECISION &Supported : Records) {
      if (Supported.Kind == DECISION_KIND::Payload && Supported.Reason == DECISION_REASON::Supported &&
          Supported.Value == Chosen.Value) {
        Payload["set_by"].push_back(sim::FormatBdf(BdfOf(Supported.Where)));
      }
    }
    break;
  }
  if (const std::string Scope = PayloadScope(State); !Scope.empty()) {
    Payload["scope"] = Scope;
  }
  return Payload;
}

// The enumeration itself and the option ROM requests, then the report.
json Enumerate(Run &State, EFI_PCI_PLATFORM_PROTOCOL &Driver, sim::ConfigBlockProvider &Blocks,
               const RunOptions &Options) {
  sim::CallbackRecorder Recorder;
  RegisterRecordingCallback(State.Machine);
  sim::PlatformCallRecorder Platform(State.Machine, Driver);
  sim::PciBusDriverSequencer Sequencer(State.Machine, Platform.Protocol());
  Sequencer.Enumerate(Options.Sequence);
  State.Record.Found = Sequencer.Found();
  json Report;
  Report["functions"] = DescribeFunctions(State, Platform, Options);
  Report["payload"] = ReportPayload(State);
  Report["config_blocks"] = ReportConfigBlocks(State, Blocks);
  Report["io_apics"] = ReportIoApics(State);
  Report["accesses"] = ReportAccesses(State.Machine);
  Report["driver_calls"] = Sequencer.Calls().size();
  Report["stall_us"] = State.Machine.ElapsedMicroseconds();
  State.Record.PlatformCalls = Platform.Calls();
  State.Record.Calls = {{0, "driver entry point"}};
  const std::vector<sim::CallMark> Marks = sim::CallMarks(Platform.Calls());
  State.Record.Calls.insert(State.Record.Calls.end(), Marks.begin(), Marks.end());
  State.Record.Enumerated = true;
  return Report;
}

} // namespace

RunResult RunBoard(const Board &Layout, const RunOptions &Options) {
  RunResult Result;
  sim::Machine Machine;
  BuildMachine(Layout, Machine);
  if (Options.DisableAspm) {
    Machine.Variables().Set(DISABLE_ASPM_VARIABLE_NAME, DISABLE_ASPM_VARIABLE_GUID, {1});
  }
  // The driver's own decision records, read as the run goes.
  Run State{Layout, Machine, Machine.Decisions(), BuildFirmwareVolumes(Layout, Machine), {}};
  sim::ConfigBlockProvider Blocks;
  BuildConfigBlocks(Layout, Machine, Blocks);
  State.Record.Before = TakeSnapshot(Machine.Pci());
  for (const Board::Function &Function : Layout.Functions) {
    if (Function.CapturedBytes < sim::kConfigSpaceSize) {
      State.Record.Captured[Function.Location] = Function.CapturedBytes;
    }
  }
  Result.DumpBefore = FormatLspciDump(Machine.Pci());

  const EFI_STATUS EntryStatus = Machine.LoadDriver();
  EFI_PCI_PLATFORM_PROTOCOL *Platform = Machine.PciPlatform();
  json Report =
      EFI_ERROR(EntryStatus) || Platform == nullptr ? json::object() : Enumerate(State, *Platform, Blocks, Options);
  Report["schema_version"] = kReportSchemaVersion;
  Report["board"] = Layout.Name;
  Report["provenance"] = ProvenanceJson(Layout.Provenance);
  Report["sequence"] = sim::SequenceName(Options.Sequence);
  Report["entry_status"] = StatusName(EntryStatus);
  Report["faults"] = Machine.Faults();
  State.Record.Accesses = Machine.Log().All();
  State.Record.Decisions = Machine.Decisions();
  State.Record.WindowDecoded = Layout.ConfigWindow;
  State.Record.After = TakeSnapshot(Machine.Pci());
  Report["warnings"] = FindWarnings(Layout, State.Record);
  Result.DumpAfter = FormatLspciDump(Machine.Pci());
  Result.Report = Report;
  Result.Record = std::move(State.Record);
  return Result;
}

} // namespace pciplat
