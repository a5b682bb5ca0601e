#include "Board.h"

#include "TextFormat.h"
#include "platform/ConfigBlocks.h"
#include "platform/SetupData.h"
#include "sim/Guid.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <stdexcept>

namespace pciplat {

namespace {

using nlohmann::json;

// A board field that is missing or wrong: carries the field's path.
struct BoardError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

[[noreturn]] void Fail(const std::string &Path, const std::string &Why) { throw BoardError(Path + ": " + Why); }

// An unsigned number given as a JSON number or a string in decimal or 0x-hex.
UINT64 Number(const json &Value, const std::string &Path, UINT64 Max) {
  UINT64 Result = 0;
  if (Value.is_number_unsigned()) {
    Result = Value.get<UINT64>();
  } else if (Value.is_string()) {
    const std::string Text = Value.get<std::string>();
    size_t Used = 0;
    try {
      Result = std::stoull(Text, &Used, 0);
    } catch (const std::exception &) {
      Fail(Path, Quoted(Text) + " is not a number");
    }
    if (Used != Text.size()) {
      Fail(Path, Quoted(Text) + " is not a number");
    }
  } else {
    Fail(Path, "expected a number from 0 to " + Hex(Max, 0) + ", got " +
                   (Value.is_number() ? Value.dump() : std::string(Value.type_name())));
  }
  if (Result > Max) {
    Fail(Path, std::to_string(Result) + " is out of range (at most " + std::to_string(Max) + ")");
  }
  return Result;
}

const json &Member(const json &Object, const char *Name, const std::string &Path) {
  const auto Found = Object.find(Name);
  if (Found == Object.end()) {
    Fail(Path + "." + Name, "missing");
  }
  return *Found;
}

bool Flag(const json &Object, const char *Name, const std::string &Path, bool Default) {
  const auto Found = Object.find(Name);
  if (Found == Object.end()) {
    return Default;
  }
  if (!Found->is_boolean()) {
    Fail(Path + "." + Name, "expected true or false");
  }
  return Found->get<bool>();
}

void OnlyKnownMembers(const json &Object, const std::string &Path, std::initializer_list<const char *> Known) {
  if (!Object.is_object()) {
    Fail(Path, "expected an object, got " + std::string(Object.type_name()));
  }
  for (const auto &[Key, Value] : Object.items()) {
    (void)Value;
    bool Found = false;
    for (const char *Name : Known) {
      Found = Found || Key == Name;
    }
    if (!Found) {
      Fail(Path + "." + Escaped(Key), "unknown field");
    }
  }
}

EFI_GUID Guid(const json &Value, const std::string &Path) {
  if (!Value.is_string()) {
    Fail(Path, "expected a GUID string");
  }
  const auto Parsed = sim::ParseGuid(Value.get<std::string>());
  if (!Parsed) {
    Fail(Path, Quoted(Value.get<std::string>()) + " is not a GUID (8-4-4-4-12 hex digits)");
  }
  return *Parsed;
}

sim::Bdf Location(const json &Value, const std::string &Path) {
  if (!Value.is_string()) {
    Fail(Path, "expected a location like \"00:1f.2\"");
  }
  const std::string Text = Value.get<std::string>();
  const size_t Colon = Text.find(':');
  const size_t Dot = Text.find('.');
  if (Colon == std::string::npos || Dot == std::string::npos || Dot < Colon) {
    Fail(Path, Quoted(Text) + " is not a location like \"00:1f.2\"");
  }
  const UINT64 Bus = Number(json("0x" + Text.substr(0, Colon)), Path + " (bus)", 0xFF);
  const UINT64 Device = Number(json("0x" + Text.substr(Colon + 1, Dot - Colon - 1)), Path + " (device)", 0x1F);
  const UINT64 Function = Number(json("0x" + Text.substr(Dot + 1)), Path + " (function)", 7);
  return {static_cast<UINT8>(Bus), static_cast<UINT8>(Device), static_cast<UINT8>(Function)};
}

// Payload sizes are given in bytes (128 ... 4096) and stored as the 3-bit code.
UINT8 PayloadCode(const json &Value, const std::string &Path) {
  const UINT64 Bytes = Number(Value, Path, 4096);
  for (UINT8 Code = 0; Code <= 5; ++Code) {
    if ((128U << Code) == Bytes) {
      return Code;
    }
  }
  Fail(Path, std::to_string(Bytes) + " is not a payload size (128, 256, 512, 1024, 2048 or 4096)");
}

UINT8 PortType(const json &Value, const std::string &Path) {
  static const std::map<std::string, UINT8> Types = {
      {"endpoint", 0}, {"root-port", 4}, {"upstream-port", 5}, {"downstream-port", 6}};
  if (!Value.is_string() || Types.count(Value.get<std::string>()) == 0) {
    Fail(Path, "expected one of endpoint, root-port, upstream-port, downstream-port");
  }
  return Types.at(Value.get<std::string>());
}

int TrainingReads(const json &Value, const std::string &Path) {
  if (Value.is_string() && Value.get<std::string>() == "never") {
    return sim::kTrainsNever;
  }
  return static_cast<int>(Number(Value, Path, 1000000));
}

sim::PcieCapabilityConfig PcieSettings(const json &Object, const std::string &Path) {
  OnlyKnownMembers(Object, Path,
                   {"type", "max_payload_supported", "max_payload", "aspm_l1", "slot_clock", "link_speed",
                    "training_reads", "l1_exit_latency_us", "l1_acceptable_latency_us", "offset", "max_link_speed"});
  sim::PcieCapabilityConfig Settings;
  Settings.PortType = PortType(Member(Object, "type", Path), Path + ".type");
  Settings.MaxPayloadSupported = Object.contains("max_payload_supported")
                                     ? PayloadCode(Object["max_payload_supported"], Path + ".max_payload_supported")
                                     : 0;
  Settings.MaxPayload = Object.contains("max_payload") ? PayloadCode(Object["max_payload"], Path + ".max_payload") : 0;
  Settings.L1Supported = Flag(Object, "aspm_l1", Path, false);
  Settings.SlotClock = Flag(Object, "slot_clock", Path, false);
  Settings.LinkSpeed =
      Object.contains("link_speed") ? static_cast<UINT8>(Number(Object["link_speed"], Path + ".link_speed", 15)) : 1;
  Settings.MaxLinkSpeed = Object.contains("max_link_speed")
                              ? static_cast<UINT8>(Number(Object["max_link_speed"], Path + ".max_link_speed", 15))
                              : Settings.LinkSpeed;
  Settings.TrainingReads =
      Object.contains("training_reads") ? TrainingReads(Object["training_reads"], Path + ".training_reads") : 0;
  return Settings;
}

// An L1 latency in microseconds (1, 2, 4, ... 64) as its 3-bit code; "max"
// is code 7: more than 64 us of exit latency, or no limit on what is accepted.
UINT32 LatencyCode(const json &Value, const std::string &Path) {
  if (Value.is_string() && Value.get<std::string>() == "max") {
    return 7;
  }
  const UINT64 Microseconds = Number(Value, Path, 64);
  for (UINT32 Code = 0; Code < 7; ++Code) {
    if ((1U << Code) == Microseconds) {
      return Code;
    }
  }
  Fail(Path, std::to_string(Microseconds) + " is not a latency (1, 2, 4, 8, 16, 32, 64 or \"max\")");
}

// Where the capability sits: dword-aligned, and its 0x3C bytes inside the
// first 256.
std::optional<UINT8> PcieOffset(const json &Object, const std::string &Path) {
  if (!Object.contains("offset")) {
    return std::nullopt;
  }
  const UINT64 Offset = Number(Object["offset"], Path + ".offset", 0xC4);
  if (Offset < 0x40 || Offset % 4 != 0) {
    Fail(Path + ".offset", Hex(Offset, 2) + " is not a dword-aligned offset from 0x40 to 0xc4");
  }
  return static_cast<UINT8>(Offset);
}

std::optional<UINT32> OptionalLatencyCode(const json &Object, const char *Name, const std::string &Path) {
  return Object.contains(Name) ? std::optional<UINT32>(LatencyCode(Object[Name], Path + "." + Name)) : std::nullopt;
}

DescribedRegisters::PcieCapability PcieCapability(const json &Object, const std::string &Path) {
  DescribedRegisters::PcieCapability Capability{PcieSettings(Object, Path), PcieOffset(Object, Path), {}, {}};
  Capability.L1ExitLatencyCode = OptionalLatencyCode(Object, "l1_exit_latency_us", Path);
  Capability.L1AcceptableLatencyCode = OptionalLatencyCode(Object, "l1_acceptable_latency_us", Path);
  return Capability;
}

DescribedRegisters::BridgeBuses BridgeBuses(const json &Bridge, const std::string &Path) {
  OnlyKnownMembers(Bridge, Path, {"secondary", "subordinate"});
  const auto Secondary = static_cast<UINT8>(Number(Member(Bridge, "secondary", Path), Path + ".secondary", 0xFF));
  const auto Subordinate = Bridge.contains("subordinate")
                               ? static_cast<UINT8>(Number(Bridge["subordinate"], Path + ".subordinate", 0xFF))
                               : Secondary;
  return {Secondary, Subordinate};
}

DescribedRegisters Registers(const json &Object, const std::string &Path) {
  DescribedRegisters Registers;
  Registers.VendorId = static_cast<UINT16>(Number(Member(Object, "vendor", Path), Path + ".vendor", 0xFFFF));
  Registers.DeviceId = static_cast<UINT16>(Number(Member(Object, "device", Path), Path + ".device", 0xFFFF));
  if (Object.contains("revision")) {
    Registers.RevisionId = static_cast<UINT8>(Number(Object["revision"], Path + ".revision", 0xFF));
  }
  if (Object.contains("class")) {
    Registers.ClassCode = static_cast<UINT32>(Number(Object["class"], Path + ".class", 0xFFFFFF));
  }
  if (Object.contains("bridge")) {
    Registers.Bridge = BridgeBuses(Object["bridge"], Path + ".bridge");
  }
  Registers.MultiFunction = Flag(Object, "multifunction", Path, false);
  if (Object.contains("pcie")) {
    Registers.Pcie = PcieCapability(Object["pcie"], Path + ".pcie");
  }
  return Registers;
}

Board::Function BoardFunction(const json &Object, const std::string &Path) {
  OnlyKnownMembers(
      Object, Path,
      {"location", "vendor", "device", "revision", "class", "multifunction", "bridge", "pcie", "reads_fail", "name"});
  Board::Function Function;
  Function.Location = Location(Member(Object, "location", Path), Path + ".location");
  Function.Described = Registers(Object, Path);
  Function.TrainingReads = Function.Described->Pcie ? Function.Described->Pcie->Settings.TrainingReads : 0;
  Function.ReadsFail = Flag(Object, "reads_fail", Path, false);
  return Function;
}

// Variable data: a size, a fill byte or the "index" pattern (byte i = i mod 256),
// and single bytes set by offset.
BoardVariable Variable(const std::string &Name, const json &Object, const std::string &Path) {
  OnlyKnownMembers(Object, Path, {"guid", "size", "fill", "bytes"});
  BoardVariable Result;
  Result.Name = std::u16string(Name.begin(), Name.end());
  Result.Vendor = Guid(Member(Object, "guid", Path), Path + ".guid");
  const auto Size = static_cast<size_t>(Number(Member(Object, "size", Path), Path + ".size", 65536));
  Result.Data.assign(Size, 0);
  if (Object.contains("fill")) {
    const json &Fill = Object["fill"];
    if (Fill.is_string() && Fill.get<std::string>() == "index") {
      for (size_t Index = 0; Index < Size; ++Index) {
        Result.Data[Index] = static_cast<UINT8>(Index);
      }
    } else {
      const auto Byte = static_cast<UINT8>(Number(Fill, Path + ".fill", 0xFF));
      Result.Data.assign(Size, Byte);
    }
  }
  if (Object.contains("bytes")) {
    const json &Bytes = Object["bytes"];
    if (!Bytes.is_object()) {
      Fail(Path + ".bytes", "expected an object of offset: value");
    }
    for (const auto &[Offset, Value] : Bytes.items()) {
      const std::string BytePath = Path + ".bytes." + Escaped(Offset);
      const UINT64 At = Number(json(Offset), BytePath, Size == 0 ? 0 : Size - 1);
      if (Size == 0) {
        Fail(BytePath, "the variable is empty");
      }
      Result.Data[At] = static_cast<UINT8>(Number(Value, BytePath, 0xFF));
    }
  }
  return Result;
}

BoardVolume Volume(const json &Object, const std::string &Path) {
  OnlyKnownMembers(Object, Path, {"unreadable", "files"});
  BoardVolume Result;
  Result.Unreadable = Flag(Object, "unreadable", Path, false);
  if (Object.contains("files")) {
    const json &Files = Object["files"];
    if (!Files.is_array()) {
      Fail(Path + ".files", "expected an array");
    }
    for (size_t Index = 0; Index < Files.size(); ++Index) {
      const std::string FilePath = Path + ".files[" + std::to_string(Index) + "]";
      OnlyKnownMembers(Files[Index], FilePath, {"guid", "size", "fill", "name"});
      Result.Files.push_back(
          {Guid(Member(Files[Index], "guid", FilePath), FilePath + ".guid"),
           static_cast<UINT32>(Number(Member(Files[Index], "size", FilePath), FilePath + ".size", 16U << 20)),
           static_cast<UINT8>(Files[Index].contains("fill") ? Number(Files[Index]["fill"], FilePath + ".fill", 0xFF)
                                                            : 0x55)});
    }
  }
  return Result;
}

template <typename Parse> void ForEachIn(const json &Array, const std::string &Path, Parse &&Each) {
  if (!Array.is_array()) {
    Fail(Path, "expected an array");
  }
  for (size_t Index = 0; Index < Array.size(); ++Index) {
    Each(Array[Index], Path + "[" + std::to_string(Index) + "]");
  }
}

// The provider hands out a block by name only: the chipset's layout fixes its
// size and the driver writes within that layout. A smaller block is a board
// no firmware has, and the run would write past it.
UINT32 BlockSize(const std::string &Name, const json &Size) {
  const std::string Path = "config_blocks." + Escaped(Name);
  const auto Bytes = static_cast<UINT32>(Number(Size, Path, 1U << 20));
  const UINTN Layout = Name == "QMX_CONF"       ? SETUP_QMX_CONF_SIZE
                       : Name == "QMX_DEP_CONF" ? QMX_DEP_CONF_IOAPIC_BASE_OFFSET + sizeof(UINT32)
                                                : 0;
  if (Bytes < Layout) {
    Fail(Path, std::to_string(Bytes) + " bytes cannot hold the block's " + std::to_string(Layout) +
                   "-byte layout, which the driver fills");
  }
  return Bytes;
}

Board ParseBoard(const json &Document) {
  OnlyKnownMembers(
      Document, "board",
      {"name", "description", "functions", "variables", "firmware_volumes", "config_blocks", "io_apics", "services"});
  Board Result;
  Result.Provenance = {BoardSource::Description, BoardSource::Description, BoardSource::Description,
                       BoardSource::Description, BoardSource::Description, BoardSource::Description};
  Result.Name = Document.value("name", "unnamed");
  Result.Description = Document.value("description", "");
  std::map<sim::Bdf, std::string> Seen;
  ForEachIn(Member(Document, "functions", "board"), "functions", [&](const json &Entry, const std::string &Path) {
    Board::Function Function = BoardFunction(Entry, Path);
    const auto [Existing, Inserted] = Seen.emplace(Function.Location, Path);
    if (!Inserted) {
      Fail(Path + ".location", sim::FormatBdf(Function.Location) + " is already described by " + Existing->second);
    }
    Result.Functions.push_back(Function);
  });
  if (Document.contains("variables")) {
    const json &Variables = Document["variables"];
    if (!Variables.is_object()) {
      Fail("variables", "expected an object of name: variable");
    }
    for (const auto &[Name, Value] : Variables.items()) {
      Result.Variables.push_back(Variable(Name, Value, "variables." + Escaped(Name)));
    }
  }
  if (Document.contains("firmware_volumes")) {
    ForEachIn(Document["firmware_volumes"], "firmware_volumes",
              [&](const json &Entry, const std::string &Path) { Result.Volumes.push_back(Volume(Entry, Path)); });
  }
  if (Document.contains("config_blocks")) {
    const json &Blocks = Document["config_blocks"];
    if (!Blocks.is_object()) {
      Fail("config_blocks", "expected an object of name: size");
    }
    for (const auto &[Name, Size] : Blocks.items()) {
      Result.ConfigBlocks.push_back({Name, BlockSize(Name, Size)});
    }
  }
  if (Document.contains("io_apics")) {
    ForEachIn(Document["io_apics"], "io_apics", [&](const json &Entry, const std::string &Path) {
      Result.IoApics.push_back(Number(Entry, Path, 0xFFFFFFFFULL));
    });
  }
  if (Document.contains("services")) {
    const json &Services = Document["services"];
    OnlyKnownMembers(Services, "services",
                     {"root_bridge_io", "cpu_io", "config_blocks", "config_window", "unaligned_config_access"});
    Result.RootBridgeIo = Flag(Services, "root_bridge_io", "services", true);
    Result.CpuIo = Flag(Services, "cpu_io", "services", true);
    Result.ConfigBlockProvider = Flag(Services, "config_blocks", "services", true);
    Result.ConfigWindow = Flag(Services, "config_window", "services", true);
    Result.UnalignedConfigAccess = Flag(Services, "unaligned_config_access", "services", false);
  }
  return Result;
}

} // namespace

const char *BoardSourceName(BoardSource Source) {
  switch (Source) {
  case BoardSource::Description:
    return "description";
  case BoardSource::Capture:
    return "capture";
  case BoardSource::ModelDefault:
    return "model-default";
  }
  return "?";
}

json ProvenanceJson(const BoardProvenance &Provenance) {
  return {{"hierarchy", BoardSourceName(Provenance.Hierarchy)},
          {"variables", BoardSourceName(Provenance.Variables)},
          {"firmware_volumes", BoardSourceName(Provenance.Volumes)},
          {"config_blocks", BoardSourceName(Provenance.ConfigBlocks)},
          {"io_apics", BoardSourceName(Provenance.IoApics)},
          {"services", BoardSourceName(Provenance.Services)}};
}

std::string PrintableText(const std::string &Text) {
  std::string Shown;
  for (const char Character : Text) {
    const auto Byte = static_cast<unsigned char>(Character);
    if (Byte < 0x20 || Byte == 0x7F) {
      char Escape[8];
      std::snprintf(Escape, sizeof(Escape), "\\x%02x", Byte);
      Shown += Escape;
    } else {
      Shown += Character;
    }
  }
  return Shown;
}

std::optional<Board> ParseBoardJson(const std::string &Text, const std::string &Source, std::string *Error) {
  try {
    return ParseBoard(json::parse(Text));
  } catch (const json::parse_error &Problem) {
    // The library's message carries the line and column.
    std::string Message = Problem.what();
    const size_t Detail = Message.find("parse error");
    *Error = Source + ": " + PrintableText(Detail == std::string::npos ? Message : Message.substr(Detail));
  } catch (const BoardError &Problem) {
    *Error = Source + ": " + PrintableText(Problem.what());
  } catch (const json::exception &Problem) {
    *Error = Source + ": " + PrintableText(Problem.what());
  }
  return std::nullopt;
}

Board WithDumpedHierarchy(Board Base, const std::vector<DumpedFunction> &Dump) {
  Base.Functions.clear();
  for (const DumpedFunction &Function : Dump) {
    if (Function.Domain != 0) {
      Base.OtherDomains[Function.Domain].push_back(Function.Location);
      continue;
    }
    Base.Functions.push_back(
        Board::Function{Function.Location, std::nullopt, Function.Bytes, 0, false, Function.Length});
  }
  Base.Provenance.Hierarchy = BoardSource::Capture;
  return Base;
}

} // namespace pciplat

namespace pciplat {

namespace {

Board ParseDefaultBoard() {
  std::string Error;
  auto Parsed = ParseBoardJson(DefaultBoardJson(), "built-in default board", &Error);
  if (!Parsed) {
    // The built-in board is checked by the tests; reaching this is a build fault.
    std::fprintf(stderr, "%s\n", Error.c_str());
    std::abort();
  }
  Parsed->Provenance = BoardProvenance{};
  return *Parsed;
}

} // namespace

// Parsed once: benches, tests and fuzzers lay the default board out thousands
// of times, and parsing its description cost more than laying it out.
Board DefaultBoard() {
  static const Board Parsed = ParseDefaultBoard();
  return Parsed;
}

} // namespace pciplat
