// The one table of decision reasons (base/DecisionTable.h): every kind and
// reason the driver records has its row, the names are the ones written out
// here, each row's line reads back as its record, and the runner's entries
// stand on the record alone.
#include "Decisions.h"
#include "Run.h"
#include "support/DecisionLineParser.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>

namespace {

using K = DECISION_KIND;
using R = DECISION_REASON;
using nlohmann::json;

struct NAMED {
  DECISION_KIND Kind;
  DECISION_REASON Reason;
  const char *KindName;
  const char *Name;
};

// Every kind and reason the driver records, and their names in a line.
constexpr NAMED kInUse[] = {
    {K::PlatformCall, R::None, "platform-call", "-"},
    {K::AspmPass, R::DisabledByVariable, "aspm-pass", "disabled-by-variable"},
    {K::HostBridge, R::L1Withheld, "host-bridge", "l1-withheld"},
    {K::HostBridge, R::L1Allowed, "host-bridge", "l1-allowed"},
    {K::Link, R::Configured, "link", "configured"},
    {K::Link, R::L1Withheld, "link", "configured-l1-withheld"},
    {K::Link, R::SlotClockMissing, "link", "slot-clock-missing"},
    {K::Link, R::L1Unsupported, "link", "l1-unsupported"},
    {K::Link, R::UpstreamPassThrough, "link", "upstream-pass-through"},
    {K::Retrain, R::Trained, "retrain", "trained"},
    {K::Retrain, R::GaveUp, "retrain", "gave-up"},
    {K::Retrain, R::StatusUnreadable, "retrain", "status-unreadable"},
    {K::Payload, R::Supported, "payload", "supported"},
    {K::Payload, R::Unreadable, "payload", "devcap-unreadable"},
    {K::Payload, R::Chosen, "payload", "chosen"},
    {K::Payload, R::Programmed, "payload", "programmed"},
    {K::Payload, R::NoDefinedSize, "payload", "no-defined-size"},
    {K::Window, R::LinkSetupBegin, "window", "link-setup-begin"},
    {K::Window, R::PortControlSet, "window", "port-control-set"},
    {K::Window, R::LinkSetupEnd, "window", "link-setup-end"},
    {K::OptionRom, R::Supplied, "option-rom", "supplied"},
    {K::OptionRom, R::NullResult, "option-rom", "null-result"},
    {K::OptionRom, R::NoPciIo, "option-rom", "no-pci-io"},
    {K::OptionRom, R::EthernetSwitchedOff, "option-rom", "ethernet-switched-off"},
    {K::OptionRom, R::Unidentified, "option-rom", "unidentified"},
    {K::OptionRom, R::FileRead, "option-rom", "file-read"},
    {K::OptionRom, R::FileMissing, "option-rom", "file-missing"},
    {K::OptionRom, R::VolumeUnreachable, "option-rom", "volume-unreachable"},
    {K::OptionRom, R::NoImage, "option-rom", "no-image"},
    {K::OptionRom, R::SetAttached, "option-rom", "set-attached"},
    {K::OptionRom, R::SetNotAttached, "option-rom", "set-not-attached"},
    {K::IoApic, R::IdProgrammed, "ioapic", "id-programmed"},
    {K::IoApic, R::NoAnswer, "ioapic", "no-answer"},
    {K::ConfigBlock, R::Written, "config-block", "written"},
    {K::ConfigBlock, R::NoProvider, "config-block", "no-provider"},
    {K::ConfigBlock, R::NoBlock, "config-block", "no-block"},
    {K::ConfigBlock, R::VariableRead, "config-block", "variable-read"},
    {K::ConfigBlock, R::VariableUnreadable, "config-block", "variable-unreadable"},
    {K::Callback, R::None, "callback", "-"},
    {K::IoApic, R::NoCpuIo, "ioapic", "no-cpu-io"},
    {K::Service, R::Located, "service", "located"},
    {K::Service, R::NotLocated, "service", "not-located"},
    {K::Service, R::StepSkipped, "service", "step-skipped"},
    {K::Retrain, R::BudgetSpent, "retrain", "budget-spent"},
    {K::Retrain, R::AlreadyWaited, "retrain", "already-waited"},
    {K::Link, R::Unreadable, "link", "register-unreadable"},
    {K::OptionRom, R::EmptySection, "option-rom", "empty-section"},
    {K::Callback, R::ReEntered, "callback", "re-entry-refused"},
};

std::string Line(const DECISION &Record) {
  char Text[DECISION_LINE_CAPACITY];
  FormatDecisionLine(Record, Text, sizeof(Text));
  return Text;
}

// A value of each style, as a record of the row would hold it.
std::vector<UINT64> Samples(DECISION_STYLE Style) {
  switch (Style) {
  case DECISION_STYLE::Bdf:
    return {0x04010000, 0xFF1F0700};
  case DECISION_STYLE::Bytes:
    return {0, 2, 5};
  case DECISION_STYLE::Ids:
    return {0x40018086};
  case DECISION_STYLE::Block:
  case DECISION_STYLE::Service:
    return {0, 2};
  case DECISION_STYLE::Member:
    return {0, 1, 3};
  case DECISION_STYLE::Point:
    return {1, 4};
  case DECISION_STYLE::Call: // notify, end of enumeration, exit; prepare controller; policy; GetPciRom
    return {0x000801, 0x010100, 0x020000, 0x030000};
  case DECISION_STYLE::None:
    return {0};
  default:
    return {0, 1, 0x42, 0x800000000000000EULL};
  }
}

// Each sample record of a row, at a function and nowhere.
std::vector<DECISION> SampleRecords(const DECISION_ROW &Row) {
  std::vector<DECISION> Records;
  for (const UINT32 Where : {0x001C0200U, DECISION_NOWHERE}) {
    for (const UINT64 Value : Samples(Row.Value.Style)) {
      for (const UINT64 Detail : Samples(Row.Detail.Style)) {
        Records.push_back({Row.Kind, Row.Reason, Where, Value, Detail});
      }
    }
  }
  return Records;
}

// The same kind, reason, function and every field the row describes.
void ExpectSameRecord(const DECISION &Expected, const std::optional<DECISION> &Read, const std::string &Text) {
  ASSERT_TRUE(Read.has_value()) << "does not read back: " << Text;
  const DECISION_ROW *Row = FindDecisionRow(Expected.Kind, Expected.Reason);
  ASSERT_NE(Row, nullptr) << Text;
  EXPECT_EQ(Read->Kind, Expected.Kind) << Text;
  EXPECT_EQ(Read->Reason, Expected.Reason) << Text;
  EXPECT_EQ(Read->Where, Expected.Where) << Text;
  if (Row->Value.Style != DECISION_STYLE::None) {
    EXPECT_EQ(Read->Value, Expected.Value) << Text;
  }
  if (Row->Detail.Style != DECISION_STYLE::None) {
    EXPECT_EQ(Read->Detail, Expected.Detail) << Text;
  }
}

TEST(DecisionTableTest, EveryKindAndReasonInUseHasItsRowAndNames) {
  for (const NAMED &Use : kInUse) {
    const DECISION_ROW *Row = FindDecisionRow(Use.Kind, Use.Reason);
    ASSERT_NE(Row, nullptr) << Use.KindName << " " << Use.Name;
    EXPECT_STREQ(DecisionKindName(Use.Kind), Use.KindName);
    EXPECT_STREQ(Row->Name, Use.Name) << Use.KindName;
    const std::string Printed = Line({Use.Kind, Use.Reason, DECISION_NOWHERE, 0, 0});
    const std::string Named = Use.Kind == K::PlatformCall ? "notify" : Use.Name; // a call names its member
    EXPECT_EQ(Printed.rfind("PCIPLAT " + std::string(Use.KindName) + " " + Named + " -", 0), 0U) << Printed;
  }
  EXPECT_EQ(DECISION_ROW_COUNT, std::size(kInUse)) << "a row no record uses, or a use missing above";
  std::set<UINTN> Reasons;
  std::set<UINTN> Kinds;
  for (const NAMED &Use : kInUse) {
    Reasons.insert(static_cast<UINTN>(Use.Reason));
    Kinds.insert(static_cast<UINTN>(Use.Kind));
  }
  EXPECT_EQ(Reasons.size(), static_cast<UINTN>(R::ReEntered) + 1) << "a reason without a row";
  EXPECT_EQ(Kinds.size(), static_cast<UINTN>(K::Service) + 1) << "a kind without a row";
}

TEST(DecisionTableTest, NoTwoRowsOfAKindShareANameOrAReason) {
  std::set<std::pair<UINTN, std::string>> Names;
  std::set<std::pair<UINTN, UINTN>> Pairs;
  for (const DECISION_ROW &Row : DECISION_ROWS) {
    EXPECT_TRUE(Names.insert({static_cast<UINTN>(Row.Kind), Row.Name}).second) << Row.Name;
    EXPECT_TRUE(Pairs.insert({static_cast<UINTN>(Row.Kind), static_cast<UINTN>(Row.Reason)}).second) << Row.Name;
  }
}

TEST(DecisionTableTest, EachRowsLineReadsBackAsItsRecordAndItsSentenceIsFilled) {
  for (const DECISION_ROW &Row : DECISION_ROWS) {
    for (const DECISION &Record : SampleRecords(Row)) {
      const std::string Text = Line(Record);
      ExpectSameRecord(Record, pciplat_test::ParseDecisionLine(Text), Text);
      const std::string Sentence = pciplat::DecisionText(Record);
      EXPECT_EQ(Sentence.find_first_of("{}"), std::string::npos) << Sentence;
    }
  }
}

TEST(DecisionTableTest, TheDefaultBoardsLinesReadBackAsItsRecords) {
  const pciplat::RunResult Result = pciplat::RunBoard(pciplat::DefaultBoard(), {false, false});
  ASSERT_FALSE(Result.Record.Decisions.empty());
  for (const DECISION &Record : Result.Record.Decisions) {
    const std::string Text = Line(Record);
    ExpectSameRecord(Record, pciplat_test::ParseDecisionLine(Text), Text);
  }
}

TEST(DecisionTableTest, AnEntryIsItsRecordAlone) {
  // A link left alone: the end that lacks the slot clock, from the record only.
  const DECISION Refused{K::Link, R::SlotClockMissing, 0x001C0100, 0x02000000, 0x02000000};
  EXPECT_EQ(pciplat::DecisionEntry(Refused),
            json({{"kind", "link"},
                  {"reason", "slot-clock-missing"},
                  {"text", "left alone: LnkSta bit 12 (Slot Clock Configuration) clear at 02:00.0"},
                  {"where", "00:1c.1"},
                  {"child", "02:00.0"},
                  {"end", "02:00.0"}}));
  // Common clock without L1 says why by itself.
  EXPECT_EQ(pciplat::DecisionText({K::Link, R::L1Withheld, 0x04010000, 0x40, 0x06000000}),
            "configured: 0x40 ORed into both ends' LnkCtl (bit 6 Common Clock Configuration only: the host-bridge "
            "L1 quirk withholds L1, see 00:00.0)");
  EXPECT_EQ(pciplat::DecisionText({K::Window, R::LinkSetupBegin, 0x001C0000, 0x174, 0x04}),
            "0x174 bit 2 set (:= 0x4) while the links below are configured");
  // How many rows matched is the record's own.
  EXPECT_EQ(pciplat::DecisionEntry({K::OptionRom, R::NoImage, 0x00020000, 2, 0}),
            json({{"kind", "option-rom"},
                  {"reason", "no-image"},
                  {"text", "EFI_NOT_FOUND: no image read; table rows naming this device: 2"},
                  {"where", "00:02.0"},
                  {"rows", 2}}));
  EXPECT_EQ(pciplat::DecisionEntry({K::ConfigBlock, R::NoProvider, DECISION_NOWHERE, 0, 0}),
            json({{"kind", "config-block"},
                  {"reason", "no-provider"},
                  {"text", "not written: no configuration-block provider was located"}}));
}

// Every reason list of the report, with the row it is on.
void CollectReasons(const json &Node, const std::string &Path, std::vector<std::pair<std::string, json>> *Lists) {
  if (Node.is_object()) {
    for (const auto &[Key, Value] : Node.items()) {
      if (Key.size() >= 7 && Key.compare(Key.size() - 7, 7, "reasons") == 0) {
        Lists->push_back({Path + "/" + Key, Value});
      }
      CollectReasons(Value, Path + "/" + Key, Lists);
    }
  } else if (Node.is_array()) {
    for (size_t Index = 0; Index < Node.size(); ++Index) {
      CollectReasons(Node[Index], Path + "/" + std::to_string(Index), Lists);
    }
  }
}

TEST(DecisionTableTest, TheReportsReasonsAreEntriesAndNoneRepeatsOnARow) {
  const pciplat::RunResult Result = pciplat::RunBoard(pciplat::DefaultBoard(), {false, false});
  std::vector<std::pair<std::string, json>> Lists;
  CollectReasons(Result.Report, "", &Lists);
  ASSERT_FALSE(Lists.empty());
  for (const auto &[Path, Reasons] : Lists) {
    std::set<std::string> Texts;
    for (const json &Entry : Reasons) {
      EXPECT_TRUE(Entry.contains("kind") && Entry.contains("reason") && Entry.contains("text")) << Path;
      EXPECT_FALSE(Entry.contains("values")) << Path;
      EXPECT_TRUE(Texts.insert(Entry["text"].get<std::string>()).second) << Path << ": " << Entry["text"];
    }
  }
  // The switch upstream port passes through to two downstream ports: one entry,
  // on its own row only.
  const auto Links = [&](const std::string &Location) {
    for (const json &Function : Result.Report["functions"]) {
      const json &Changes = Function["changes"];
      if (Function["location"] == Location) {
        return Changes.contains("host_bridge_reasons") ? Changes["host_bridge_reasons"]
                                                       : Changes["pcie"]["link"]["reasons"];
      }
    }
    return json();
  };
  const auto PassThroughs = [](const json &Reasons) {
    int Count = 0;
    for (const json &Entry : Reasons) {
      Count += Entry["reason"] == "upstream-pass-through" ? 1 : 0;
    }
    return Count;
  };
  EXPECT_EQ(PassThroughs(Links("03:00.0")), 1);
  EXPECT_EQ(PassThroughs(Links("04:00.0")), 0);
  EXPECT_EQ(PassThroughs(Links("04:01.0")), 0);
  // The host bridge's record stays at 00:00.0; option ROM sets carry their device.
  ASSERT_EQ(Links("00:00.0").size(), 1U);
  EXPECT_EQ(Links("00:00.0")[0]["reason"], "l1-withheld");
  EXPECT_EQ(Links("00:00.0")[0]["ids"], "8086:4001");
  EXPECT_EQ(Links("06:00.0")[0]["reason"], "configured-l1-withheld");
  for (const json &Function : Result.Report["functions"]) {
    if (Function["location"] == "01:00.0") {
      EXPECT_EQ(Function["option_rom"]["reasons"].back(),
                json({{"kind", "option-rom"},
                      {"reason", "set-attached"},
                      {"text", "PCI_OPTION_ROM_SET of 2 images attached to the handle"},
                      {"where", "01:00.0"},
                      {"images", 2}}));
    }
  }
}

} // namespace
