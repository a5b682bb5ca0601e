// One whole enumeration of a board in the firmware model: the run keeps one
// record of everything it produced (configuration spaces before and after,
// every access, call and decision, the option ROM answers, the platform's
// blocks and I/O APICs), and every output is made from that record: the JSON
// report (ReportJson.h; the text report is rendered from it), the trace, the
// register diff and the setpci script.
#pragma once

#include "Board.h"
#include "Registers.h"
#include "base/Decisions.h"
#include "sim/AccessLog.h"
#include "sim/PlatformCalls.h"
#include "sim/Sequencer.h"

#include <nlohmann/json.hpp>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace pciplat {

// Version 2 added reasons, warnings and this field; 3 made each reason one
// decision record's entry ({"kind", "reason", "text", "where", <field>...}),
// the PCI Express entries per function (a link only where there is one, L0s,
// payload) and provenance.
inline constexpr int kReportSchemaVersion = 3;

struct RunOptions {
  bool DisableAspm = false; // create the "DisableASPM" variable
  bool Names = true;        // device and class names from pci.ids
  sim::BusDriverSequence Sequence = sim::BusDriverSequence::OnePass;
};

using ConfigSpaces = std::map<sim::Bdf, ConfigSpace>;

// What GetPciRom answered for one device, as the bus driver saw it.
struct OptionRomAnswer {
  EFI_STATUS Status = EFI_SUCCESS;
  bool ImageReturned = false;
  UINTN Size = 0;
  std::optional<UINTN> SetImages;     // a PCI_OPTION_ROM_SET on the device's handle
  std::vector<std::string> FilesRead; // "GUID from volume N", files the volumes held
  bool VolumesRead = false;           // any section read, found or not
};

// A configuration block as the provider holds it after the run.
struct ConfigBlockState {
  std::vector<UINT8> Bytes;
  size_t Requests = 0;
};

// A callback call: the function and the point (PCI_CALLBACK_* bit).
struct CallbackCallRecord {
  sim::Bdf Location;
  UINT32 Point;
};

// What the run left behind, beyond the report.
struct RunRecord {
  ConfigSpaces Before; // every function of the board before the run
  ConfigSpaces After;
  std::vector<sim::Bdf> Found; // the functions the bus driver's scan reached
  std::vector<sim::Access> Accesses;
  // Every call into the driver's platform protocol; the trace's marks: the
  // entry point, then each of those calls.
  std::vector<sim::PlatformCall> PlatformCalls;
  std::vector<sim::CallMark> Calls;
  std::vector<DECISION> Decisions;       // the driver's own records, in order
  bool Enumerated = false;               // the entry point succeeded and the scan ran
  bool WindowDecoded = true;             // the chipset's configuration window reaches configuration space
  std::map<sim::Bdf, unsigned> Captured; // bytes a capture held, for functions captured short
  EFI_STATUS EntryStatus = EFI_SUCCESS;
  std::map<sim::Bdf, std::vector<unsigned>> RetrainPolls; // link-status polls of each retrain, per port
  std::map<sim::Bdf, OptionRomAnswer> OptionRoms;         // one request per function found
  std::vector<CallbackCallRecord> CallbackCalls;
  std::map<std::string, ConfigBlockState> ConfigBlocks; // the blocks the provider holds
  std::vector<std::pair<UINT64, UINT64>> IoApicIds;     // base, ID read back after the run
  size_t DriverCalls = 0;                               // calls the bus driver made
  UINT64 StallMicroseconds = 0;
  std::vector<std::string> Faults; // what the model caught the driver doing

  // Bytes of Location's configuration space whose values are known.
  unsigned CapturedBytes(const sim::Bdf &Location) const {
    const auto Short = Captured.find(Location);
    return Short != Captured.end() ? Short->second : sim::kConfigSpaceSize;
  }
};

struct RunResult {
  nlohmann::json Report;
  std::string DumpBefore; // lspci -xxxx text of every function before the run
  std::string DumpAfter;
  RunRecord Record;
};

RunResult RunBoard(const Board &Layout, const RunOptions &Options);

} // namespace pciplat
