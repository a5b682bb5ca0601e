// The registers the driver changed, in setpci's notation, and a setpci script
// that replays the driver's configuration writes on a live machine.
#pragma once

#include "Run.h"

#include <nlohmann/json.hpp>

#include <string>

namespace pciplat {

// [{"location": "00:1c.0", "register": "CAP_EXP+10.b", "before": "0x00", "after": "0x42",
//   "meaning": "LnkCtl: ASPM L1, CommClk"}, ...] in the order the driver first wrote them.
nlohmann::json RegisterChanges(const RunRecord &Record);
// "00:1c.0 CAP_EXP+10.b: 00 -> 42 (LnkCtl: ASPM L1, CommClk)" per line.
std::string RenderChanges(const nlohmann::json &Changes);

// What a setpci script says it was generated from.
struct ScriptSource {
  std::string BoardName; // the board's name, with the capture file when one was given
  std::string Runner;    // "pciplat-sim 0.2.0"
  std::string Sequence;  // the bus driver sequence: "one-pass", "ovmf"
  bool DisableAspm = false;
  UINT32 Domain = 0; // the PCI domain of the segment the driver walked
};

// A shell script of setpci commands, one per configuration write that changed
// bits, in the driver's order, to functions the driver walked, at full
// domain:bus:dev.fn addresses. Each writes the whole fields the driver's write
// governs (value:mask) and waits for a link it retrains.
std::string SetpciScript(const RunRecord &Record, const ScriptSource &Source);

} // namespace pciplat
