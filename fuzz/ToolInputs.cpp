#include "fuzz/ToolInputs.h"

#include "Board.h"
#include "LspciDump.h"
#include "Run.h"

#include <algorithm>
#include <cctype>
#include <set>
#include <utility>

namespace fuzz {

namespace {

using Violations = std::vector<std::string>;

constexpr const char *kCaptureName = "capture.txt";
constexpr const char *kBoardName = "board.json";

// "Source:" then, when Numbered, a line number and ':'; one line in all.
void CheckRefusal(const std::string &Error, const std::string &Source, bool Numbered, Violations *All) {
  const std::string Prefix = Source + ":";
  if (Error.rfind(Prefix, 0) != 0) {
    All->push_back("refusal does not name the file: '" + Error + "'");
    return;
  }
  if (Error.find('\n') != std::string::npos) {
    All->push_back("refusal spans more than one line: '" + Error + "'");
  }
  if (!Numbered) {
    return;
  }
  size_t At = Prefix.size();
  while (At < Error.size() && std::isdigit(static_cast<unsigned char>(Error[At])) != 0) {
    ++At;
  }
  // A capture with no function at all has no line to name.
  const bool Empty = Error == Prefix + " no functions in the dump";
  if (!Empty && (At == Prefix.size() || At == Error.size() || Error[At] != ':')) {
    All->push_back("refusal does not name the line: '" + Error + "'");
  }
}

void CheckDumpedFunctions(const std::vector<pciplat::DumpedFunction> &Functions, Violations *All) {
  // The same function number may stand in several PCI domains.
  std::set<std::pair<UINT32, sim::Bdf>> Locations;
  for (const pciplat::DumpedFunction &Function : Functions) {
    const std::string Name = sim::FormatBdf(Function.Location);
    if (Function.Length != 64 && Function.Length != 256 && Function.Length != sim::kConfigSpaceSize) {
      All->push_back(Name + " holds " + std::to_string(Function.Length) + " bytes");
    }
    if (std::any_of(Function.Bytes.begin() + std::min<unsigned>(Function.Length, sim::kConfigSpaceSize),
                    Function.Bytes.end(), [](UINT8 Byte) { return Byte != 0; })) {
      All->push_back(Name + " has bytes past the ones given");
    }
    if (!Locations.insert({Function.Domain, Function.Location}).second) {
      All->push_back(Name + " accepted twice");
    }
  }
}

// The accepted spaces, written as -xxxx and read back, are the same spaces.
// Segment 0, the one the runner walks, written in the -xxxx form and read back.
void CheckRoundTrip(const std::vector<pciplat::DumpedFunction> &Functions, Violations *All) {
  sim::PciBus Bus;
  size_t Walked = 0;
  for (const pciplat::DumpedFunction &Function : Functions) {
    if (Function.Domain == 0) {
      Bus.Add(Function.Location).LoadConfiguration(Function.Bytes);
      ++Walked;
    }
  }
  if (Walked == 0) {
    return; // only other domains: nothing the runner writes
  }
  std::string Error;
  const auto Again = pciplat::ParseLspciDump(pciplat::FormatLspciDump(Bus), "written.txt", &Error);
  if (!Again) {
    All->push_back("its own -xxxx form is refused: " + Error);
    return;
  }
  if (Again->size() != Walked) {
    All->push_back("written and read back, " + std::to_string(Again->size()) + " functions of " +
                   std::to_string(Walked));
    return;
  }
  for (const pciplat::DumpedFunction &Read : *Again) {
    const sim::PciFunction *Original = Bus.Find(Read.Location);
    if (Original == nullptr || Original->Bytes() != Read.Bytes) {
      All->push_back(sim::FormatBdf(Read.Location) + " changed on the way through its -xxxx form");
    }
  }
}

} // namespace

std::vector<std::string> RunLspciDump(const uint8_t *Data, size_t Size) {
  Violations All;
  std::string Error;
  const auto Functions =
      pciplat::ParseLspciDump(std::string(reinterpret_cast<const char *>(Data), Size), kCaptureName, &Error);
  if (!Functions) {
    CheckRefusal(Error, kCaptureName, true, &All);
    return All;
  }
  CheckDumpedFunctions(*Functions, &All);
  if (All.empty()) {
    CheckRoundTrip(*Functions, &All);
  }
  return All;
}

std::vector<std::string> RunBoardDescription(const uint8_t *Data, size_t Size) {
  Violations All;
  std::string Error;
  const auto Layout =
      pciplat::ParseBoardJson(std::string(reinterpret_cast<const char *>(Data), Size), kBoardName, &Error);
  if (!Layout) {
    CheckRefusal(Error, kBoardName, false, &All);
    return All;
  }
  pciplat::RunOptions Options;
  Options.Names = false;
  const pciplat::RunResult Result = pciplat::RunBoard(*Layout, Options);
  if (!Result.Report.contains("entry_status")) {
    All.emplace_back("the run of an accepted board has no report");
  }
  return All;
}

} // namespace fuzz
