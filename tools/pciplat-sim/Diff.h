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

// A shell script of setpci commands, one per configuration write that changed
// bits, in the driver's order, each writing only those bits (value:mask).
std::string SetpciScript(const RunRecord &Record, const std::string &BoardName);

} // namespace pciplat
