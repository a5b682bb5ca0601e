// The driver's decisions as its decision hook reports them: what was decided,
// where, the driver's own reason code and the values it weighed. The report
// takes every reason from these records; the runner keeps no copy of the
// driver's rules, so a decision without a record shows no reason ("-").
#pragma once

#include "sim/PciBus.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

namespace pciplat {

enum class DecisionKind { Link, Retrain, Payload, Window, OptionRom, IoApic, ConfigBlock };
const char *DecisionKindName(DecisionKind Kind);

struct DecisionValue {
  std::string Name;
  UINT64 Value;
};

struct Decision {
  DecisionKind Kind;
  std::optional<sim::Bdf> Location; // the function decided about, if any
  std::string Subject;              // otherwise: a configuration block's name, an I/O APIC's base
  std::string Reason;               // the driver's reason code, e.g. "slot-clock-missing"
  std::vector<DecisionValue> Values;
};

class DecisionLog {
public:
  void Record(Decision Entry) { Entries.push_back(std::move(Entry)); }
  const std::vector<Decision> &All() const { return Entries; }
  // The records of Kind about Location (or, without one, about Subject).
  std::vector<const Decision *> About(DecisionKind Kind, std::optional<sim::Bdf> Location,
                                      const std::string &Subject = "") const;

private:
  std::vector<Decision> Entries;
};

// [{"reason": "...", "values": {"name": value}}, ...]; empty without records.
nlohmann::json ReasonsJson(const std::vector<const Decision *> &Records);
// "reason (name 0x.., ...); ..." from ReasonsJson's form, or "-".
std::string ReasonsText(const nlohmann::json &Reasons);

} // namespace pciplat
