// The report of one run as one JSON document, made from the run's record
// alone (the text report is rendered from it).
#pragma once

#include "Board.h"
#include "Run.h"

#include <nlohmann/json.hpp>

#include <string>

namespace pciplat {

nlohmann::json BuildReport(const Board &Layout, const RunOptions &Options, const RunRecord &Record);

// "EFI_SUCCESS", "EFI_NOT_FOUND", ... or the value in hex.
std::string StatusName(EFI_STATUS Status);

} // namespace pciplat
