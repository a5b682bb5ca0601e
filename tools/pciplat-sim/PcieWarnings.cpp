// The PCI Express warnings: where the driver's chipset window writes land, the
// ASPM L1 exit latency rule, payload settings.
#include "TextFormat.h"
#include "Warnings.h"

#include <algorithm>
#include <map>
#include <set>

namespace pciplat {

namespace {

using nlohmann::json;

constexpr UINT8 kPortEndpoint = 0;
constexpr UINT8 kPortLegacyEndpoint = 1;
constexpr unsigned kLatencyBeyondTable = 7;
constexpr unsigned kSwitchLatencyUs = 1;

sim::Bdf Target(const sim::Access &Entry) { return {Entry.Bus(), Entry.Device(), Entry.Function()}; }

std::string WindowWriteWarning(const ConfigSpace &Space, const sim::Access &Write, const Capability &Hit,
                               bool ReadFirst) {
  const unsigned First = std::max<unsigned>(Write.Register(), Hit.Offset);
  const RegisterName Name = NameRegister(Space, First);
  std::string Text = "chipset window write to " + Hex(Write.Register(), 2) + " (" + std::to_string(Write.Width * 8) +
                     " bits) lands in its " + Hit.Title + " capability at " + Hex(Hit.Offset, 2) + ": " + Name.Setpci;
  const std::string Part = RegisterPart(Name, First, Write.Register() + Write.Width - First);
  Text += Part.empty() ? "" : " (" + Part + ")";
  if (Name.WriteOneToClear && ReadFirst) {
    Text += "; the read-modify-write writes back the " + Name.Short +
            " bits it read as 1, which clears them (write-1-to-clear)";
  }
  return Text;
}

} // namespace

void WindowWritesInCapabilities(const RunRecord &Record, json &Out) {
  if (!Record.WindowDecoded) { // the writes land nowhere
    return;
  }
  std::set<UINT64> ReadSinceWrite;
  std::set<std::pair<sim::Bdf, UINT16>> Reported;
  for (const sim::Access &Entry : Record.Accesses) {
    if (Entry.Kind == sim::AccessKind::WindowRead) {
      ReadSinceWrite.insert(Entry.Address);
    }
    if (Entry.Kind != sim::AccessKind::WindowWrite) {
      continue;
    }
    const bool ReadFirst = ReadSinceWrite.erase(Entry.Address) != 0;
    const auto Space = Record.Before.find(Target(Entry));
    if (Space == Record.Before.end() || !Reported.insert({Target(Entry), Entry.Register()}).second) {
      continue;
    }
    for (const Capability &Each : StandardCapabilities(Space->second)) {
      if (Entry.Register() < Each.Offset + Each.Length && Entry.Register() + Entry.Width > Each.Offset) {
        Out.push_back(MakeWarning("window-in-capability", WindowWriteWarning(Space->second, Entry, Each, ReadFirst),
                                  Target(Entry)));
      }
    }
  }
}

namespace {

// One end of a link: the function and its PCI Express capability.
struct PcieEnd {
  sim::Bdf Location;
  const ConfigSpace *Space;
  UINT8 Capability;
};

UINT8 PortType(const PcieEnd &End) { return ((*End.Space)[End.Capability + PCIE_CAPABILITIES_OFFSET] >> 4) & 0xF; }
// Link capabilities bits 17:15 and device capabilities bits 11:9 both count
// microseconds in powers of two; 7 means beyond 64 us (exit) or no limit.
unsigned ExitLatencyCode(const PcieEnd &End) {
  return (Read32(*End.Space, End.Capability + PCIE_LINK_CAPABILITIES_OFFSET) >> 15) & 7;
}
unsigned AcceptableCode(const PcieEnd &End) {
  return (Read32(*End.Space, End.Capability + PCIE_DEVICE_CAPABILITIES_OFFSET) >> 9) & 7;
}
unsigned Microseconds(unsigned Code) { return Code >= kLatencyBeyondTable ? 65 : 1U << Code; }
bool L1Enabled(const ConfigSpace &After, const PcieEnd &End) {
  return (Read16(After, End.Capability + PCIE_LINK_CONTROL_OFFSET) & 0x02) != 0;
}

std::optional<PcieEnd> PcieEndAt(const ConfigSpaces &Spaces, const sim::Bdf &Location) {
  const auto Space = Spaces.find(Location);
  if (Space == Spaces.end()) {
    return std::nullopt;
  }
  const auto Found = FindCapability(Space->second, PCI_CAPABILITY_ID_PCI_EXPRESS);
  return Found ? std::optional<PcieEnd>({Location, &Space->second, Found->Offset}) : std::nullopt;
}

// The links from an endpoint up to its root port: pairs of (upstream end,
// downstream end), nearest first, through the bridges the scan found.
std::vector<std::pair<PcieEnd, PcieEnd>> PathToRoot(const RunRecord &Record, const PcieEnd &Endpoint) {
  std::map<unsigned, sim::Bdf> BridgeTo;
  for (const sim::Bdf &Location : Record.Found) {
    const ConfigSpace &Space = Record.Before.at(Location);
    if ((Space[PCI_HEADER_TYPE_OFFSET] & 0x7F) == 1 && Space[PCI_BRIDGE_SECONDARY_BUS_OFFSET] > Location.Bus) {
      BridgeTo.emplace(Space[PCI_BRIDGE_SECONDARY_BUS_OFFSET], Location);
    }
  }
  std::vector<std::pair<PcieEnd, PcieEnd>> Links;
  PcieEnd Below = Endpoint;
  for (unsigned Depth = 0; Depth < 256; ++Depth) {
    const auto Parent = BridgeTo.find(Below.Location.Bus);
    const auto Above = Parent != BridgeTo.end() ? PcieEndAt(Record.Before, Parent->second) : std::nullopt;
    if (!Above) {
      break;
    }
    Links.push_back({*Above, Below});
    // Through a switch: its upstream port's own link is the next one up.
    const auto Upstream = BridgeTo.find(Above->Location.Bus);
    const auto UpEnd = Upstream != BridgeTo.end() ? PcieEndAt(Record.Before, Upstream->second) : std::nullopt;
    if (!UpEnd || PortType(*UpEnd) != PCIE_PORT_TYPE_SWITCH_UPSTREAM) {
      break;
    }
    Below = *UpEnd;
  }
  return Links;
}

} // namespace

// PCI Express Base Specification 4.0, section 5.4.1 (ASPM): the L1 exit latency an
// endpoint sees is the largest exit latency of the links on its path with L1
// enabled, plus 1 us for each switch between it and the farthest such link.
void L1ExitLatencies(const RunRecord &Record, json &Out) {
  for (const sim::Bdf &Location : Record.Found) {
    const auto Endpoint = PcieEndAt(Record.Before, Location);
    if (!Endpoint || (PortType(*Endpoint) != kPortEndpoint && PortType(*Endpoint) != kPortLegacyEndpoint) ||
        AcceptableCode(*Endpoint) >= kLatencyBeyondTable) {
      continue;
    }
    const auto Links = PathToRoot(Record, *Endpoint);
    unsigned Largest = 0;
    unsigned Worst = 0;
    unsigned WorstLargest = 0;
    unsigned WorstSwitches = 0;
    for (unsigned Index = 0; Index < Links.size(); ++Index) {
      const auto &[Up, Down] = Links[Index];
      if (!L1Enabled(Record.After.at(Up.Location), Up) && !L1Enabled(Record.After.at(Down.Location), Down)) {
        continue;
      }
      Largest = std::max({Largest, Microseconds(ExitLatencyCode(Up)), Microseconds(ExitLatencyCode(Down))});
      if (Largest + Index * kSwitchLatencyUs > Worst) {
        Worst = Largest + Index * kSwitchLatencyUs;
        WorstLargest = Largest;
        WorstSwitches = Index;
      }
    }
    const unsigned Accepts = Microseconds(AcceptableCode(*Endpoint));
    if (Worst > Accepts) {
      Out.push_back(MakeWarning("l1-latency",
                                "accepts at most " + std::to_string(Accepts) +
                                    " us of L1 exit latency (DevCap bits 11:9), but with L1 on " + "the links to " +
                                    sim::FormatBdf(Links.back().first.Location) + " the exit can take up to " +
                                    std::to_string(Worst) + " us (largest link exit latency " +
                                    std::to_string(WorstLargest) + " us, LnkCap bits 17:15, plus 1 us for each of " +
                                    std::to_string(WorstSwitches) + (WorstSwitches == 1 ? " switch)" : " switches)"),
                                Location));
    }
  }
}

void PayloadAboveSupported(const RunRecord &Record, json &Out) {
  for (const auto &[Location, Space] : Record.Before) {
    const auto Found = FindCapability(Space, PCI_CAPABILITY_ID_PCI_EXPRESS);
    if (!Found || Read16(Space, 0) == 0xFFFF) {
      continue;
    }
    const unsigned Supported = Read32(Space, Found->Offset + PCIE_DEVICE_CAPABILITIES_OFFSET) & 7;
    const unsigned Set = (Read16(Space, Found->Offset + PCIE_DEVICE_CONTROL_OFFSET) >> 5) & 7;
    if (Set > Supported) {
      Out.push_back(MakeWarning("payload",
                                "max payload is set to " + std::to_string(128U << Set) +
                                    " bytes (DevCtl bits 7:5) but the function supports " +
                                    std::to_string(128U << Supported) + " bytes (DevCap bits 2:0)",
                                Location));
    }
  }
}

} // namespace pciplat
