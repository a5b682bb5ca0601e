// One whole enumeration of a board in the firmware model, and what the driver
// did to it, as one JSON document (the report's single source: the text
// report is rendered from it), with the raw record of the run that the trace,
// the register diff and the setpci script are made from.
#pragma once

#include "Board.h"
#include "Registers.h"
#include "base/Decisions.h"
#include "sim/AccessLog.h"
#include "sim/PlatformCalls.h"
#include "sim/Sequencer.h"

#include <nlohmann/json.hpp>

#include <map>
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
