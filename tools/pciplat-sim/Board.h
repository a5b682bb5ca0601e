// A board description: the PCI hierarchy, firmware variables, firmware-volume
// files, configuration blocks, I/O APICs and which firmware services exist.
// Read from JSON (schema in boards/README.md) or from an lspci dump, and laid
// out into a firmware model.
#pragma once

#include "LspciDump.h"
#include "sim/ConfigBlockProvider.h"
#include "sim/FirmwareVolume.h"
#include "sim/Machine.h"

#include <nlohmann/json.hpp>

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

struct Board {
  std::string Name;
  std::string Description;
  // Configuration spaces as the board powers on, and per-function behaviour.
  struct Function {
    sim::Bdf Location;
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
  bool ConfigWindow = true; // false: nothing decodes the chipset's configuration window
  // Functions of a capture in other PCI segments: the driver walks segment 0.
  std::map<UINT32, std::vector<sim::Bdf>> OtherDomains;
};

// The default board, built in.
Board DefaultBoard();
const char *DefaultBoardJson();

// Text from the input with control characters written as \xNN, so that a
// message quoting it stays one line and cannot drive the terminal.
std::string PrintableText(const std::string &Text);

// Parses a board description; on error returns nullopt with "Source: field: why".
std::optional<Board> ParseBoardJson(const std::string &Text, const std::string &Source, std::string *Error);
// Replaces Base's hierarchy with the segment-0 functions of an lspci dump and
// notes the functions of other segments.
Board WithDumpedHierarchy(Board Base, const std::vector<DumpedFunction> &Dump);
// Lays the board out into Machine: functions, variables, I/O APICs, and the
// services the board lacks made unavailable. Volumes and blocks follow.
void BuildMachine(const Board &Layout, sim::Machine &Machine);
// Adds the board's firmware volumes to Machine, in order, and returns them.
std::vector<sim::FirmwareVolume *> BuildFirmwareVolumes(const Board &Layout, sim::Machine &Machine);
// When the board has a configuration-block provider: adds its blocks to
// Provider and installs it into Machine.
void BuildConfigBlocks(const Board &Layout, sim::Machine &Machine, sim::ConfigBlockProvider &Provider);

} // namespace pciplat
