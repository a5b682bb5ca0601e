// Every committed seed and every input a fuzzer once failed on, run through
// the same harness as the fuzz targets: the fuzzers' findings stay fixed in
// the ordinary suite, in both the host and the sanitizer builds.
#include "fuzz/Scenarios.h"
#include "fuzz/ToolInputs.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using Scenario = std::vector<std::string> (*)(const uint8_t *, size_t);

struct Target {
  const char *Directory;
  Scenario Run;
};

const Target kTargets[] = {
    {"enumeration", fuzz::RunEnumeration},
    {"option-rom-requests", fuzz::RunOptionRomRequests},
    {"callback-registrations", fuzz::RunCallbackRegistrations},
    {"lspci-dump", fuzz::RunLspciDump},
    {"board-description", fuzz::RunBoardDescription},
};

std::vector<uint8_t> ReadInput(const std::filesystem::path &Path) {
  std::ifstream File(Path, std::ios::binary);
  return {std::istreambuf_iterator<char>(File), std::istreambuf_iterator<char>()};
}

TEST(CorpusReplayTest, EverySeedAndRegressionInputKeepsEveryInvariant) {
  size_t Inputs = 0;
  for (const Target &Each : kTargets) {
    for (const char *Kind : {"corpus", "regressions"}) {
      const std::filesystem::path Directory = std::filesystem::path(PCIPLAT_FUZZ_DIR) / Kind / Each.Directory;
      if (!std::filesystem::is_directory(Directory)) {
        continue;
      }
      for (const auto &Entry : std::filesystem::directory_iterator(Directory)) {
        if (!Entry.is_regular_file()) {
          continue;
        }
        const std::vector<uint8_t> Input = ReadInput(Entry.path());
        ++Inputs;
        for (const std::string &Violation : Each.Run(Input.data(), Input.size())) {
          ADD_FAILURE() << Entry.path().string() << ": " << Violation;
        }
      }
    }
  }
  EXPECT_GT(Inputs, 0U) << "no inputs under " << PCIPLAT_FUZZ_DIR;
}

} // namespace
