// The one table of the driver's decision records (Decisions.h): for each kind
// its name, and for each reason of a kind the name its lines print, what its
// Value and Detail fields mean (a label and how they print) and the sentence a
// human reads, a template filled from the fields. The debug image's line
// formatter and the board runner read these rows; nothing else spells a kind
// or a reason. Freestanding and constexpr: only the builds that print records
// (host, debug image) use it, and the shipped image holds none of its text.
#pragma once

#include "Decisions.h"

// How a field prints, the same in a line, a sentence and the runner's JSON.
enum class DECISION_STYLE : UINT8 {
  None,    // the record has no such field
  Hex,     // 0x42
  Dec,     // 3
  Bdf,     // a function as Where holds it: 01:00.0, or - for none
  Bytes,   // a Max_Payload_Size code, printed as its size in bytes: 256
  Ids,     // vendor in bits 15:0, device in bits 31:16: 8086:4001
  Block,   // one of DECISION_BLOCK_NAMES
  Point,   // a PCI_CALLBACK_* bit: one of DECISION_POINT_NAMES
  Call,    // member << 16 | phase << 8 | chipset phase; the member stands in the line's reason place
  Service, // one of DECISION_SERVICE_NAMES
  Member,  // a platform-call member alone: one of DECISION_CALL_NAMES
};

struct DECISION_FIELD {
  const char *Label; // in the line before the value, and the sentence's placeholder
  DECISION_STYLE Style;
  bool About; // the record is also about this function (a link's child): the runner shows it there too
};

struct DECISION_ROW {
  DECISION_KIND Kind;
  DECISION_REASON Reason;
  const char *Name; // the reason in a line
  DECISION_FIELD Value;
  DECISION_FIELD Detail;
  bool DetailFirst; // the line prints Detail before Value
  // "{label}" is a field as it prints, "{label:noun}" the field and the noun,
  // plural unless the field is 1.
  const char *Sentence;
};

inline constexpr DECISION_FIELD DECISION_NO_FIELD = {"", DECISION_STYLE::None, false};

// In the order of DECISION_KIND.
inline constexpr const char *DECISION_KIND_NAMES[] = {"platform-call", "aspm-pass",    "host-bridge", "link",
                                                      "retrain",       "payload",      "window",      "option-rom",
                                                      "ioapic",        "config-block", "callback",    "service"};
inline constexpr UINTN DECISION_KIND_COUNT = sizeof(DECISION_KIND_NAMES) / sizeof(DECISION_KIND_NAMES[0]);
static_assert(DECISION_KIND_COUNT == static_cast<UINTN>(DECISION_KIND::Service) + 1);

// The vocabularies of the Block, Point and Call styles: block by number,
// point by its bit (1, 2, 4), platform-call member and phase by number.
inline constexpr const char *DECISION_BLOCK_NAMES[] = {"QMX_DEP_CONF", "QMX_CONF", "Setup"};
inline constexpr const char *DECISION_SERVICE_NAMES[] = {"root-bridge-io", "cpu-io", "config-block-provider"};
inline constexpr const char *DECISION_POINT_NAMES[] = {"prep-controller", "begin-allocation", "end-allocation"};
inline constexpr const char *DECISION_CALL_NAMES[] = {"notify", "prep-controller", "policy", "get-pci-rom"};
inline constexpr const char *DECISION_NOTIFY_PHASE_NAMES[] = {
    "begin-enumeration",  "begin-bus-allocation", "end-bus-allocation", "begin-resource-allocation",
    "allocate-resources", "set-resources",        "free-resources",     "end-resource-allocation",
    "end-enumeration"};
inline constexpr const char *DECISION_CONTROLLER_PHASE_NAMES[] = {"before-child-bus", "before-resource-collection"};
inline constexpr const char *DECISION_CHIPSET_PHASE_NAMES[] = {"entry", "exit"};

