// The driver's decision records in the report's words. Every reason comes
// from a record: this file only names what the driver decided and where.
#include "Decisions.h"
#include "TextFormat.h"

#include "pcie/ConfigWindow.h"

namespace pciplat {

namespace {

std::optional<sim::Bdf> LocationOf(const DECISION &Record) {
  return Record.Where == DECISION_NOWHERE ? std::nullopt : std::optional<sim::Bdf>(BdfOf(Record.Where));
}

std::string At(UINT64 Where) { return FormatBdf(BdfOf(Where)); }

std::string Bytes(UINT64 Code) { return std::to_string(128U << Code) + " bytes"; }

std::string LinkReason(const DECISION &Record) {
  switch (Record.Reason) {
  case DECISION_REASON::Configured:
    return Record.Value == 0x42 ? "configured: both ends take 0x42 (common clock, ASPM L1)"
                                : "configured: both ends take " + Hex(Record.Value, 2) + " (common clock only)";
  case DECISION_REASON::SlotClockMissing:
    return "left alone: " + At(Record.Value) + " LnkSta SlotClk-";
  case DECISION_REASON::L1Unsupported:
    return "left alone: " + At(Record.Value) + " LnkCap: no L1";
  case DECISION_REASON::UpstreamPassThrough:
    return "left alone: upstream port " + At(Record.Value) + " passed through";
  default:
    return DecisionReasonName(Record.Reason);
  }
}

std::string RetrainReason(const DECISION &Record) {
  const std::string Polls = std::to_string(Record.Value) + (Record.Value == 1 ? " poll" : " polls");
  switch (Record.Reason) {
  case DECISION_REASON::Trained:
    return "trained after " + Polls;
  case DECISION_REASON::GaveUp:
    return "gave up after " + Polls + " (" + std::to_string(Record.Detail) + " us), still training";
  default:
    return "link status unreadable after " + Polls;
  }
}

std::string PayloadReason(const DECISION &Record) {
  switch (Record.Reason) {
  case DECISION_REASON::Supported:
    return "supports " + Bytes(Record.Value);
  case DECISION_REASON::Programmed:
    return "programmed " + Bytes(Record.Value);
  case DECISION_REASON::Chosen:
    return Bytes(Record.Value) + ", the largest size every PCI Express function supports";
  default:
    return "nothing programmed: no PCI Express function, or only reserved sizes reported";
  }
}

std::string WindowReason(const DECISION &Record) {
  const std::string Write =
      Hex(Record.Value, 3) + " := " + Hex(Record.Detail, Record.Value == PCIE_WINDOW_PORT_CONTROL_OFFSET ? 4 : 2);
  switch (Record.Reason) {
  case DECISION_REASON::LinkSetupBegin:
    return Write + " (link-setup bit set while the links below are configured)";
  case DECISION_REASON::PortControlSet:
    return Write + " (port bit set for good)";
  default:
    return Write + " (link-setup bit cleared)";
  }
}

std::string OptionRomReason(const DECISION &Record) {
  const std::string Row = "row " + std::to_string(Record.Value);
  switch (Record.Reason) {
  case DECISION_REASON::FileRead:
    return Row + ": file read";
  case DECISION_REASON::FileMissing:
    return Row + ": no volume holds the file";
  case DECISION_REASON::VolumeUnreachable:
    return Row + ": a firmware volume's interface could not be had, the search stopped";
  case DECISION_REASON::Supplied:
    return "supplied the last of " + std::to_string(Record.Value) + " image(s)";
  case DECISION_REASON::EthernetSwitchedOff:
    return "EFI_NOT_FOUND: an Ethernet controller, and Setup switches their option ROMs off";
  case DECISION_REASON::Unidentified:
    return "EFI_NOT_FOUND: location, class or IDs unreadable";
  case DECISION_REASON::NoPciIo:
    return "EFI_NOT_FOUND: no PCI I/O on the handle";
  case DECISION_REASON::SetAttached:
    return "PCI_OPTION_ROM_SET of " + std::to_string(Record.Value) + " images attached";
  case DECISION_REASON::SetNotAttached:
    return "no set attached: the handle has one, or it could not be made";
  default:
    return DecisionReasonName(Record.Reason);
  }
}

const char *BlockName(UINT64 Which) {
  constexpr const char *Names[] = {"QMX_DEP_CONF", "QMX_CONF", "Setup"};
  return Which < std::size(Names) ? Names[Which] : "?";
}

} // namespace

sim::Bdf BdfOf(UINT64 Where) {
  return {static_cast<UINT8>(Where >> 24), static_cast<UINT8>(Where >> 16), static_cast<UINT8>(Where >> 8)};
}

void DecisionLog::Convert(const DECISION &Record) const {
  const std::optional<sim::Bdf> Location = LocationOf(Record);
  switch (Record.Kind) {
  case DECISION_KIND::AspmPass:
    Entries.push_back({DecisionKind::Link, std::nullopt, "aspm-pass", "left alone: \"DisableASPM\" present", {}});
    break;
  case DECISION_KIND::HostBridge:
    HostBridgeNote =
        Decision{DecisionKind::Link,
                 std::nullopt,
                 "",
                 "host bridge " + HexDigits(Record.Value & 0xFFFF, 4) + ":" + HexDigits(Record.Value >> 16, 4) +
                     " rev " + Hex(Record.Detail, 2) +
                     (Record.Reason == DECISION_REASON::L1Withheld ? " on a link faster than 2.5 GT/s: L1 withheld"
                                                                   : " on a link faster than 2.5 GT/s: L1 allowed"),
                 {}};
    break;
  case DECISION_KIND::Link:
    for (const UINT64 End : {static_cast<UINT64>(Record.Where), Record.Detail}) {
      if (HostBridgeNote) {
        Entries.push_back(*HostBridgeNote);
        Entries.back().Location = BdfOf(End);
      }
      Entries.push_back({DecisionKind::Link, BdfOf(End), "", LinkReason(Record), {}});
    }
    HostBridgeNote.reset();
    break;
  case DECISION_KIND::Retrain:
    Entries.push_back({DecisionKind::Retrain, Location, "", RetrainReason(Record), {}});
    break;
  case DECISION_KIND::Payload:
    Entries.push_back({DecisionKind::Payload, Location, Location ? "" : "payload", PayloadReason(Record), {}});
    break;
  case DECISION_KIND::Window:
    Entries.push_back({DecisionKind::Window, Location, "", WindowReason(Record), {}});
    break;
  case DECISION_KIND::OptionRom:
    ConvertOptionRom(Record, Location);
    break;
  case DECISION_KIND::IoApic:
    Entries.push_back({DecisionKind::IoApic,
                       std::nullopt,
                       Hex(Record.Value, 8),
                       Record.Reason == DECISION_REASON::IdProgrammed
                           ? "ID " + std::to_string(Record.Detail) + " programmed, system-bus delivery"
                           : "no answer at the index register: left untouched",
                       {}});
    break;
  case DECISION_KIND::ConfigBlock:
    ConvertConfigBlock(Record);
    break;
  case DECISION_KIND::PlatformCall:
  case DECISION_KIND::Callback: // the report counts callbacks from its own recorder
    break;
  }
}

void DecisionLog::ConvertOptionRom(const DECISION &Record, std::optional<sim::Bdf> Location) const {
  LastDevice = Location ? Location : LastDevice;
  const bool RowRecord = Record.Reason == DECISION_REASON::FileRead || Record.Reason == DECISION_REASON::FileMissing ||
                         Record.Reason == DECISION_REASON::VolumeUnreachable;
  std::string Reason = OptionRomReason(Record);
  if (Record.Reason == DECISION_REASON::NoImage) {
    Reason = RowsTried == 0 ? "EFI_NOT_FOUND: no table row names this device"
                            : "EFI_NOT_FOUND: no file for its " + std::to_string(RowsTried) + " matching row(s)";
  }
  RowsTried = RowRecord ? RowsTried + 1 : 0;
  Entries.push_back({DecisionKind::OptionRom, LastDevice, "", Reason, {}});
}

void DecisionLog::ConvertConfigBlock(const DECISION &Record) const {
  switch (Record.Reason) {
  case DECISION_REASON::NoProvider:
    for (const UINT64 Which : {DECISION_BLOCK_QMX_DEP_CONF, DECISION_BLOCK_QMX_CONF}) {
      Entries.push_back({DecisionKind::ConfigBlock,
                         std::nullopt,
                         BlockName(Which),
                         "not written: no configuration-block provider",
                         {}});
    }
    break;
  case DECISION_REASON::NoBlock:
    Entries.push_back({DecisionKind::ConfigBlock,
                       std::nullopt,
                       BlockName(Record.Value),
                       "not written: the provider has no such block",
                       {}});
    break;
  case DECISION_REASON::Written:
    Entries.push_back({DecisionKind::ConfigBlock, std::nullopt, BlockName(Record.Value), "written", {}});
    break;
  default:
    Entries.push_back({DecisionKind::ConfigBlock,
                       std::nullopt,
                       "Setup",
                       Record.Reason == DECISION_REASON::VariableRead
                           ? "variable read"
                           : "variable unreadable (" + Hex(Record.Detail, 1) + "): the image keeps what it held",
                       {}});
  }
}

} // namespace pciplat
