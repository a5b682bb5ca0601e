#include "fuzz/FuzzTarget.h"
#include "fuzz/ToolInputs.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  fuzz::AbortOnViolations(fuzz::RunBoardDescription(Data, Size));
  return 0;
}
