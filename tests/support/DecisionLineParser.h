// A decision line (base/DecisionTable.h) read back into its record: the
// inverse of FormatDecisionLine, for tests that hold lines against records.
// Fields a record's row does not describe read back as 0.
#pragma once

#include "base/DecisionTable.h"

#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace pciplat_test {

template <UINTN Count> std::optional<UINT64> IndexOf(const char *const (&Names)[Count], const std::string &Word) {
  for (UINTN Index = 0; Index < Count; ++Index) {
    if (Word == Names[Index]) {
      return Index;
    }
  }
  return std::nullopt;
}

inline std::optional<UINT64> ParseNumber(const std::string &Word, int Base) {
  char *End = nullptr;
  const unsigned long long Number = std::strtoull(Word.c_str(), &End, Base);
  return !Word.empty() && *End == '\0' ? std::optional<UINT64>(Number) : std::nullopt;
}

// "bb:dd.f" as Where holds it, or "-" for none.
inline std::optional<UINT64> ParseBdf(const std::string &Word) {
  if (Word == "-") {
    return DECISION_NOWHERE;
  }
  if (Word.size() != 7 || Word[2] != ':' || Word[5] != '.') {
    return std::nullopt;
  }
  const auto Bus = ParseNumber(Word.substr(0, 2), 16);
  const auto Device = ParseNumber(Word.substr(3, 2), 16);
  const auto Function = ParseNumber(Word.substr(6, 1), 16);
  if (!Bus || !Device || !Function) {
    return std::nullopt;
  }
  return *Bus << 24 | *Device << 16 | *Function << 8;
}

inline std::optional<UINT64> ParseBytes(const std::string &Word) {
  const auto Bytes = ParseNumber(Word, 10);
  for (UINT64 Code = 0; Bytes && Code < 8; ++Code) {
    if (128ULL << Code == *Bytes) {
      return Code;
    }
  }
  return Bytes;
}

inline std::optional<UINT64> ParseIds(const std::string &Word) {
  const size_t Colon = Word.find(':');
  const auto Vendor = ParseNumber(Word.substr(0, Colon), 16);
  const auto Device = Colon == std::string::npos ? std::nullopt : ParseNumber(Word.substr(Colon + 1), 16);
  return Vendor && Device ? std::optional<UINT64>(*Vendor | *Device << 16) : std::nullopt;
}

inline std::optional<UINT64> ParseValue(DECISION_STYLE Style, const std::string &Word) {
  switch (Style) {
  case DECISION_STYLE::Hex:
    return Word.rfind("0x", 0) == 0 ? ParseNumber(Word.substr(2), 16) : std::nullopt;
  case DECISION_STYLE::Dec:
    return ParseNumber(Word, 10);
  case DECISION_STYLE::Bdf:
    return ParseBdf(Word);
  case DECISION_STYLE::Bytes:
    return ParseBytes(Word);
  case DECISION_STYLE::Ids:
    return ParseIds(Word);
  case DECISION_STYLE::Block:
    return IndexOf(DECISION_BLOCK_NAMES, Word);
  case DECISION_STYLE::Service:
    return IndexOf(DECISION_SERVICE_NAMES, Word);
  case DECISION_STYLE::Member:
    return IndexOf(DECISION_CALL_NAMES, Word);
  case DECISION_STYLE::Point: {
    const auto Bit = IndexOf(DECISION_POINT_NAMES, Word);
    return Bit ? std::optional<UINT64>(1ULL << *Bit) : std::nullopt;
  }
  default:
    return std::nullopt;
  }
}

// The words of a line, consumed from the front.
class LINE_WORDS {
public:
  explicit LINE_WORDS(const std::string &Line) {
    std::istringstream Stream(Line);
    for (std::string Word; Stream >> Word;) {
      Words.push_back(Word);
    }
  }
  std::optional<std::string> Next() { return At < Words.size() ? std::optional(Words[At++]) : std::nullopt; }
  bool Done() const { return At == Words.size(); }

private:
  std::vector<std::string> Words;
  size_t At = 0;
};

