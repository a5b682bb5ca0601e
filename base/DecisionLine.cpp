// A decision record as one line of text. Freestanding: the debug image links
// it, and so does the host build, so the serial lines of a boot and the board
// runner's lines for the same hierarchy come from the same code.
#include "Decisions.h"

namespace {

enum class FIELD : UINT8 { None, Hex, Dec, Bdf, Bytes, Block, Point };

struct FIELD_SPEC {
  const char *Label;
  FIELD Style;
};

// What a record's Value and Detail are printed as, in the order printed.
struct FIELDS {
  FIELD_SPEC First;
  bool FirstIsDetail;
  FIELD_SPEC Second;
};

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

void PutBdf(LINE &Line, UINT64 Where) {
  Line.Put(' ');
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

const char *BlockName(UINT64 Block) {
  constexpr const char *Names[] = {"QMX_DEP_CONF", "QMX_CONF", "Setup"};
  return Block < sizeof(Names) / sizeof(Names[0]) ? Names[Block] : "?";
}

const char *PointName(UINT64 Point) {
  switch (Point) {
  case 1:
    return "prep-controller";
  case 2:
    return "begin-allocation";
  case 4:
    return "end-allocation";
  default:
    return "?";
  }
}

void PutValue(LINE &Line, FIELD Style, UINT64 Value) {
  switch (Style) {
  case FIELD::Dec:
    Line.Put(' ');
    Line.Digits(Value, 10, 1);
    break;
  case FIELD::Bdf:
    PutBdf(Line, Value);
    break;
  case FIELD::Bytes: // a size code: 128 << code bytes
    Line.Put(' ');
    Line.Digits(Value < 8 ? 128ULL << Value : Value, 10, 1);
    break;
  case FIELD::Block:
    Line.Word(BlockName(Value));
    break;
  case FIELD::Point:
    Line.Word(PointName(Value));
    break;
  default:
    Line.Word("0x");
    Line.Digits(Value, 16, 1);
    break;
  }
}

void PutField(LINE &Line, FIELD_SPEC Spec, UINT64 Value) {
  if (Spec.Style == FIELD::None) {
    return;
  }
  Line.Word(Spec.Label);
  PutValue(Line, Spec.Style, Value);
}

FIELDS OptionRomFields(DECISION_REASON Reason) {
  switch (Reason) {
  case DECISION_REASON::Supplied:
  case DECISION_REASON::SetAttached:
  case DECISION_REASON::SetNotAttached:
    return {{"images", FIELD::Dec}, false, {}};
  case DECISION_REASON::FileRead:
  case DECISION_REASON::FileMissing:
  case DECISION_REASON::VolumeUnreachable:
    return {{"row", FIELD::Dec}, false, {}};
  default:
    return {};
  }
}

FIELDS FieldsOf(const DECISION &Decision) {
  switch (Decision.Kind) {
  case DECISION_KIND::HostBridge:
    return {{"ids", FIELD::Hex}, false, {"revision", FIELD::Hex}};
  case DECISION_KIND::Link: // Value: the control value written, or the end that refused
    return {{"child", FIELD::Bdf},
            true,
            Decision.Reason == DECISION_REASON::Configured ? FIELD_SPEC{"value", FIELD::Hex}
                                                           : FIELD_SPEC{"end", FIELD::Bdf}};
  case DECISION_KIND::Retrain:
    return {{"polls", FIELD::Dec}, false, {"us", FIELD::Dec}};
  case DECISION_KIND::Payload:
    return {{"bytes", FIELD::Bytes}, false, {}};
  case DECISION_KIND::Window:
    return {{"register", FIELD::Hex}, false, {"value", FIELD::Hex}};
  case DECISION_KIND::OptionRom:
    return OptionRomFields(Decision.Reason);
  case DECISION_KIND::IoApic:
    return {{"base", FIELD::Hex}, false, {"id", FIELD::Dec}};
  case DECISION_KIND::ConfigBlock:
    return {{"block", FIELD::Block}, false, {"status", FIELD::Hex}};
  case DECISION_KIND::Callback:
    return {{"point", FIELD::Point}, false, {}};
  default:
    return {};
  }
}

const char *CallName(UINT64 Member) {
  constexpr const char *Names[] = {"notify", "prep-controller", "policy", "get-pci-rom"};
  return Member < sizeof(Names) / sizeof(Names[0]) ? Names[Member] : "?";
}

const char *PhaseName(UINT64 Member, UINT64 Phase) {
  constexpr const char *HostBridge[] = {
      "begin-enumeration",  "begin-bus-allocation", "end-bus-allocation", "begin-resource-allocation",
      "allocate-resources", "set-resources",        "free-resources",     "end-resource-allocation",
      "end-enumeration"};
  constexpr const char *Controller[] = {"before-child-bus", "before-resource-collection"};
  if (Member == DECISION_CALL_PLATFORM_NOTIFY) {
    return Phase < sizeof(HostBridge) / sizeof(HostBridge[0]) ? HostBridge[Phase] : "?";
  }
  return Phase < sizeof(Controller) / sizeof(Controller[0]) ? Controller[Phase] : "?";
}

// "platform-call <member> <where> [<phase> <entry|exit>] status <status>".
void PutPlatformCall(LINE &Line, const DECISION &Decision) {
  const UINT64 Member = Decision.Value >> 16;
  Line.Word(CallName(Member));
  PutBdf(Line, Decision.Where);
  if (Member == DECISION_CALL_PLATFORM_NOTIFY || Member == DECISION_CALL_PREP_CONTROLLER) {
    Line.Word(PhaseName(Member, (Decision.Value >> 8) & 0xFF));
    Line.Word((Decision.Value & 0xFF) == 0 ? "entry" : "exit");
  }
  PutField(Line, {"status", FIELD::Hex}, Decision.Detail);
}

} // namespace

UINTN FormatDecisionLine(const DECISION &Decision, char *Text, UINTN Capacity) {
  LINE Line(Text, Capacity);
  Line.Put("PCIPLAT");
  Line.Word(DecisionKindName(Decision.Kind));
  if (Decision.Kind == DECISION_KIND::PlatformCall) {
    PutPlatformCall(Line, Decision);
    return Line.End();
  }
  Line.Word(DecisionReasonName(Decision.Reason));
  PutBdf(Line, Decision.Where);
  const FIELDS Fields = FieldsOf(Decision);
  PutField(Line, Fields.First, Fields.FirstIsDetail ? Decision.Detail : Decision.Value);
  PutField(Line, Fields.Second, Fields.FirstIsDetail ? Decision.Value : Decision.Detail);
  return Line.End();
}
