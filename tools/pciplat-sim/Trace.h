// The run's access log for a person: driver-call markers between the
// accesses, registers by name, hex at the access width, and runs of probes
// of absent functions collapsed into one entry. The JSON entries are the
// single source; the text is rendered from them.
#pragma once

#include "Run.h"

#include <nlohmann/json.hpp>

#include <string>

namespace pciplat {

// [{"type": "call", "call": "..."},
//  {"type": "access", "kind": "config-write", "location": "00:1c.0", "register": "CAP_EXP+10.b",
//   "offset": "0x050", "meaning": "LnkCtl: ASPM L1, CommClk", "count": 1, "value": "0x42"},
//  {"type": "absent-probes", "kind": "config-read", "first": "00:01.0", "last": "00:1b.7", "probes": 27,
//   "register": "VENDOR_ID.l", "value": "0xffffffff"}, ...]
nlohmann::json TraceEntries(const RunRecord &Record);
std::string RenderTrace(const nlohmann::json &Entries);

} // namespace pciplat
