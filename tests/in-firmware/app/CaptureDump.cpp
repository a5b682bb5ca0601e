// The recorder's configuration capture in the `lspci -xxxx` form, between
// marker lines, for the board runner. Thousands of lines: written straight to
// QEMU's first UART, the console's, rather than through the console, which
// would also draw each line on the graphics screen.
#include "Observation.h"
#include "efi/Uart16550.h"
#include "tests/e2e/app/Checks.h"

namespace e2e::firmware {
namespace {

constexpr UINT16 kConsoleUart = 0x3F8;
constexpr UINTN kBytesPerLine = 16;

class DumpLine {
public:
  DumpLine &Text(const char *Text) {
    while (*Text != '\0' && mLength < sizeof(mText) - 2) {
      mText[mLength++] = *Text++;
    }
    return *this;
  }
  DumpLine &Hex(UINTN Value, UINTN Digits) {
    for (UINTN Digit = Digits; Digit > 0 && mLength < sizeof(mText) - 2; --Digit) {
      mText[mLength++] = "0123456789abcdef"[(Value >> (4 * (Digit - 1))) & 0xF];
    }
    return *this;
  }
  void Write() {
    mText[mLength++] = '\r';
    mText[mLength++] = '\n';
    UartWrite(kConsoleUart, mText, mLength);
    mLength = 0;
  }

private:
  char mText[96] = {};
  UINTN mLength = 0;
};

UINT16 Word(const UINT8 *Space, UINTN Offset) { return static_cast<UINT16>(Space[Offset] | Space[Offset + 1] << 8); }

// "bb:dd.f cccc: vvvv:dddd (rev rr)", as `lspci -n` heads a function.
void WriteFunction(DumpLine &Line, UINT32 Location, const UINT8 *Space) {
  Line.Hex(Location >> 16, 2).Text(":").Hex((Location >> 8) & 0xFF, 2).Text(".").Hex(Location & 0xFF, 1).Text(" ");
  Line.Hex(Word(Space, 0x0A), 4).Text(": ").Hex(Word(Space, 0), 4).Text(":").Hex(Word(Space, 2), 4);
  Line.Text(" (rev ").Hex(Space[0x08], 2).Text(")").Write();
  for (UINTN Offset = 0; Offset < kConfigSpaceBytes; Offset += kBytesPerLine) {
    Line.Hex(Offset, Offset < 0x100 ? 2 : 3).Text(":");
    for (UINTN Byte = 0; Byte < kBytesPerLine; ++Byte) {
      Line.Text(" ").Hex(Space[Offset + Byte], 2);
    }
    Line.Write();
  }
  Line.Write();
}

} // namespace

void DumpCapture(const Observation &Seen) {
  Check Result("fw.capture");
  const ConfigCapture *Capture = Seen.Record != nullptr ? &Seen.Record->Capture : nullptr;
  if (Result.Expect(Capture != nullptr, "no record of the boot") &&
      Result.ExpectStatus(Capture->Status, EFI_SUCCESS, "capture at the begin of resource allocation") &&
      Result.Expect(Capture->Count > 0, "no function captured") &&
      Result.ExpectEqual(Capture->Missed, 0, "functions beyond the capture's capacity")) {
    DumpLine Line;
    Line.Text("LSPCI-BEGIN").Write();
    for (UINTN Index = 0; Index < Capture->Count; ++Index) {
      WriteFunction(Line, Capture->Locations[Index], Capture->Spaces + Index * kConfigSpaceBytes);
    }
    Line.Text("LSPCI-END").Write();
  }
  Result.Report();
}

} // namespace e2e::firmware
