#include "Diff.h"

#include "TextFormat.h"

#include <set>
#include <tuple>

namespace pciplat {

namespace {

using nlohmann::json;

sim::Bdf Target(const sim::Access &Entry) { return {Entry.Bus(), Entry.Device(), Entry.Function()}; }

bool IsWindow(const sim::Access &Entry) {
  return Entry.Kind == sim::AccessKind::WindowRead || Entry.Kind == sim::AccessKind::WindowWrite;
}
bool IsConfigWrite(const sim::Access &Entry) {
  return Entry.Kind == sim::AccessKind::ConfigWrite || Entry.Kind == sim::AccessKind::WindowWrite;
}
bool IsConfigRead(const sim::Access &Entry) {
  return Entry.Kind == sim::AccessKind::ConfigRead || Entry.Kind == sim::AccessKind::WindowRead;
}

std::string RegisterOf(const ConfigSpace &Space, const sim::Access &Write) {
  return AccessRegister(Space, Write.Register(), Write.Width, IsWindow(Write));
}

} // namespace

json RegisterChanges(const RunRecord &Record) {
  json Changes = json::array();
  std::set<std::tuple<sim::Bdf, UINT16, UINT8>> Seen;
  for (const sim::Access &Write : Record.Accesses) {
    const auto Before = Record.Before.find(Target(Write));
    if (!IsConfigWrite(Write) || Before == Record.Before.end() ||
        Write.Register() + Write.Width > sim::kConfigSpaceSize ||
        !Seen.insert({Target(Write), Write.Register(), Write.Width}).second) {
      continue;
    }
    const ConfigSpace &After = Record.After.at(Target(Write));
    const UINT32 Old = ReadWidth(Before->second, Write.Register(), Write.Width);
    const UINT32 New = ReadWidth(After, Write.Register(), Write.Width);
    if (Old == New) {
      continue;
    }
    json Change = {{"location", sim::FormatBdf(Target(Write))},
                   {"register", RegisterOf(Before->second, Write)},
                   {"before", Hex(Old, Write.Width * 2)},
                   {"after", Hex(New, Write.Width * 2)}};
    const std::string Meaning = AccessMeaning(Before->second, Write.Register(), Write.Width, New, IsWindow(Write));
    if (!Meaning.empty()) {
      Change["meaning"] = Meaning;
    }
    Changes.push_back(Change);
  }
  return Changes;
}

std::string RenderChanges(const json &Changes) {
  std::string Out;
  for (const json &Change : Changes) {
    Out += Change["location"].get<std::string>() + " " + Change["register"].get<std::string>() + ": " +
           Change["before"].get<std::string>().substr(2) + " -> " + Change["after"].get<std::string>().substr(2);
    Out += Change.contains("meaning") ? " (" + Change["meaning"].get<std::string>() + ")\n" : "\n";
  }
  return Out.empty() ? "none\n" : Out;
}

namespace {

constexpr const char *kScriptHeader = "#!/bin/sh\n"
                                      "# The configuration writes the PCI platform driver made to this board in the\n"
                                      "# firmware model (pciplat-sim), in the driver's order, as setpci commands.\n"
                                      "# Each writes only the bits the driver's write changed (value:mask); the\n"
                                      "# chipset window registers are given by offset.\n"
                                      "#\n"
                                      "# Run it by hand, as root, on the machine the board describes, after reading\n"
                                      "# it: it changes link and chipset registers of live hardware. pciplat-sim\n"
                                      "# never runs it. Not replayed: I/O APIC, configuration-block and other memory\n"
                                      "# writes. setpci reads a register before writing it, so a status register's\n"
                                      "# write-1-to-clear bits read as 1 are cleared.\n";

// The register's value as the driver last saw or wrote it, per function.
class Shadow {
public:
  explicit Shadow(const ConfigSpaces &Before) : Spaces(Before) {}
  ConfigSpace *Find(const sim::Bdf &Location) {
    const auto Found = Spaces.find(Location);
    return Found != Spaces.end() ? &Found->second : nullptr;
  }
  static void Store(ConfigSpace &Space, const sim::Access &Entry) {
    for (unsigned Byte = 0; Byte < Entry.Width; ++Byte) {
      Space[Entry.Register() + Byte] = static_cast<UINT8>(Entry.Value >> (8 * Byte));
    }
  }

private:
  ConfigSpaces Spaces;
};

} // namespace

std::string SetpciScript(const RunRecord &Record, const std::string &BoardName) {
  std::string Out = kScriptHeader;
  Out += "# Board: " + Escaped(BoardName) + "\nset -e\n\n";
  Shadow Seen(Record.Before);
  size_t Commands = 0;
  for (const sim::Access &Entry : Record.Accesses) {
    ConfigSpace *Space = Seen.Find(Target(Entry));
    // Where nothing decodes the window, its accesses reached no configuration space.
    if (Space == nullptr || (!IsConfigRead(Entry) && !IsConfigWrite(Entry)) || EFI_ERROR(Entry.Status) ||
        Entry.Register() + Entry.Width > sim::kConfigSpaceSize || (IsWindow(Entry) && !Record.WindowDecoded)) {
      continue;
    }
    if (Entry.Count != 1) {
      Out += IsConfigWrite(Entry) ? "# not replayed: a " + std::to_string(Entry.Count) + "-element write at " +
                                        sim::FormatBdf(Target(Entry)) + " " + Hex(Entry.Register(), 3) + "\n"
                                  : "";
      continue;
    }
    const UINT32 Prior = ReadWidth(*Space, Entry.Register(), Entry.Width);
    Shadow::Store(*Space, Entry);
    const auto Value = static_cast<UINT32>(Entry.Value);
    if (!IsConfigWrite(Entry) || Prior == Value) {
      continue;
    }
    Out += "setpci -s " + sim::FormatBdf(Target(Entry)) + " " + RegisterOf(Record.Before.at(Target(Entry)), Entry) +
           "=" + HexDigits(Value & (Prior ^ Value), Entry.Width * 2) + ":" + HexDigits(Prior ^ Value, Entry.Width * 2) +
           "\n";
    ++Commands;
  }
  return Out + "\n# " + std::to_string(Commands) + " writes\n";
}

} // namespace pciplat
