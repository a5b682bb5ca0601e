// One whole enumeration of a board in the firmware model, and what the driver
// did to it, as one JSON document (the report's single source: the text
// report is rendered from it).
#pragma once

#include "Board.h"

#include <nlohmann/json.hpp>

#include <string>

namespace pciplat {

struct RunOptions {
  bool DisableAspm = false; // create the "DisableASPM" variable
  bool Names = true;        // device and class names from pci.ids
  bool Trace = false;       // keep the ordered access log in the result
};

struct RunResult {
  nlohmann::json Report;
  std::string DumpBefore; // lspci -xxxx text of every function before the run
  std::string DumpAfter;
  std::vector<std::string> Trace;
};

RunResult RunBoard(const Board &Layout, const RunOptions &Options);

} // namespace pciplat
