// Names of decision kinds and reasons, for the builds that print decisions
// (host, debug image); the shipped image has none.
#include "Decisions.h"

namespace {

constexpr const char *kKindNames[] = {"platform-call", "aspm-pass",    "host-bridge", "link",
                                      "retrain",       "payload",      "window",      "option-rom",
                                      "ioapic",        "config-block", "callback"};
static_assert(sizeof(kKindNames) / sizeof(kKindNames[0]) == static_cast<UINTN>(DECISION_KIND::Callback) + 1);

// In the order of DECISION_REASON.
constexpr const char *kReasonNames[] = {
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
static_assert(sizeof(kReasonNames) / sizeof(kReasonNames[0]) ==
              static_cast<UINTN>(DECISION_REASON::VariableUnreadable) + 1);

template <UINTN Count> const char *NameAt(const char *const (&Names)[Count], UINTN Index) {
  return Index < Count ? Names[Index] : "?";
}

} // namespace

const char *DecisionKindName(DECISION_KIND Kind) { return NameAt(kKindNames, static_cast<UINTN>(Kind)); }

const char *DecisionReasonName(DECISION_REASON Reason) { return NameAt(kReasonNames, static_cast<UINTN>(Reason)); }
