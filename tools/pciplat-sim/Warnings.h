// Where a board and the rules disagree, found from the board and the record
// of its run: functions the scan never reaches, bus loops and overlapping bus
// ranges, short captures, chipset window writes that land in a standard
// capability, L1 exit latencies an endpoint does not accept, payload settings
// above what a function supports. Warnings never change what the driver does.
#pragma once

#include "Board.h"
#include "Run.h"

#include <nlohmann/json.hpp>

namespace pciplat {

// [{"kind": "...", "location": "bb:dd.f" (when one function), "message": "..."}]
nlohmann::json FindWarnings(const Board &Layout, const RunRecord &Record);

// One warning of FindWarnings' form.
nlohmann::json MakeWarning(const char *Kind, const std::string &Message,
                           std::optional<sim::Bdf> Location = std::nullopt);

// The PCI Express warnings, appended to Out: chipset window writes inside a
// capability, L1 exit latencies, payload settings, link speeds.
void WindowWritesInCapabilities(const RunRecord &Record, nlohmann::json &Out);
void L1ExitLatencies(const RunRecord &Record, nlohmann::json &Out);
void PayloadAboveSupported(const RunRecord &Record, nlohmann::json &Out);
void LinkSpeedAboveSupported(const RunRecord &Record, nlohmann::json &Out);
void PayloadGuesses(const RunRecord &Record, nlohmann::json &Out);

} // namespace pciplat
