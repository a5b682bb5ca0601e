#include "Decisions.h"

#include "TextFormat.h"

namespace pciplat {

const char *DecisionKindName(DecisionKind Kind) {
  switch (Kind) {
  case DecisionKind::Link:
    return "link";
  case DecisionKind::Retrain:
    return "retrain";
  case DecisionKind::Payload:
    return "payload";
  case DecisionKind::Window:
    return "window";
  case DecisionKind::OptionRom:
    return "option_rom";
  case DecisionKind::IoApic:
    return "io_apic";
  case DecisionKind::ConfigBlock:
    return "config_block";
  }
  return "?";
}

std::vector<const Decision *> DecisionLog::About(DecisionKind Kind, std::optional<sim::Bdf> Location,
                                                 const std::string &Subject) const {
  Catch();
  std::vector<const Decision *> Found;
  for (const Decision &Entry : Entries) {
    if (Entry.Kind == Kind && Entry.Location == Location && (Location || Entry.Subject == Subject)) {
      Found.push_back(&Entry);
    }
  }
  return Found;
}

const std::vector<Decision> &DecisionLog::All() const {
  Catch();
  return Entries;
}

void DecisionLog::Catch() const {
  for (; Source != nullptr && Converted < Source->size(); ++Converted) {
    Convert((*Source)[Converted]);
  }
}

nlohmann::json ReasonsJson(const std::vector<const Decision *> &Records) {
  nlohmann::json Reasons = nlohmann::json::array();
  for (const Decision *Entry : Records) {
    nlohmann::json Values = nlohmann::json::object();
    for (const DecisionValue &Value : Entry->Values) {
      Values[Value.Name] = Value.Value;
    }
    Reasons.push_back({{"reason", Entry->Reason}, {"values", Values}});
  }
  return Reasons;
}

std::string ReasonsText(const nlohmann::json &Reasons) {
  if (Reasons.empty()) {
    return "-";
  }
  std::string Text;
  for (const nlohmann::json &Entry : Reasons) {
    Text += (Text.empty() ? "" : "; ") + Entry["reason"].get<std::string>();
    std::string Values;
    for (const auto &[Name, Value] : Entry["values"].items()) {
      Values += (Values.empty() ? "" : ", ") + Name + " " + Hex(Value.get<UINT64>(), 1);
    }
    Text += Values.empty() ? "" : " (" + Values + ")";
  }
  return Text;
}

} // namespace pciplat
