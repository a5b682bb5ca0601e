// The JSON report as a function of one run's record: nothing here drives the
// driver or reads the model; every value comes from the record, every reason
// from a decision record's row.
#include "ReportJson.h"

#include "Decisions.h"
#include "PciCallback.h"
#include "PciNames.h"
#include "TextFormat.h"
#include "Warnings.h"
#include "pci/PciRegisters.h"
#include "pci/PcieCapability.h"
#include "pcie/ConfigWindow.h"

#include <memory>
#include <set>

namespace pciplat {

namespace {

using nlohmann::json;

json BeforeAfter(const json &Before, const json &After) { return json::array({Before, After}); }

json RetrainPolls(const RunRecord &Record, const sim::Bdf &Location) {
  const auto Found = Record.RetrainPolls.find(Location);
  return Found != Record.RetrainPolls.end() ? json(Found->second) : json::array();
}

json Reasons(const RunRecord &Record, DECISION_KIND Kind, const sim::Bdf &Location) {
  return ReasonsJson(DecisionsAbout(Record.Decisions, Kind, Location));
}

json BitBeforeAfter(UINT16 Before, UINT16 After, UINT16 Mask) {
  return BeforeAfter((Before & Mask) != 0, (After & Mask) != 0);
}

// The value the driver ORed into Location's link control: a configured link's
// value reaches the port, and every present function of the child device.
const DECISION *ConfiguredLink(const RunRecord &Record, const sim::Bdf &Location) {
  for (const DECISION &Each : Record.Decisions) {
    const sim::Bdf Child = BdfOf(Each.Detail);
    const bool Configured = Each.Reason == DECISION_REASON::Configured || Each.Reason == DECISION_REASON::L1Withheld;
    if (Each.Kind == DECISION_KIND::Link && Configured &&
        (BdfOf(Each.Where) == Location || (Child.Bus == Location.Bus && Child.Device == Location.Device))) {
      return &Each;
    }
  }
  return nullptr;
}

// Why a link row has no record of its own: another function of a child
// device, configured or not, a port with nothing below it, a port that is no
// bridge.
std::string LinkNote(const RunRecord &Record, const sim::Bdf &Location, const ConfigSpace &Before) {
  if (const DECISION *Link = ConfiguredLink(Record, Location);
      Link != nullptr && BdfOf(Link->Detail) != Location && BdfOf(Link->Where) != Location) {
    return "function " + std::to_string(Location.Function) + " of " + sim::FormatBdf(BdfOf(Link->Detail)) +
           "'s device, below " + sim::FormatBdf(BdfOf(Link->Where)) +
           ": the driver ORs the link's value into every present function of the child device";
  }
  const UINT8 Type = PortType(Before).value_or(0);
  if (Type != PCIE_PORT_TYPE_ROOT_PORT && Type != PCIE_PORT_TYPE_SWITCH_DOWNSTREAM) {
    return Location.Function == 0 ? ""
                                  : "function " + std::to_string(Location.Function) + " of " +
                                        sim::FormatBdf({Location.Bus, Location.Device, 0}) +
                                        "'s device: the driver decides a link on function 0 alone and writes the "
                                        "other functions only when it configures the link";
  }
  if (!IsPciBridge(Before)) {
    return "a " + PortTypeName(Type) + " without a PCI-to-PCI bridge header (header type " +
           std::to_string(HeaderLayout(Before)) + "): the driver configures links below bridges only";
  }
  const UINT8 Secondary = Before[PCI_BRIDGE_SECONDARY_BUS_OFFSET];
  const auto Child = Record.Before.find({Secondary, 0, 0});
  if (Secondary > Location.Bus && (Child == Record.Before.end() || !IsPresent(Child->second))) {
    return "no function at " + sim::FormatBdf({Secondary, 0, 0}) + ": no link partner to configure";
  }
  return "";
}

// A function's link: LnkCtl's ASPM and common clock bits before and after,
// what the driver ORed in and whether those bits were already set.
json LinkChanges(const RunRecord &Record, const sim::Bdf &Location, const ConfigSpace &Before, UINT16 Capability) {
  const UINT16 ControlBefore = Read16(Before, Capability + PCIE_LINK_CONTROL_OFFSET);
  const UINT16 ControlAfter = Read16(Record.After.at(Location), Capability + PCIE_LINK_CONTROL_OFFSET);
  json Link = {{"common_clock", BitBeforeAfter(ControlBefore, ControlAfter, PCIE_LINK_CONTROL_COMMON_CLOCK)},
               {"aspm_l0s", BitBeforeAfter(ControlBefore, ControlAfter, PCIE_LINK_CONTROL_ASPM_L0S)},
               {"aspm_l1", BitBeforeAfter(ControlBefore, ControlAfter, PCIE_LINK_CONTROL_ASPM_L1)},
               {"retrain_polls", RetrainPolls(Record, Location)}};
  if (const DECISION *Configured = ConfiguredLink(Record, Location)) {
    Link["ored"] = Hex(Configured->Value, 2);
    Link["already_set"] = (ControlBefore & Configured->Value) == Configured->Value;
  }
  if (const std::string Note = LinkNote(Record, Location, Before); !Note.empty()) {
    Link["note"] = Note;
  }
  Link["reasons"] = Reasons(Record, DECISION_KIND::Link, Location);
  for (const json &Pass : ReasonsJson(DecisionsAbout(Record.Decisions, DECISION_KIND::AspmPass, std::nullopt))) {
    Link["reasons"].push_back(Pass);
  }
  Link["retrain_reasons"] = Reasons(Record, DECISION_KIND::Retrain, Location);
  return Link;
}

json PayloadChanges(const RunRecord &Record, const sim::Bdf &Location, const ConfigSpace &Before, UINT16 Capability) {
  const auto Code = [Capability](const ConfigSpace &Space) {
    return (Read16(Space, Capability + PCIE_DEVICE_CONTROL_OFFSET) & PCIE_DEVICE_CONTROL_MAX_PAYLOAD_MASK) >>
           PCIE_DEVICE_CONTROL_MAX_PAYLOAD_SHIFT;
  };
  const unsigned Supported =
      Read32(Before, Capability + PCIE_DEVICE_CAPABILITIES_OFFSET) & PCIE_DEVICE_CAPABILITIES_MAX_PAYLOAD_MASK;
  return {{"supported", 128U << Supported},
          {"bytes", BeforeAfter(128U << Code(Before), 128U << Code(Record.After.at(Location)))},
          {"reasons", Reasons(Record, DECISION_KIND::Payload, Location)}};
}

// What changed in one function's PCI Express registers, with the reasons the
// driver gave; functions without a link (integrated endpoints, event
// collectors) have no link entry.
json PcieChanges(const RunRecord &Record, const sim::Bdf &Location, const ConfigSpace &Before) {
  const auto Capability = FindCapability(Before, PCI_CAPABILITY_ID_PCI_EXPRESS);
  if (!Capability) {
    return nullptr;
  }
  const UINT8 Type = *PortType(Before);
  json Pcie = {{"port_type", PortTypeName(Type)},
               {"payload", PayloadChanges(Record, Location, Before, Capability->Offset)}};
  if (HasLink(Type)) {
    Pcie["link"] = LinkChanges(Record, Location, Before, Capability->Offset);
  }
  return Pcie;
}

json FunctionChanges(const RunRecord &Record, const sim::Bdf &Location, const ConfigSpace &Before) {
  json Changes = json::object();
  if (json Pcie = PcieChanges(Record, Location, Before); !Pcie.is_null()) {
    Changes["pcie"] = Pcie;
  }
  // The host bridge's L1 quirk is an entry of its own, at 00:00.0.
  if (json HostBridge = Reasons(Record, DECISION_KIND::HostBridge, Location); !HostBridge.empty()) {
    Changes["host_bridge_reasons"] = HostBridge;
  }
  const ConfigSpace &After = Record.After.at(Location);
  Changes["window_0x56"] = BeforeAfter(Hex(Read16(Before, PCIE_WINDOW_PORT_CONTROL_OFFSET), 4),
                                       Hex(Read16(After, PCIE_WINDOW_PORT_CONTROL_OFFSET), 4));
  Changes["window_0x174"] =
      BeforeAfter(Hex(Before[PCIE_WINDOW_LINK_SETUP_OFFSET], 2), Hex(After[PCIE_WINDOW_LINK_SETUP_OFFSET], 2));
  Changes["window_reasons"] = Reasons(Record, DECISION_KIND::Window, Location);
  if (const unsigned Captured = Record.CapturedBytes(Location);
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

json CallbacksFor(const RunRecord &Record, const sim::Bdf &Location) {
  json PerPhase = {{"prep_controller", 0}, {"begin_allocation", 0}, {"end_allocation", 0}};
  for (const CallbackCallRecord &Call : Record.CallbackCalls) {
    if (Call.Location != Location) {
      continue;
    }
    const char *Phase = Call.Point == PCI_CALLBACK_PREP_CONTROLLER    ? "prep_controller"
                        : Call.Point == PCI_CALLBACK_BEGIN_ALLOCATION ? "begin_allocation"
                                                                      : "end_allocation";
    PerPhase[Phase] = PerPhase[Phase].get<int>() + 1;
  }
  return PerPhase;
}

json DescribeFunction(const RunRecord &Record, const sim::Bdf &Location, PciNames *Names) {
  const ConfigSpace &Before = Record.Before.at(Location);
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
  Entry["changes"] = FunctionChanges(Record, Location, Before);
  Entry["callbacks"] = CallbacksFor(Record, Location);
  return Entry;
}

json ReportConfigBlocks(const RunRecord &Record) {
  json Report = json::object();
  for (const auto &[Name, Block] : Record.ConfigBlocks) {
    unsigned Written = 0;
    for (const UINT8 Byte : Block.Bytes) {
      Written += Byte != 0 ? 1 : 0;
    }
    json Entry = {
        {"size", Block.Bytes.size()},
        {"nonzero_bytes", Written},
        {"requests", Block.Requests},
        {"reasons", ReasonsJson(DecisionsAbout(Record.Decisions, DECISION_KIND::ConfigBlock, std::nullopt, Name))}};
    if (Block.Bytes.size() >= 18) {
      const std::vector<UINT8> &Bytes = Block.Bytes;
      const UINT32 At14 = Bytes[14] | (Bytes[15] << 8) | (Bytes[16] << 16) | (static_cast<UINT32>(Bytes[17]) << 24);
      Entry["dword_at_14"] = Hex(At14, 8);
    }
    Report[Name] = Entry;
  }
  return Report;
}

json ReportIoApics(const RunRecord &Record) {
  json Apics = json::array();
  for (const auto &[Base, Id] : Record.IoApicIds) {
    const std::string Where = Hex(Base, 8);
    Apics.push_back(
        {{"base", Where},
         {"id", Id},
         {"reasons", ReasonsJson(DecisionsAbout(Record.Decisions, DECISION_KIND::IoApic, std::nullopt, Where))}});
  }
  return Apics;
}

json ReportAccesses(const RunRecord &Record) {
  json Accesses = json::object();
  for (const auto Kind : {sim::AccessKind::ConfigRead, sim::AccessKind::ConfigWrite, sim::AccessKind::WindowRead,
                          sim::AccessKind::WindowWrite, sim::AccessKind::MemoryRead, sim::AccessKind::MemoryWrite}) {
    size_t Count = 0;
    for (const sim::Access &Entry : Record.Accesses) {
      Count += Entry.Kind == Kind ? 1 : 0;
    }
    Accesses[sim::AccessKindName(Kind)] = Count;
  }
  return Accesses;
}

// A summary reason holds for the functions the walks reached; a capture may
// hold more PCI Express functions than that.
std::string PayloadScope(const RunRecord &Record) {
  const std::set<sim::Bdf> Found(Record.Found.begin(), Record.Found.end());
  std::string Unreached;
  size_t Count = 0;
  for (const auto &[Location, Space] : Record.Before) {
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
json ReportPayload(const RunRecord &Record) {
  json Payload = {{"reasons", ReasonsJson(DecisionsAbout(Record.Decisions, DECISION_KIND::Payload, std::nullopt))},
                  {"set_by", json::array()}};
  const std::vector<DECISION> &Records = Record.Decisions;
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
  if (const std::string Scope = PayloadScope(Record); !Scope.empty()) {
    Payload["scope"] = Scope;
  }
  return Payload;
}

// The bus driver's option ROM request for one device; null when nothing was
// asked of any row: nothing worth reporting.
json OptionRomJson(const RunRecord &Record, const sim::Bdf &Location) {
  const auto Found = Record.OptionRoms.find(Location);
  if (Found == Record.OptionRoms.end()) {
    return nullptr;
  }
  const OptionRomAnswer &Answer = Found->second;
  const json Why = Reasons(Record, DECISION_KIND::OptionRom, Location);
  if (Answer.Status == EFI_NOT_FOUND && !Answer.ImageReturned && !Answer.VolumesRead && Why.empty()) {
    return nullptr;
  }
  json Served = {{"status", StatusName(Answer.Status)}, {"files_read", Answer.FilesRead}, {"reasons", Why}};
  if (!EFI_ERROR(Answer.Status)) {
    Served["size"] = Answer.Size;
    Served["set_images"] = Answer.SetImages ? json(*Answer.SetImages) : json(nullptr);
  }
  return Served;
}

json DescribeFunctions(const RunRecord &Record, const RunOptions &Options) {
  std::unique_ptr<PciNames> Names = Options.Names ? std::make_unique<PciNames>() : nullptr;
  json Functions = json::array();
  for (const sim::Bdf &Location : Record.Found) {
    json Entry = DescribeFunction(Record, Location, Names.get());
    if (json Rom = OptionRomJson(Record, Location); !Rom.is_null()) {
      Entry["option_rom"] = Rom;
    }
    Functions.push_back(Entry);
  }
  return Functions;
}

} // namespace

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

json BuildReport(const Board &Layout, const RunOptions &Options, const RunRecord &Record) {
  json Report = json::object();
  if (Record.Enumerated) {
    Report["functions"] = DescribeFunctions(Record, Options);
    Report["payload"] = ReportPayload(Record);
    Report["services"] = ReasonsJson(DecisionsAbout(Record.Decisions, DECISION_KIND::Service, std::nullopt));
    Report["config_blocks"] = ReportConfigBlocks(Record);
    Report["io_apics"] = ReportIoApics(Record);
    Report["accesses"] = ReportAccesses(Record);
    Report["driver_calls"] = Record.DriverCalls;
    Report["stall_us"] = Record.StallMicroseconds;
    Report["config_window_decoded"] = Record.WindowDecoded;
  }
  Report["schema_version"] = kReportSchemaVersion;
  Report["board"] = Layout.Name;
  Report["provenance"] = ProvenanceJson(Layout.Provenance);
  Report["sequence"] = sim::SequenceName(Options.Sequence);
  Report["entry_status"] = StatusName(Record.EntryStatus);
  Report["faults"] = Record.Faults;
  Report["warnings"] = FindWarnings(Layout, Record);
  return Report;
}

} // namespace pciplat
