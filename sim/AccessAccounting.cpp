#include "sim/AccessAccounting.h"

#include "sim/Sequencer.h"

#include <algorithm>

namespace sim {

size_t AccessCounts::Total() const {
  size_t Sum = 0;
  for (const size_t Count : ByKind) {
    Sum += Count;
  }
  return Sum;
}

AccessCounts &AccessCounts::operator+=(const AccessCounts &Other) {
  for (size_t Kind = 0; Kind < kAccessKinds; ++Kind) {
    ByKind[Kind] += Other.ByKind[Kind];
  }
  return *this;
}

AccessCounts CountAccesses(const AccessLog &Log, size_t From, size_t To) {
  AccessCounts Counts;
  const auto &All = Log.All();
  for (size_t Index = From; Index < To && Index < All.size(); ++Index) {
    ++Counts.ByKind[static_cast<size_t>(All[Index].Kind)];
  }
  return Counts;
}

std::string FormatCounts(const AccessCounts &Counts) {
  std::string Text;
  for (size_t Kind = 0; Kind < kAccessKinds; ++Kind) {
    Text += (Text.empty() ? "" : ", ") + std::string(AccessKindName(static_cast<AccessKind>(Kind))) + " " +
            std::to_string(Counts.ByKind[Kind]);
  }
  return Text;
}

// Summed under the calls' static names first: a string key built for each of
// a run's hundred calls cost more than counting their accesses.
std::map<std::string, AccessCounts> AccessesByCall(const std::vector<PlatformCall> &Calls) {
  std::vector<std::pair<const char *, AccessCounts>> ByName;
  for (const PlatformCall &Call : Calls) {
    const AccessCounts Made{Call.MadeByKind};
    if (Made.Total() == 0) {
      continue;
    }
    const char *Name = Call.Member == PlatformMember::PlatformNotify ? HostBridgePhaseName(Call.Phase)
                                                                     : PlatformMemberName(Call.Member);
    const auto Named =
        std::find_if(ByName.begin(), ByName.end(), [Name](const auto &Each) { return Each.first == Name; });
    if (Named == ByName.end()) {
      ByName.emplace_back(Name, Made);
    } else {
      Named->second += Made;
    }
  }
  std::map<std::string, AccessCounts> ByCall;
  for (const auto &[Name, Made] : ByName) {
    ByCall[Name] += Made;
  }
  return ByCall;
}

AccessCounts TotalAccesses(const std::map<std::string, AccessCounts> &ByCall) {
  AccessCounts Sum;
  for (const auto &[Call, Counted] : ByCall) {
    Sum += Counted;
  }
  return Sum;
}

} // namespace sim
