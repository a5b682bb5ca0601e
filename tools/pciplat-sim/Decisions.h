// The driver's decisions as its decision hook reports them: what was decided,
// where, the driver's own reason code and the values it weighed. The report
// takes every reason from these records; the runner keeps no copy of the
// driver's rules, so a decision without a record shows no reason ("-").
#pragma once

#include "base/Decisions.h"
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

// The report's view of the driver's decision records (base/Decisions.h). A log
// made over a machine's records reads the ones made since its last look
// whenever it is asked, so it can be queried while the driver still runs.
class DecisionLog {
public:
  DecisionLog() = default;
  explicit DecisionLog(const std::vector<DECISION> &Source) : Source(&Source) {}

  void Record(Decision Entry) { Entries.push_back(std::move(Entry)); }
  const std::vector<Decision> &All() const;
  // The records of Kind about Location (or, without one, about Subject).
  std::vector<const Decision *> About(DecisionKind Kind, std::optional<sim::Bdf> Location,
                                      const std::string &Subject = "") const;

private:
  void Catch() const;
  void Convert(const DECISION &Record) const;
  void ConvertOptionRom(const DECISION &Record, std::optional<sim::Bdf> Location) const;
  void ConvertConfigBlock(const DECISION &Record) const;

  const std::vector<DECISION> *Source = nullptr;
  mutable size_t Converted = 0;
  mutable std::vector<Decision> Entries;
  mutable std::optional<sim::Bdf> LastDevice;     // of the option ROM request in progress
  mutable size_t RowsTried = 0;                   // its matching rows so far
  mutable std::optional<Decision> HostBridgeNote; // to go with the next link decision
};

// The function a decision record's Where names.
sim::Bdf BdfOf(UINT64 Where);

// [{"reason": "...", "values": {"name": value}}, ...]; empty without records.
nlohmann::json ReasonsJson(const std::vector<const Decision *> &Records);
// "reason (name 0x.., ...); ..." from ReasonsJson's form, or "-".
std::string ReasonsText(const nlohmann::json &Reasons);

} // namespace pciplat
