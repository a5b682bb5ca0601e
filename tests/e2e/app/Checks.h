// Check reporting: every check prints exactly one line, "PASS name" or
// "FAIL name: detail", which the runner on the host parses. A check collects
// expectations and reports the first one that failed.
#pragma once

#include "tests/e2e/common/E2eUefi.h"

namespace e2e {

// A console line in the making: ASCII text and numbers, CR LF added on print.
class Line {
public:
  Line &Text(const char *Ascii);
  Line &Hex(UINT64 Value);
  Line &Decimal(UINT64 Value);
  Line &Status(EFI_STATUS Value);
  Line &Append(const Line &Other);
  void Print();

private:
  static constexpr UINTN kCapacity = 200;
  CHAR16 mBuffer[kCapacity + 3] = {};
  UINTN mLength = 0;
};

class Check {
public:
  explicit Check(const char *Name) : mName(Name) {}

  // Each returns Condition, so callers can stop early when later expectations
  // would only repeat the first failure.
  bool Expect(bool Condition, const char *What);
  bool ExpectEqual(UINT64 Got, UINT64 Want, const char *What);
  bool ExpectStatus(EFI_STATUS Got, EFI_STATUS Want, const char *What);
  // An expectation about one item of a list, named by its index.
  bool ExpectEqualAt(UINT64 Got, UINT64 Want, const char *What, UINTN Index);

  [[nodiscard]] bool Failed() const { return mFailed; }
  // Prints the check's line; call once, when every expectation is in.
  void Report();

private:
  bool Fail(const char *What, bool HasValues, UINT64 Got, UINT64 Want, bool IsStatus, bool HasIndex, UINTN Index);

  const char *mName;
  bool mFailed = false;
  Line mDetail;
};

// Totals over every check reported so far.
UINTN ChecksPassed();
UINTN ChecksFailed();

} // namespace e2e