// A platform call: its member (already read) and, for the two hooks with
// phases, "<phase> <entry|exit>".
inline std::optional<UINT64> ParseCall(UINT64 Member, LINE_WORDS &Words) {
  if (Member != DECISION_CALL_PLATFORM_NOTIFY && Member != DECISION_CALL_PREP_CONTROLLER) {
    return Member << 16;
  }
  const auto Phase = Words.Next();
  const auto Chipset = Words.Next();
  const auto PhaseIndex = !Phase                                    ? std::nullopt
                          : Member == DECISION_CALL_PLATFORM_NOTIFY ? IndexOf(DECISION_NOTIFY_PHASE_NAMES, *Phase)
                                                                    : IndexOf(DECISION_CONTROLLER_PHASE_NAMES, *Phase);
  const auto ChipsetIndex = Chipset ? IndexOf(DECISION_CHIPSET_PHASE_NAMES, *Chipset) : std::nullopt;
  if (!PhaseIndex || !ChipsetIndex) {
    return std::nullopt;
  }
  return Member << 16 | *PhaseIndex << 8 | *ChipsetIndex;
}

// The row a line's kind and reason word name; a platform call's reason word is
// its member.
inline const DECISION_ROW *RowNamed(DECISION_KIND Kind, const std::string &Word, std::optional<UINT64> *Member) {
  for (const DECISION_ROW &Row : DECISION_ROWS) {
    if (Row.Kind != Kind) {
      continue;
    }
    if (Row.Value.Style == DECISION_STYLE::Call) {
      *Member = IndexOf(DECISION_CALL_NAMES, Word);
      return *Member ? &Row : nullptr;
    }
    if (Word == Row.Name) {
      return &Row;
    }
  }
  return nullptr;
}

inline bool ParseField(const DECISION_FIELD &Field, std::optional<UINT64> Member, LINE_WORDS &Words, UINT64 *Value) {
  std::optional<UINT64> Parsed = 0;
  if (Field.Style == DECISION_STYLE::Call) {
    Parsed = ParseCall(*Member, Words);
  } else if (Field.Style != DECISION_STYLE::None) {
    const auto Label = Words.Next();
    const auto Word = Words.Next();
    Parsed = Label == std::string(Field.Label) && Word ? ParseValue(Field.Style, *Word) : std::nullopt;
  }
  *Value = Parsed.value_or(0);
  return Parsed.has_value();
}

inline std::optional<DECISION> ParseDecisionLine(const std::string &Line) {
  LINE_WORDS Words(Line);
  const auto Prefix = Words.Next();
  const auto KindWord = Words.Next();
  const auto Kind = KindWord ? IndexOf(DECISION_KIND_NAMES, *KindWord) : std::nullopt;
  const auto ReasonWord = Words.Next();
  const auto WhereWord = Words.Next();
  if (Prefix != "PCIPLAT" || !Kind || !ReasonWord || !WhereWord) {
    return std::nullopt;
  }
  std::optional<UINT64> Member;
  const DECISION_ROW *Row = RowNamed(static_cast<DECISION_KIND>(*Kind), *ReasonWord, &Member);
  const auto Where = ParseBdf(*WhereWord);
  if (Row == nullptr || !Where) {
    return std::nullopt;
  }
  DECISION Record{Row->Kind, Row->Reason, static_cast<UINT32>(*Where), 0, 0};
  const bool Parsed = Row->DetailFirst ? ParseField(Row->Detail, Member, Words, &Record.Detail) &&
                                             ParseField(Row->Value, Member, Words, &Record.Value)
                                       : ParseField(Row->Value, Member, Words, &Record.Value) &&
                                             ParseField(Row->Detail, Member, Words, &Record.Detail);
  return Parsed && Words.Done() ? std::optional(Record) : std::nullopt;
}

} // namespace pciplat_test