namespace decision_fields {
using K = DECISION_KIND;
using R = DECISION_REASON;
using S = DECISION_STYLE;
inline constexpr DECISION_FIELD None = DECISION_NO_FIELD;
inline constexpr DECISION_FIELD Child = {"child", S::Bdf, true};
inline constexpr DECISION_FIELD ChildOnly = {"child", S::Bdf, false}; // named, but the record is not about it
inline constexpr DECISION_FIELD End = {"end", S::Bdf, false};
inline constexpr DECISION_FIELD LinkControl = {"value", S::Hex, false};
inline constexpr DECISION_FIELD Ids = {"ids", S::Ids, false};
inline constexpr DECISION_FIELD Revision = {"revision", S::Hex, false};
inline constexpr DECISION_FIELD Polls = {"polls", S::Dec, false};
inline constexpr DECISION_FIELD Waited = {"us", S::Dec, false};
inline constexpr DECISION_FIELD Bytes = {"bytes", S::Bytes, false};
inline constexpr DECISION_FIELD Register = {"register", S::Hex, false};
inline constexpr DECISION_FIELD Written = {"value", S::Hex, false};
inline constexpr DECISION_FIELD Images = {"images", S::Dec, false};
inline constexpr DECISION_FIELD Row = {"row", S::Dec, false};
inline constexpr DECISION_FIELD Rows = {"rows", S::Dec, false};
inline constexpr DECISION_FIELD Base = {"base", S::Hex, false};
inline constexpr DECISION_FIELD Id = {"id", S::Dec, false};
inline constexpr DECISION_FIELD Block = {"block", S::Block, false};
inline constexpr DECISION_FIELD Status = {"status", S::Hex, false};
inline constexpr DECISION_FIELD Point = {"point", S::Point, false};
inline constexpr DECISION_FIELD Call = {"call", S::Call, false};
inline constexpr DECISION_FIELD Service = {"service", S::Service, false};
inline constexpr DECISION_FIELD Hook = {"hook", S::Member, false};
inline constexpr DECISION_FIELD Volume = {"volume", S::Dec, false};
inline constexpr DECISION_FIELD Size = {"size", S::Dec, false};

inline constexpr DECISION_ROW DECISION_ROWS[] = {
    {K::PlatformCall, R::None, "-", Call, Status, false, "platform hook {call} returned {status}"},
    {K::AspmPass, R::DisabledByVariable, "disabled-by-variable", None, None, false,
     "left alone: \"DisableASPM\" present, no link is configured"},
    {K::HostBridge, R::L1Withheld, "l1-withheld", Ids, Revision, false,
     "host bridge {ids} rev {revision}, an early revision of a listed bridge: L1 withheld on a link faster than "
     "2.5 GT/s"},
    {K::HostBridge, R::L1Allowed, "l1-allowed", Ids, Revision, false,
     "host bridge {ids} rev {revision}, a later revision of a listed bridge: L1 allowed on a link faster than 2.5 "
     "GT/s"},
    {K::Link, R::Configured, "configured", LinkControl, Child, true,
     "configured: {value} ORed into both ends' LnkCtl (bit 6 Common Clock Configuration, bit 1 ASPM L1 entry)"},
    {K::Link, R::L1Withheld, "configured-l1-withheld", LinkControl, Child, true,
     "configured: {value} ORed into both ends' LnkCtl (bit 6 Common Clock Configuration only: the host-bridge L1 "
     "quirk withholds L1, see 00:00.0)"},
    {K::Link, R::SlotClockMissing, "slot-clock-missing", End, Child, true,
     "left alone: LnkSta bit 12 (Slot Clock Configuration) clear at {end}"},
    {K::Link, R::L1Unsupported, "l1-unsupported", End, Child, true,
     "left alone: LnkCap bit 11 (ASPM L1 support) clear at {end}"},
    {K::Link, R::UpstreamPassThrough, "upstream-pass-through", End, ChildOnly, true,
     "passed through: a switch upstream port owns no link below it, each downstream port configures its own"},
    {K::Retrain, R::Trained, "trained", Polls, Waited, false,
     "trained after {polls:poll} ({us} us): LnkSta bit 11 (Link Training) clear"},
    {K::Retrain, R::GaveUp, "gave-up", Polls, Waited, false,
     "gave up after {polls:poll} ({us} us): LnkSta bit 11 (Link Training) still set"},
    {K::Retrain, R::StatusUnreadable, "status-unreadable", Polls, Waited, false,
     "stopped waiting: LnkSta unreadable at poll {polls} ({us} us)"},
    {K::Payload, R::Supported, "supported", Bytes, None, false, "supports {bytes} bytes (DevCap bits 2:0)"},
    {K::Payload, R::Unreadable, "devcap-unreadable", Bytes, None, false,
     "DevCap unreadable: counted as supporting {bytes} bytes, the size every PCI Express function supports"},
    {K::Payload, R::Chosen, "chosen", Bytes, None, false,
     "{bytes} bytes, the largest size every PCI Express function supports"},
    {K::Payload, R::Programmed, "programmed", Bytes, None, false, "programmed {bytes} bytes (DevCtl bits 7:5)"},
    {K::Payload, R::NoDefinedSize, "no-defined-size", Bytes, None, false,
     "nothing programmed: no PCI Express function, or only reserved sizes reported"},
    {K::Window, R::LinkSetupBegin, "link-setup-begin", Register, Written, false,
     "{register} bit 2 set (:= {value}) while the links below are configured"},
    {K::Window, R::PortControlSet, "port-control-set", Register, Written, false,
     "{register} bit 12 set (:= {value}); the driver does not clear it again"},
    {K::Window, R::LinkSetupEnd, "link-setup-end", Register, Written, false, "{register} bit 2 cleared (:= {value})"},
    {K::OptionRom, R::Supplied, "supplied", Images, None, false, "supplied: the last of {images:image} read"},
    {K::OptionRom, R::NullResult, "null-result", None, None, false,
     "EFI_INVALID_PARAMETER: RomImage or RomSize is null"},
    {K::OptionRom, R::NoPciIo, "no-pci-io", None, None, false, "EFI_NOT_FOUND: no PCI I/O on the handle"},
    {K::OptionRom, R::EthernetSwitchedOff, "ethernet-switched-off", None, None, false,
     "EFI_NOT_FOUND: an Ethernet controller (class 0x0200), and Setup byte 91 is 0 (also when the \"Setup\" "
     "variable could not be read): no option ROM for Ethernet controllers"},
    {K::OptionRom, R::Unidentified, "unidentified", None, None, false,
     "EFI_NOT_FOUND: location, class or IDs unreadable"},
    {K::OptionRom, R::FileRead, "file-read", Row, None, false, "row {row}: file read"},
    {K::OptionRom, R::FileMissing, "file-missing", Row, None, false, "row {row}: no firmware volume holds the file"},
    {K::OptionRom, R::VolumeUnreachable, "volume-unreachable", Row, None, false,
     "row {row}: a firmware volume's interface could not be had, the search stopped"},
    {K::OptionRom, R::NoImage, "no-image", Rows, None, false,
     "EFI_NOT_FOUND: no image read; table rows naming this device: {rows}"},
    {K::OptionRom, R::SetAttached, "set-attached", Images, None, false,
     "PCI_OPTION_ROM_SET of {images:image} attached to the handle"},
    {K::OptionRom, R::SetNotAttached, "set-not-attached", Images, None, false,
     "no PCI_OPTION_ROM_SET attached (the handle has one, or it could not be made): of {images:image} only the "
     "returned one is kept"},
    {K::IoApic, R::IdProgrammed, "id-programmed", Base, Id, false, "ID {id} programmed at {base}, system-bus delivery"},
    {K::IoApic, R::NoAnswer, "no-answer", Base, Id, false,
     "no answer at {base} (index register unreadable or all ones): ID {id} not programmed"},
    {K::ConfigBlock, R::Written, "written", Block, None, false, "{block} written"},
    {K::ConfigBlock, R::NoProvider, "no-provider", None, None, false,
     "not written: no configuration-block provider was located"},
    {K::ConfigBlock, R::NoBlock, "no-block", Block, None, false, "not written: the provider has no {block} block"},
    {K::ConfigBlock, R::VariableRead, "variable-read", Block, Status, false, "the \"{block}\" variable read"},
    {K::ConfigBlock, R::VariableUnreadable, "variable-unreadable", Block, Status, false,
     "the \"{block}\" variable unreadable ({status}): the image keeps what it held"},
    {K::Callback, R::None, "-", Point, None, false, "the registered callbacks run at {point}"},
    {K::IoApic, R::NoCpuIo, "no-cpu-io", Base, Id, false,
     "ID {id} not programmed at {base}: no CPU I/O service was located"},
    {K::Service, R::Located, "located", Service, Status, false, "{service} located"},
    {K::Service, R::NotLocated, "not-located", Service, Status, false,
     "{service} not located (the lookup returned {status}): the steps that need it are skipped"},
    {K::Service, R::StepSkipped, "step-skipped", Service, Point, false,
     "at {point}: the callback walk, and at begin-allocation the link and payload passes, skipped: no {service}"},
    {K::Retrain, R::BudgetSpent, "budget-spent", Polls, Waited, false,
     "stopped waiting after {polls:poll} ({us} us): the pass's retrain waits used up their budget; the retrain stays "
     "requested"},
    {K::Retrain, R::AlreadyWaited, "already-waited", None, None, false,
     "retrain requested, not waited for: this pass waited for this port's link once already"},
    {K::Link, R::Unreadable, "register-unreadable", Register, None, false,
     "left alone: link register {register} could not be read here, and a link qualifies only on values read"},
    {K::OptionRom, R::EmptySection, "empty-section", Volume, Size, false,
     "volume {volume} read the raw section with success but handed no image (a null buffer, or {size} bytes): "
     "the file counts as missing there"},
    {K::Callback, R::ReEntered, "re-entry-refused", Point, Hook, false,
     "refused: {hook} called from a callback while the callbacks of {point} ran; it acted on nothing and returned "
     "EFI_SUCCESS"},
};
} // namespace decision_fields

