// Names of decision kinds and reasons, for the builds that print decisions
// (host, debug image); the shipped image has none.
#include "Decisions.h"

const char *DecisionKindName(DECISION_KIND Kind) {
  constexpr const char *Names[] = {"platform-call", "aspm-pass",  "host-bridge", "link",         "retrain", "payload",
                                   "window",        "option-rom", "ioapic",      "config-block", "callback"};
  static_assert(sizeof(Names) / sizeof(Names[0]) == static_cast<UINTN>(DECISION_KIND::Callback) + 1);
  const auto Index = static_cast<UINTN>(Kind);
  return Index < sizeof(Names) / sizeof(Names[0]) ? Names[Index] : "?";
}

namespace {

constexpr const char *ReasonNames[] = {
    "-",
    "configured",
    "slot-clock-missing",
    "l1-unsupported",
    "upstream-pass-through",
    "disabled-by-variable",
    "l1-withheld",
    "l1-allowed",
    "trained",
    "gave-up",
    "status-unreadable",
    "supported",
    "chosen",
    "programmed",
    "no-defined-size",
    "link-setup-begin",
    "port-control-set",
    "link-setup-end",
    "supplied",
    "null-result",
    "no-pci-io",
    "ethernet-switched-off",
    "unidentified",
    "file-read",
    "file-missing",
    "volume-unreachable",
    "no-image",
    "set-attached",
    "set-not-attached",
    "id-programmed",
    "no-answer",
    "written",
    "no-provider",
    "no-block",
    "variable-read",
    "variable-unreadable",
};

} // namespace

const char *DecisionReasonName(DECISION_REASON Reason) {
  static_assert(sizeof(ReasonNames) / sizeof(ReasonNames[0]) ==
                static_cast<UINTN>(DECISION_REASON::VariableUnreadable) + 1);
  const auto Index = static_cast<UINTN>(Reason);
  return Index < sizeof(ReasonNames) / sizeof(ReasonNames[0]) ? ReasonNames[Index] : "?";
}
