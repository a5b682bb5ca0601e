#include "Checks.h"

#include "Firmware.h"

namespace e2e {
namespace {

constinit UINTN gPassed = 0;
constinit UINTN gFailed = 0;

} // namespace

Line &Line::Text(const char *Ascii) {
  for (; *Ascii != 0 && mLength < kCapacity; ++Ascii) {
    mBuffer[mLength++] = static_cast<CHAR16>(*Ascii);
  }
  return *this;
}

Line &Line::Hex(UINT64 Value) {
  char Digits[19] = {'0', 'x'};
  int Shift = 60;
  while (Shift > 0 && ((Value >> Shift) & 0xF) == 0) {
    Shift -= 4;
  }
  UINTN Length = 2;
  for (; Shift >= 0; Shift -= 4) {
    Digits[Length++] = "0123456789ABCDEF"[(Value >> Shift) & 0xF];
  }
  Digits[Length] = 0;
  return Text(Digits);
}

Line &Line::Decimal(UINT64 Value) {
  char Digits[21] = {};
  UINTN Length = sizeof(Digits) - 1;
  do {
    Digits[--Length] = static_cast<char>('0' + Value % 10);
    Value /= 10;
  } while (Value != 0);
  return Text(&Digits[Length]);
}

Line &Line::Status(EFI_STATUS Value) {
  struct Named {
    EFI_STATUS Status;
    const char *Name;
  };
  static constexpr Named kNames[] = {
      {EFI_SUCCESS, "EFI_SUCCESS"},
      {EFI_LOAD_ERROR, "EFI_LOAD_ERROR"},
      {EFI_INVALID_PARAMETER, "EFI_INVALID_PARAMETER"},
      {EFI_UNSUPPORTED, "EFI_UNSUPPORTED"},
      {EFI_BUFFER_TOO_SMALL, "EFI_BUFFER_TOO_SMALL"},
      {EFI_DEVICE_ERROR, "EFI_DEVICE_ERROR"},
      {EFI_OUT_OF_RESOURCES, "EFI_OUT_OF_RESOURCES"},
      {EFI_NOT_FOUND, "EFI_NOT_FOUND"},
      {EFI_ACCESS_DENIED, "EFI_ACCESS_DENIED"},
      {EFI_ALREADY_STARTED, "EFI_ALREADY_STARTED"},
  };
  for (const Named &Entry : kNames) {
    if (Entry.Status == Value) {
      return Text(Entry.Name);
    }
  }
  return Hex(Value);
}

Line &Line::Append(const Line &Other) {
  for (UINTN Index = 0; Index < Other.mLength && mLength < kCapacity; ++Index) {
    mBuffer[mLength++] = Other.mBuffer[Index];
  }
  return *this;
}

void Line::Print() {
  mBuffer[mLength] = u'\r';
  mBuffer[mLength + 1] = u'\n';
  mBuffer[mLength + 2] = 0;
  e2e::ConsoleOut(gSystemTable)->OutputString(e2e::ConsoleOut(gSystemTable), mBuffer);
  mLength = 0;
}

bool Check::Expect(bool Condition, const char *What) { return Condition || Fail(What, false, 0, 0, false, false, 0); }

bool Check::ExpectEqual(UINT64 Got, UINT64 Want, const char *What) {
  return Got == Want || Fail(What, true, Got, Want, false, false, 0);
}

bool Check::ExpectStatus(EFI_STATUS Got, EFI_STATUS Want, const char *What) {
  return Got == Want || Fail(What, true, Got, Want, true, false, 0);
}

bool Check::ExpectEqualAt(UINT64 Got, UINT64 Want, const char *What, UINTN Index) {
  return Got == Want || Fail(What, true, Got, Want, false, true, Index);
}

bool Check::Fail(const char *What, bool HasValues, UINT64 Got, UINT64 Want, bool IsStatus, bool HasIndex, UINTN Index) {
  if (mFailed) {
    return false;
  }
  mFailed = true;
  mDetail.Text(What);
  if (HasIndex) {
    mDetail.Text(" [").Decimal(Index).Text("]");
  }
  if (HasValues) {
    mDetail.Text(": got ");
    IsStatus ? mDetail.Status(Got) : mDetail.Hex(Got);
    mDetail.Text(", want ");
    IsStatus ? mDetail.Status(Want) : mDetail.Hex(Want);
  }
  return false;
}

void Check::Report() {
  Line Out;
  if (mFailed) {
    ++gFailed;
    Out.Text("FAIL ").Text(mName).Text(": ").Append(mDetail).Print();
    return;
  }
  ++gPassed;
  Out.Text("PASS ").Text(mName).Print();
}

UINTN ChecksPassed() { return gPassed; }
UINTN ChecksFailed() { return gFailed; }

} // namespace e2e