using decision_fields::DECISION_ROWS;
inline constexpr UINTN DECISION_ROW_COUNT = sizeof(DECISION_ROWS) / sizeof(DECISION_ROWS[0]);

constexpr const char *DecisionKindName(DECISION_KIND Kind) {
  return static_cast<UINTN>(Kind) < DECISION_KIND_COUNT ? DECISION_KIND_NAMES[static_cast<UINTN>(Kind)] : "?";
}

// The row of a record, or null for a pair no row describes.
constexpr const DECISION_ROW *FindDecisionRow(DECISION_KIND Kind, DECISION_REASON Reason) {
  for (const DECISION_ROW &Row : DECISION_ROWS) {
    if (Row.Kind == Kind && Row.Reason == Reason) {
      return &Row;
    }
  }
  return nullptr;
}

// The record as one line of text without a line end, "PCIPLAT <kind> <reason>
// <where> [<label> <value>]...", cut to fit Capacity (which holds the NUL).
// A platform call names its member in the reason's place and its phase,
// unlabelled, after the function. The debug image writes these lines to its
// serial port and the board runner prints them: one formatter, so the two
// can be compared line by line.
inline constexpr UINTN DECISION_LINE_CAPACITY = 128;
UINTN FormatDecisionLine(const DECISION &Decision, char *Line, UINTN Capacity);

// One field's value as lines print it (a Call as "<member>[ <phase> <entry|exit>]").
UINTN FormatDecisionValue(DECISION_STYLE Style, UINT64 Value, char *Text, UINTN Capacity);
