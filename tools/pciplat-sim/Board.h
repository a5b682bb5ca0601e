// A board description: the PCI hierarchy, firmware variables, firmware-volume
// files, configuration blocks, I/O APICs and which firmware services exist,
// with where each section came from. Read from JSON (schema in
// boards/README.md) or, for the hierarchy, from an lspci dump; plain data, laid
// out into a firmware model by MachineBuilder.h.
#pragma once

#include "LspciDump.h"
#include "base/Uefi.h"
#include "sim/PciBus.h"

#include <nlohmann/json_fwd.hpp>

#include <array>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace pciplat {

struct BoardFile {
  EFI_GUID Guid;
  UINT32 Size;
  UINT8 Fill;
};

struct BoardVolume {
  bool Unreadable = false; // the volume's interface cannot be obtained
  std::vector<BoardFile> Files;
};

struct BoardVariable {
  std::u16string Name;
  EFI_GUID Vendor;
  std::vector<UINT8> Data;
};

struct BoardConfigBlock {
  std::string Name;
  UINT32 Size;
};

// A function's registers as a board description gives them.
struct DescribedRegisters {
  struct BridgeBuses {
    UINT8 Secondary;
    UINT8 Subordinate;
  };
  struct PcieCapability {
    sim::PcieCapabilityConfig Settings;
    std::optional<UINT8> Offset;                   // after the previous capability when absent
    std::optional<UINT32> L1ExitLatencyCode;       // link capabilities bits 17:15
    std::optional<UINT32> L1AcceptableLatencyCode; // device capabilities bits 11:9
  };
  UINT16 VendorId = 0;
  UINT16 DeviceId = 0;
  std::optional<UINT8> RevisionId;
  std::optional<UINT32> ClassCode; // base class, sub-class, programming interface
  bool MultiFunction = false;
  std::optional<BridgeBuses> Bridge;
  std::optional<PcieCapability> Pcie;
};

// Where a section of a board came from.
enum class BoardSource {
  Description, // the board description given to the runner
  Capture,     // the captured machine (lspci)
  ModelDefault // the model's default platform, built in (boards/default.json)
};

// "description", "capture", "model-default".
const char *BoardSourceName(BoardSource Source);

struct BoardProvenance {
  BoardSource Hierarchy = BoardSource::ModelDefault; // functions, and those of other segments
  BoardSource Variables = BoardSource::ModelDefault;
  BoardSource Volumes = BoardSource::ModelDefault;
  BoardSource ConfigBlocks = BoardSource::ModelDefault;
  BoardSource IoApics = BoardSource::ModelDefault;
  BoardSource Services = BoardSource::ModelDefault; // which firmware services exist
};

// {"hierarchy": "capture", "variables": "model-default", ...}
nlohmann::json ProvenanceJson(const BoardProvenance &Provenance);

struct Board {
  std::string Name;
  std::string Description;
  // Configuration spaces as the board powers on, and per-function behaviour.
  struct Function {
    sim::Bdf Location;
    // From a description: the registers to lay out. From a capture: none, and
    // Bytes hold the captured space.
    std::optional<DescribedRegisters> Described;
    std::array<UINT8, sim::kConfigSpaceSize> Bytes{};
    int TrainingReads = 0; // link-status reads that report training after a retrain
    bool ReadsFail = false;
    unsigned CapturedBytes = sim::kConfigSpaceSize; // fewer from a short lspci capture
  };
  std::vector<Function> Functions;
  std::vector<BoardVariable> Variables;
  std::vector<BoardVolume> Volumes;
  std::vector<BoardConfigBlock> ConfigBlocks;
  std::vector<UINT64> IoApics;
  bool RootBridgeIo = true;
  bool CpuIo = true;
  bool ConfigBlockProvider = true;
  bool ConfigWindow = true;           // false: nothing decodes the chipset's configuration window
  bool UnalignedConfigAccess = false; // true: the root bridge allows unaligned 16- and 32-bit accesses
  // Functions of a capture in other PCI segments: the driver walks segment 0.
  std::map<UINT32, std::vector<sim::Bdf>> OtherDomains;
  BoardProvenance Provenance;
};

// The default board, built in: every section the model's default.
Board DefaultBoard();
const char *DefaultBoardJson();

// Text from the input with control characters written as \xNN, so that a
// message quoting it stays one line and cannot drive the terminal.
std::string PrintableText(const std::string &Text);

// Parses a board description, every section of it from the description; on
// error returns nullopt with "Source: field: why".
std::optional<Board> ParseBoardJson(const std::string &Text, const std::string &Source, std::string *Error);
// Replaces Base's hierarchy with the segment-0 functions of an lspci dump and
// notes the functions of other segments; the hierarchy is then the capture's,
// every other section still Base's.
Board WithDumpedHierarchy(Board Base, const std::vector<DumpedFunction> &Dump);

} // namespace pciplat
