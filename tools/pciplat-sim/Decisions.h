// The driver's decision records (base/Decisions.h) as the report shows them:
// each record becomes one entry by itself, named, labelled and explained by
// its row in base/DecisionTable.h. The runner keeps no copy of the driver's
// rules and no state between records, so a decision without a record shows
// no reason ("-").
#pragma once

#include "base/DecisionTable.h"
#include "sim/PciBus.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

namespace pciplat {

// The function a decision record's Where (or a function field) names.
sim::Bdf BdfOf(UINT64 Where);

// Record's sentence, its row's template filled from its fields.
std::string DecisionText(const DECISION &Record);
// The report's entry for one record: {"kind", "reason", "text", "where" when
// it names a function, then each field the record has by its label: decimal
// fields as numbers, the others as the strings its line prints}.
nlohmann::json DecisionEntry(const DECISION &Record);

// The records of Kind about Location: made there, or naming it in a field its
// row marks as what the record is about (a link's child). Without a Location:
// those made at no function, and when Subject is given only those with a
// field that prints as Subject (a block's name, an I/O APIC's base) or with
// no field at all.
std::vector<DECISION> DecisionsAbout(const std::vector<DECISION> &Records, DECISION_KIND Kind,
                                     std::optional<sim::Bdf> Location, const std::string &Subject = "");

// The entries of Records, in order, an identical sentence only once.
nlohmann::json ReasonsJson(const std::vector<DECISION> &Records);
// The entries' sentences joined by "; ", or "-" without any.
std::string ReasonsText(const nlohmann::json &Reasons);

} // namespace pciplat
