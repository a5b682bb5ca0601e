#include "Decisions.h"

#include <cstdlib>
#include <cstring>

namespace pciplat {

namespace {

using nlohmann::json;

std::string FieldText(DECISION_STYLE Style, UINT64 Value) {
  char Text[DECISION_LINE_CAPACITY];
  FormatDecisionValue(Style, Value, Text, sizeof(Text));
  return Text;
}

struct FIELD_VALUE {
  const DECISION_FIELD *Field;
  UINT64 Value;
};

// The fields Record has, in the order its line prints them.
std::vector<FIELD_VALUE> FieldsOf(const DECISION &Record) {
  const DECISION_ROW *Row = FindDecisionRow(Record.Kind, Record.Reason);
  if (Row == nullptr) {
    return {};
  }
  std::vector<FIELD_VALUE> Fields;
  for (const FIELD_VALUE &Field :
       Row->DetailFirst ? std::vector<FIELD_VALUE>{{&Row->Detail, Record.Detail}, {&Row->Value, Record.Value}}
                        : std::vector<FIELD_VALUE>{{&Row->Value, Record.Value}, {&Row->Detail, Record.Detail}}) {
    if (Field.Field->Style != DECISION_STYLE::None) {
      Fields.push_back(Field);
    }
  }
  return Fields;
}

bool IsNumber(DECISION_STYLE Style) { return Style == DECISION_STYLE::Dec || Style == DECISION_STYLE::Bytes; }

// Subject names the field's value: as it prints, or as the same number.
bool FieldIs(const FIELD_VALUE &Field, const std::string &Subject) {
  if (FieldText(Field.Field->Style, Field.Value) == Subject) {
    return true;
  }
  if (Field.Field->Style != DECISION_STYLE::Hex && Field.Field->Style != DECISION_STYLE::Dec) {
    return false;
  }
  char *End = nullptr;
  const unsigned long long Number = std::strtoull(Subject.c_str(), &End, 0);
  return !Subject.empty() && *End == '\0' && Number == Field.Value;
}

bool IsAbout(const DECISION &Record, const std::optional<sim::Bdf> &Location, const std::string &Subject) {
  const std::vector<FIELD_VALUE> Fields = FieldsOf(Record);
  if (!Location) {
    bool Named = Subject.empty() || Fields.empty();
    for (const FIELD_VALUE &Field : Fields) {
      Named = Named || FieldIs(Field, Subject);
    }
    return Record.Where == DECISION_NOWHERE && Named;
  }
  bool About = Record.Where != DECISION_NOWHERE && BdfOf(Record.Where) == *Location;
  for (const FIELD_VALUE &Field : Fields) {
    About = About || (Field.Field->About && static_cast<UINT32>(Field.Value) != DECISION_NOWHERE &&
                      BdfOf(Field.Value) == *Location);
  }
  return About;
}

} // namespace

sim::Bdf BdfOf(UINT64 Where) {
  return {static_cast<UINT8>(Where >> 24), static_cast<UINT8>(Where >> 16), static_cast<UINT8>(Where >> 8)};
}

std::string DecisionText(const DECISION &Record) {
  const DECISION_ROW *Row = FindDecisionRow(Record.Kind, Record.Reason);
  if (Row == nullptr) {
    char Line[DECISION_LINE_CAPACITY];
    FormatDecisionLine(Record, Line, sizeof(Line));
    return std::string("no row describes this record: ") + Line;
  }
  const std::vector<FIELD_VALUE> Fields = FieldsOf(Record);
  std::string Text;
  for (const char *At = Row->Sentence; *At != '\0'; ++At) {
    const char *Close = *At == '{' ? std::strchr(At, '}') : nullptr;
    if (Close == nullptr) {
      Text += *At;
      continue;
    }
    const std::string Placeholder(At + 1, Close);
    const size_t Colon = Placeholder.find(':');
    const std::string Label = Placeholder.substr(0, Colon);
    const FIELD_VALUE *Field = nullptr;
    for (const FIELD_VALUE &Each : Fields) {
      Field = Label == Each.Field->Label ? &Each : Field;
    }
    if (Field == nullptr) { // a template naming no field of its row: left as written
      Text += '{' + Placeholder + '}';
    } else {
      Text += FieldText(Field->Field->Style, Field->Value);
      Text += Colon == std::string::npos ? "" : " " + Placeholder.substr(Colon + 1) + (Field->Value == 1 ? "" : "s");
    }
    At = Close;
  }
  return Text;
}

json DecisionEntry(const DECISION &Record) {
  const DECISION_ROW *Row = FindDecisionRow(Record.Kind, Record.Reason);
  json Entry = {{"kind", DecisionKindName(Record.Kind)},
                {"reason", Row != nullptr ? Row->Name : "?"},
                {"text", DecisionText(Record)}};
  if (Record.Where != DECISION_NOWHERE) {
    Entry["where"] = FieldText(DECISION_STYLE::Bdf, Record.Where);
  }
  for (const FIELD_VALUE &Field : FieldsOf(Record)) {
    const std::string Text = FieldText(Field.Field->Style, Field.Value);
    Entry[Field.Field->Label] = IsNumber(Field.Field->Style) ? json(std::stoull(Text)) : json(Text);
  }
  return Entry;
}

std::vector<DECISION> DecisionsAbout(const std::vector<DECISION> &Records, DECISION_KIND Kind,
                                     std::optional<sim::Bdf> Location, const std::string &Subject) {
  std::vector<DECISION> Found;
  for (const DECISION &Record : Records) {
    if (Record.Kind == Kind && IsAbout(Record, Location, Subject)) {
      Found.push_back(Record);
    }
  }
  return Found;
}

json ReasonsJson(const std::vector<DECISION> &Records) {
  json Reasons = json::array();
  for (const DECISION &Record : Records) {
    json Entry = DecisionEntry(Record);
    bool Repeated = false;
    for (const json &Earlier : Reasons) {
      Repeated = Repeated || Earlier["text"] == Entry["text"];
    }
    if (!Repeated) {
      Reasons.push_back(std::move(Entry));
    }
  }
  return Reasons;
}

std::string ReasonsText(const json &Reasons) {
  std::string Text;
  for (const json &Entry : Reasons) {
    Text += (Text.empty() ? "" : "; ") + Entry["text"].get<std::string>();
  }
  return Text.empty() ? "-" : Text;
}

} // namespace pciplat
