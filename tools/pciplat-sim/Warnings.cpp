#include "Warnings.h"

#include "TextFormat.h"

#include <algorithm>
#include <map>
#include <set>

namespace pciplat {

namespace {

using nlohmann::json;

constexpr UINT32 kSubordinateBus = 0x1A;
constexpr unsigned kShortCapture = 64;

std::string Bus(unsigned Number) { return HexDigits(Number, 2); }

bool Present(const ConfigSpace &Space) { return IsPresent(Space); }

// The bridges of the board, present ones only, by location.
struct BridgeRange {
  sim::Bdf Location;
  unsigned Secondary;
  unsigned Subordinate;
};

std::vector<BridgeRange> Bridges(const ConfigSpaces &Spaces) {
  std::vector<BridgeRange> Found;
  for (const auto &[Location, Space] : Spaces) {
    if (Present(Space) && IsPciBridge(Space)) {
      Found.push_back({Location, Space[PCI_BRIDGE_SECONDARY_BUS_OFFSET], Space[kSubordinateBus]});
    }
  }
  return Found;
}

// The buses reachable from Start along bridges whose secondary bus lies above
// their own, as a bus driver numbers them.
std::set<unsigned> BusesBelow(const std::vector<BridgeRange> &All, unsigned Start) {
  std::set<unsigned> Reached = {Start};
  for (bool Grew = true; Grew;) {
    Grew = false;
    for (const BridgeRange &Each : All) {
      if (Reached.count(Each.Location.Bus) != 0 && Each.Secondary > Each.Location.Bus) {
        Grew = Reached.insert(Each.Secondary).second || Grew;
      }
    }
  }
  return Reached;
}

void BusLoops(const std::vector<BridgeRange> &All, json &Out) {
  for (const BridgeRange &Each : All) {
    if (Each.Secondary > Each.Location.Bus) {
      continue;
    }
    const std::string Head =
        "bridge's secondary bus " + Bus(Each.Secondary) + " is not above its own bus " + Bus(Each.Location.Bus);
    Out.push_back(MakeWarning("bus-loop",
                              BusesBelow(All, Each.Secondary).count(Each.Location.Bus) != 0
                                  ? Head + ": bus " + Bus(Each.Secondary) + " leads back here, a bus loop"
                                  : Head + ": the scan does not follow it",
                              Each.Location));
  }
}

std::string Range(const BridgeRange &Bridge) {
  return sim::FormatBdf(Bridge.Location) + " [" + Bus(Bridge.Secondary) + "-" + Bus(Bridge.Subordinate) + "]";
}

bool Inside(const BridgeRange &Inner, const BridgeRange &Outer) {
  return Inner.Location.Bus >= Outer.Secondary && Inner.Location.Bus <= Outer.Subordinate;
}

void OverlappingRanges(const std::vector<BridgeRange> &All, json &Out) {
  for (size_t First = 0; First < All.size(); ++First) {
    const BridgeRange &A = All[First];
    if (A.Subordinate < A.Secondary) {
      Out.push_back(MakeWarning("bus-range",
                                "subordinate bus " + Bus(A.Subordinate) + " is below secondary bus " + Bus(A.Secondary),
                                A.Location));
      continue;
    }
    for (size_t Second = First + 1; Second < All.size(); ++Second) {
      const BridgeRange &B = All[Second];
      if (std::max(A.Secondary, B.Secondary) > std::min(A.Subordinate, B.Subordinate)) {
        continue;
      }
      const BridgeRange *Outer = Inside(B, A) ? &A : Inside(A, B) ? &B : nullptr;
      const BridgeRange *Inner = Outer == &A ? &B : &A;
      if (Outer == nullptr) {
        Out.push_back(MakeWarning("bus-range", "bus ranges " + Range(A) + " and " + Range(B) + " overlap"));
      } else if (Inner->Secondary < Outer->Secondary || Inner->Subordinate > Outer->Subordinate) {
        Out.push_back(
            MakeWarning("bus-range", "bus range " + Range(*Inner) + " reaches beyond its parent's " + Range(*Outer)));
      }
    }
  }
}

// A bus no PCI-to-PCI bridge leads to: behind a CardBus bridge, whose bus
// numbers sit at the same offsets (0x18-0x1a) but which the walks do not
// follow, or behind nothing the capture shows.
std::string WhyBusUnreached(unsigned Number, const ConfigSpaces &Spaces, const std::vector<BridgeRange> &All) {
  for (const BridgeRange &Each : All) {
    if (Each.Secondary == Number && Each.Secondary > Each.Location.Bus) {
      return "bus " + Bus(Number) + " hangs below " + sim::FormatBdf(Each.Location) + ", which the scan never reaches";
    }
  }
  for (const auto &[Location, Space] : Spaces) {
    if (Present(Space) && HeaderLayout(Space) == kHeaderLayoutCardBusBridge &&
        Space[PCI_BRIDGE_SECONDARY_BUS_OFFSET] == Number) {
      return "bus " + Bus(Number) + " is the CardBus bus of " + sim::FormatBdf(Location) +
             " (header type 2, CardBus bus number at 0x19); the walks follow PCI-to-PCI bridges (header type 1) only";
    }
  }
  return "no PCI-to-PCI bridge reached from bus 00 has bus " + Bus(Number) + " as its secondary bus (0x19)";
}

std::string WhyUnreached(const sim::Bdf &Location, const ConfigSpaces &Spaces, const std::vector<BridgeRange> &All,
                         const std::set<unsigned> &Reached) {
  if (Reached.count(Location.Bus) == 0) {
    return WhyBusUnreached(Location.Bus, Spaces, All);
  }
  const auto Zero = Spaces.find({Location.Bus, Location.Device, 0});
  if (Location.Function != 0 && (Zero == Spaces.end() || !Present(Zero->second))) {
    return "function 0 of the device is absent, so functions 1-7 are not probed";
  }
  if (Location.Function != 0 && (Zero->second[PCI_HEADER_TYPE_OFFSET] & PCI_HEADER_TYPE_MULTI_FUNCTION) == 0) {
    return "function 0 is not multi-function (header type bit 7 clear), so functions 1-7 are not probed";
  }
  return "the scan did not reach it";
}

void Unreached(const RunRecord &Record, const std::vector<BridgeRange> &All, json &Out) {
  const std::set<sim::Bdf> Found(Record.Found.begin(), Record.Found.end());
  const std::set<unsigned> Reached = BusesBelow(All, 0);
  for (const auto &[Location, Space] : Record.Before) {
    if (Present(Space) && Found.count(Location) == 0) {
      Out.push_back(MakeWarning(
          "unreached", "never reached by the walks: " + WhyUnreached(Location, Record.Before, All, Reached), Location));
    }
  }
}

void OtherDomains(const Board &Layout, json &Out) {
  for (const auto &[Domain, Functions] : Layout.OtherDomains) {
    Out.push_back(MakeWarning("other-domain", "domain " + HexDigits(Domain, 4) + ": " +
                                                  std::to_string(Functions.size()) +
                                                  (Functions.size() == 1 ? " function" : " functions") +
                                                  " not walked (the driver walks the first root bridge, "
                                                  "segment 0000)"));
  }
}

void ShortCaptures(const Board &Layout, json &Out) {
  size_t Short = 0;
  for (const Board::Function &Function : Layout.Functions) {
    Short += Function.CapturedBytes <= kShortCapture ? 1 : 0;
  }
  if (Short != 0) {
    Out.push_back(MakeWarning("short-capture", std::to_string(Short) + " of " +
                                                   std::to_string(Layout.Functions.size()) +
                                                   " functions hold only the 64-byte header: no capability is visible, "
                                                   "so no link is configured; capture as root with `lspci -xxxx`"));
  }
}

// Registers the driver read beyond what a capture holds: the model reads them
// as 0, so whatever follows from them is assumed, not the machine's.
void UnknownRegisters(const RunRecord &Record, json &Out) {
  std::map<UINT16, std::set<sim::Bdf>> Reads; // by register
  for (const sim::Access &Entry : Record.Accesses) {
    const sim::Bdf Location{Entry.Bus(), Entry.Device(), Entry.Function()};
    const bool Config = Entry.Kind == sim::AccessKind::ConfigRead || Entry.Kind == sim::AccessKind::WindowRead;
    if (Config && Record.Before.count(Location) != 0 &&
        Entry.Register() + Entry.Width * Entry.Count > Record.CapturedBytes(Location)) {
      Reads[Entry.Register()].insert(Location);
    }
  }
  if (Reads.empty()) {
    return;
  }
  std::string List;
  for (const auto &[Register, Functions] : Reads) {
    std::string Where;
    for (const sim::Bdf &Location : Functions) {
      Where += (Where.empty() ? "" : ", ") + sim::FormatBdf(Location);
    }
    List += (List.empty() ? "" : "; ") + Hex(Register, Register >= 0x100 ? 3 : 2) + " of " + Where;
  }
  Out.push_back(MakeWarning("unknown-register",
                            "the driver read registers beyond what the capture holds (" + List +
                                "); the model reads them as 0x00, so values written from them are assumed, not "
                                "the machine's: capture as root with `lspci -xxxx` for all 4096 bytes"));
}

// Warnings that say the same of several functions, as one with the list.
json GroupRepeats(const json &Warnings) {
  json Grouped = json::array();
  std::map<std::pair<std::string, std::string>, size_t> Index;
  for (const json &Warning : Warnings) {
    const auto Key = std::make_pair(Warning["kind"].get<std::string>(), Warning["message"].get<std::string>());
    const auto Found = Index.find(Key);
    const bool Groupable =
        Found != Index.end() && Warning.contains("location") &&
        (Grouped[Found->second].contains("location") || Grouped[Found->second].contains("locations"));
    if (!Groupable) {
      Index.emplace(Key, Grouped.size());
      Grouped.push_back(Warning);
      continue;
    }
    json &First = Grouped[Found->second];
    if (!First.contains("locations")) {
      First["locations"] = json::array({First["location"]});
      First.erase("location");
    }
    First["locations"].push_back(Warning["location"]);
  }
  return Grouped;
}

} // namespace

json MakeWarning(const char *Kind, const std::string &Message, std::optional<sim::Bdf> Location) {
  json Entry = {{"kind", Kind}, {"message", Message}};
  if (Location) {
    Entry["location"] = sim::FormatBdf(*Location);
  }
  return Entry;
}

json FindWarnings(const Board &Layout, const RunRecord &Record) {
  json Out = json::array();
  const std::vector<BridgeRange> All = Bridges(Record.Before);
  OtherDomains(Layout, Out);
  ShortCaptures(Layout, Out);
  UnknownRegisters(Record, Out);
  if (Record.Enumerated) {
    Unreached(Record, All, Out);
  }
  BusLoops(All, Out);
  OverlappingRanges(All, Out);
  WindowWritesInCapabilities(Record, Out);
  L1ExitLatencies(Record, Out);
  PayloadAboveSupported(Record, Out);
  LinkSpeedAboveSupported(Record, Out);
  PayloadGuesses(Record, Out);
  return GroupRepeats(Out);
}

} // namespace pciplat
