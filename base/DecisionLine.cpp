// A decision record as one line of text, from the rows of DecisionTable.h.
// Freestanding: the debug image links it, and so does the host build, so the
// serial lines of a boot and the board runner's lines for the same hierarchy
// come from the same code.
#include "DecisionTable.h"

namespace {

class LINE {
public:
  LINE(char *Text, UINTN Capacity) : mText(Text), mCapacity(Capacity) {}

  void Put(char Character) {
    if (mLength + 1 < mCapacity) {
      mText[mLength++] = Character;
    }
  }
  void Put(const char *Text) {
    while (*Text != '\0') {
      Put(*Text++);
    }
  }
  void Word(const char *Text) {
    Put(' ');
    Put(Text);
  }
  void Digits(UINT64 Value, UINT64 Base, UINTN MinimumDigits) {
    char Reversed[20];
    UINTN Count = 0;
    do {
      Reversed[Count++] = "0123456789abcdef"[Value % Base];
      Value /= Base;
    } while (Value != 0 || Count < MinimumDigits);
    while (Count > 0) {
      Put(Reversed[--Count]);
    }
  }
  UINTN End() {
    if (mCapacity > 0) {
      mText[mLength] = '\0';
    }
    return mLength;
  }

private:
  char *mText;
  UINTN mCapacity;
  UINTN mLength = 0;
};

template <UINTN Count> const char *NameAt(const char *const (&Names)[Count], UINT64 Index) {
  return Index < Count ? Names[Index] : "?";
}

void PutBdf(LINE &Line, UINT64 Where) {
  if (static_cast<UINT32>(Where) == DECISION_NOWHERE) {
    Line.Put('-');
    return;
  }
  Line.Digits((Where >> 24) & 0xFF, 16, 2);
  Line.Put(':');
  Line.Digits((Where >> 16) & 0xFF, 16, 2);
  Line.Put('.');
  Line.Digits((Where >> 8) & 0xFF, 16, 1);
}

// vendor:device, from the two ID registers read as one 32-bit value.
void PutIds(LINE &Line, UINT64 Ids) {
  Line.Digits(Ids & 0xFFFF, 16, 4);
  Line.Put(':');
  Line.Digits((Ids >> 16) & 0xFFFF, 16, 4);
}

UINT64 CallMember(UINT64 Value) { return Value >> 16; }

// A platform call's phase words: only PlatformNotify and
// PlatformPrepController have phases.
void PutCallPhase(LINE &Line, UINT64 Value) {
  const UINT64 Member = CallMember(Value);
  const UINT64 Phase = (Value >> 8) & 0xFF;
  if (Member == DECISION_CALL_PLATFORM_NOTIFY) {
    Line.Word(NameAt(DECISION_NOTIFY_PHASE_NAMES, Phase));
  } else if (Member == DECISION_CALL_PREP_CONTROLLER) {
    Line.Word(NameAt(DECISION_CONTROLLER_PHASE_NAMES, Phase));
  } else {
    return;
  }
  Line.Word(NameAt(DECISION_CHIPSET_PHASE_NAMES, (Value & 0xFF) == 0 ? 0 : 1));
}

const char *PointName(UINT64 Point) {
  for (UINT64 Bit = 0; Bit < sizeof(DECISION_POINT_NAMES) / sizeof(DECISION_POINT_NAMES[0]); ++Bit) {
    if (Point == (1ULL << Bit)) {
      return DECISION_POINT_NAMES[Bit];
    }
  }
  return "?";
}

// The name a vocabulary style gives Value, or null for the numeric styles.
const char *NameOf(DECISION_STYLE Style, UINT64 Value) {
  switch (Style) {
  case DECISION_STYLE::Block:
    return NameAt(DECISION_BLOCK_NAMES, Value);
  case DECISION_STYLE::Service:
    return NameAt(DECISION_SERVICE_NAMES, Value);
  case DECISION_STYLE::Point:
    return PointName(Value);
  case DECISION_STYLE::Call:
    return NameAt(DECISION_CALL_NAMES, CallMember(Value));
  case DECISION_STYLE::Member:
    return NameAt(DECISION_CALL_NAMES, Value);
  default:
    return nullptr;
  }
}

// The value alone, without a leading space; a Call without its phase.
void PutValue(LINE &Line, DECISION_STYLE Style, UINT64 Value) {
  if (const char *Name = NameOf(Style, Value)) {
    Line.Put(Name);
    return;
  }
  switch (Style) {
  case DECISION_STYLE::Dec:
    Line.Digits(Value, 10, 1);
    break;
  case DECISION_STYLE::Bdf:
    PutBdf(Line, Value);
    break;
  case DECISION_STYLE::Bytes: // a size code: 128 << code bytes
    Line.Digits(Value < 8 ? 128ULL << Value : Value, 10, 1);
    break;
  case DECISION_STYLE::Ids:
    PutIds(Line, Value);
    break;
  default:
    Line.Put("0x");
    Line.Digits(Value, 16, 1);
    break;
  }
}

// " <label> <value>"; a Call's phase words go unlabelled.
void PutField(LINE &Line, const DECISION_FIELD &Field, UINT64 Value) {
  if (Field.Style == DECISION_STYLE::Call) {
    PutCallPhase(Line, Value);
  } else if (Field.Style != DECISION_STYLE::None) {
    Line.Word(Field.Label);
    Line.Put(' ');
    PutValue(Line, Field.Style, Value);
  }
}

// A record no row describes: its raw numbers.
UINTN PutUndescribed(LINE &Line, const DECISION &Decision) {
  Line.Word("?");
  Line.Put(' ');
  PutBdf(Line, Decision.Where);
  PutField(Line, {"value", DECISION_STYLE::Hex, false}, Decision.Value);
  PutField(Line, {"detail", DECISION_STYLE::Hex, false}, Decision.Detail);
  return Line.End();
}

} // namespace

UINTN FormatDecisionLine(const DECISION &Decision, char *Text, UINTN Capacity) {
  LINE Line(Text, Capacity);
  Line.Put("PCIPLAT");
  Line.Word(DecisionKindName(Decision.Kind));
  const DECISION_ROW *Row = FindDecisionRow(Decision.Kind, Decision.Reason);
  if (Row == nullptr) {
    return PutUndescribed(Line, Decision);
  }
  // A platform call's member stands where other records name their reason.
  Line.Put(' ');
  if (Row->Value.Style == DECISION_STYLE::Call) {
    PutValue(Line, DECISION_STYLE::Call, Decision.Value);
  } else {
    Line.Put(Row->Name);
  }
  Line.Put(' ');
  PutBdf(Line, Decision.Where);
  if (Row->DetailFirst) {
    PutField(Line, Row->Detail, Decision.Detail);
    PutField(Line, Row->Value, Decision.Value);
  } else {
    PutField(Line, Row->Value, Decision.Value);
    PutField(Line, Row->Detail, Decision.Detail);
  }
  return Line.End();
}

UINTN FormatDecisionValue(DECISION_STYLE Style, UINT64 Value, char *Text, UINTN Capacity) {
  LINE Line(Text, Capacity);
  PutValue(Line, Style, Value);
  if (Style == DECISION_STYLE::Call) {
    PutCallPhase(Line, Value);
  }
  return Line.End();
}
