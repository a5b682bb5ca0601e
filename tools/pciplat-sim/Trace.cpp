#include "Trace.h"

#include "TextFormat.h"

#include <cstdio>

namespace pciplat {

namespace {

using nlohmann::json;

const ConfigSpace &SpaceOf(const RunRecord &Record, const sim::Bdf &Location) {
  static const ConfigSpace Absent{};
  const auto Found = Record.Before.find(Location);
  return Found != Record.Before.end() ? Found->second : Absent;
}

bool IsMemory(const sim::Access &Entry) {
  return Entry.Kind == sim::AccessKind::MemoryRead || Entry.Kind == sim::AccessKind::MemoryWrite;
}

std::string Value(const sim::Access &Entry) { return Hex(Entry.Value, Entry.Width * 2); }

bool IsAbsentProbe(const sim::Access &Entry) {
  const UINT64 AllOnes = Entry.Width >= 8 ? ~0ULL : (1ULL << (Entry.Width * 8)) - 1;
  return Entry.Kind == sim::AccessKind::ConfigRead && Entry.Register() == 0 && Entry.Count == 1 &&
         !EFI_ERROR(Entry.Status) && Entry.Value == AllOnes;
}

sim::Bdf Target(const sim::Access &Entry) { return {Entry.Bus(), Entry.Device(), Entry.Function()}; }

json AccessEntry(const RunRecord &Record, const sim::Access &Entry) {
  json Out = {{"type", "access"},
              {"kind", sim::AccessKindName(Entry.Kind)},
              {"width", Entry.Width * 8},
              {"count", Entry.Count},
              {"value", Value(Entry)}};
  if (EFI_ERROR(Entry.Status)) {
    Out["status"] = Hex(Entry.Status, 16);
  }
  if (IsMemory(Entry)) {
    Out["address"] = Hex(Entry.Address, 8);
    return Out;
  }
  const ConfigSpace &Space = SpaceOf(Record, Target(Entry));
  Out["location"] = sim::FormatBdf(Target(Entry));
  Out["offset"] = Hex(Entry.Register(), 3);
  if (Entry.Count > 1) { // one access of several elements: a range, not a register read again
    const unsigned Last = Entry.Register() + Entry.Width * Entry.Count - 1;
    Out["register"] = Hex(Entry.Register(), 2) + "-" + Hex(Last, 2);
    Out["value"] = Hex(Entry.Value, Entry.Width * 2) + " first of " + std::to_string(Entry.Count) +
                   (Entry.Width == 4   ? " dwords"
                    : Entry.Width == 2 ? " words"
                                       : " bytes");
    return Out;
  }
  const bool Window = Entry.Kind == sim::AccessKind::WindowRead || Entry.Kind == sim::AccessKind::WindowWrite;
  Out["register"] = AccessRegister(Space, Entry.Register(), Entry.Width, Window);
  const std::string Meaning =
      AccessMeaning(Space, Entry.Register(), Entry.Width, static_cast<UINT32>(Entry.Value), Window);
  if (!Meaning.empty()) {
    Out["meaning"] = Meaning;
  }
  return Out;
}

json AbsentRun(const RunRecord &Record, const sim::Access &First, const sim::Access &Last, size_t Probes) {
  return {{"type", "absent-probes"},
          {"kind", sim::AccessKindName(First.Kind)},
          {"first", sim::FormatBdf(Target(First))},
          {"last", sim::FormatBdf(Target(Last))},
          {"probes", Probes},
          {"register", SetpciRegister(SpaceOf(Record, Target(First)), 0, First.Width)},
          {"value", Value(First)}};
}

} // namespace

json TraceEntries(const RunRecord &Record) {
  json Entries = json::array();
  size_t Mark = 0;
  const auto &Log = Record.Accesses;
  for (size_t Index = 0; Index <= Log.size(); ++Index) {
    for (; Mark < Record.Calls.size() && Record.Calls[Mark].FirstAccess <= Index; ++Mark) {
      const size_t Next = Mark + 1 < Record.Calls.size() ? Record.Calls[Mark + 1].FirstAccess : Log.size();
      Entries.push_back({{"type", "call"}, {"call", Record.Calls[Mark].Call}, {"accesses", Next - Index}});
    }
    if (Index == Log.size()) {
      break;
    }
    size_t End = Index;
    const size_t NextMark = Mark < Record.Calls.size() ? Record.Calls[Mark].FirstAccess : Log.size();
    while (End < Log.size() && End < NextMark && IsAbsentProbe(Log[End]) && Log[End].Width == Log[Index].Width) {
      ++End;
    }
    if (End - Index >= 2) {
      Entries.push_back(AbsentRun(Record, Log[Index], Log[End - 1], End - Index));
      Index = End - 1;
    } else {
      Entries.push_back(AccessEntry(Record, Log[Index]));
    }
  }
  return Entries;
}

namespace {

std::string Member(const json &Call) {
  const std::string Text = Call["call"];
  return Text.substr(0, Text.find('('));
}

bool Quiet(const json &Entry) { return Entry["type"] == "call" && Entry["accesses"] == 0; }

// Calls of one member that made no access, several in a row, as one line;
// the phase notifications always show.
size_t RenderCalls(const json &Entries, size_t First, std::string &Out) {
  size_t Last = First;
  while (Last + 1 < Entries.size() && Quiet(Entries[Last]) && Quiet(Entries[Last + 1]) &&
         Member(Entries[Last + 1]) == Member(Entries[First]) && Member(Entries[First]) != "PlatformNotify") {
    ++Last;
  }
  if (Last - First >= 2) {
    Out += "== " + std::to_string(Last - First + 1) + " " + Member(Entries[First]) +
           " calls without accesses: " + Entries[First]["call"].get<std::string>() + " .. " +
           Entries[Last]["call"].get<std::string>() + "\n";
    return Last;
  }
  Out += "== " + Entries[First]["call"].get<std::string>() + "\n";
  return First;
}

} // namespace

std::string RenderTrace(const json &Entries) {
  std::string Out;
  char Line[256];
  for (size_t Index = 0; Index < Entries.size(); ++Index) {
    const json &Entry = Entries[Index];
    const std::string Type = Entry["type"];
    if (Type == "call") {
      Index = RenderCalls(Entries, Index, Out);
      continue;
    }
    const std::string Kind = Entry["kind"];
    const std::string Value = Entry["value"];
    if (Type == "absent-probes") {
      std::snprintf(Line, sizeof(Line), "   %-13s %s .. %s  %s = %s  (%zu probes of absent functions)\n", Kind.c_str(),
                    Entry["first"].get<std::string>().c_str(), Entry["last"].get<std::string>().c_str(),
                    Entry["register"].get<std::string>().c_str(), Value.c_str(), Entry["probes"].get<size_t>());
      Out += Line;
      continue;
    }
    const std::string Where = Entry.contains("address")
                                  ? Entry["address"].get<std::string>()
                                  : Entry["location"].get<std::string>() + "  " + Entry["register"].get<std::string>();
    std::string Notes;
    Notes += Entry.contains("meaning") ? "  (" + Entry["meaning"].get<std::string>() + ")" : "";
    Notes += Entry.contains("status") ? "  failed: " + Entry["status"].get<std::string>() : "";
    std::snprintf(Line, sizeof(Line), "   %-13s %-30s = %s%s\n", Kind.c_str(), Where.c_str(), Value.c_str(),
                  Notes.c_str());
    Out += Line;
  }
  return Out;
}

} // namespace pciplat
