// What every fuzz target does with the violations of one input: print them
// and abort, so that libFuzzer keeps the input as a crash.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace fuzz {

inline void AbortOnViolations(const std::vector<std::string> &Violations) {
  if (Violations.empty()) {
    return;
  }
  for (const std::string &Line : Violations) {
    std::fprintf(stderr, "invariant violated: %s\n", Line.c_str());
  }
  std::abort();
}

} // namespace fuzz
