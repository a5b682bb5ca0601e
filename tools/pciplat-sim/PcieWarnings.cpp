// The PCI Express warnings: the ASPM L1 exit latency rule, payload settings,
// links that run faster than their ends support.
#include "TextFormat.h"
#include "Warnings.h"

#include <algorithm>
#include <map>
#include <set>

namespace pciplat {

namespace {

using nlohmann::json;

constexpr unsigned kLatencyBeyondTable = 7;
constexpr unsigned kLatencyMask = 7;
constexpr unsigned kL1ExitLatencyShift = 15; // LnkCap bits 17:15
constexpr unsigned kL1AcceptableShift = 9;   // DevCap bits 11:9
constexpr unsigned kSwitchLatencyUs = 1;
constexpr unsigned kLargestBoundedLatencyUs = 64;

// One end of a link: the function and its PCI Express capability.
struct PcieEnd {
  sim::Bdf Location;
  const ConfigSpace *Space;
  UINT8 Capability;
};

UINT8 EndType(const PcieEnd &End) {
  return ((*End.Space)[End.Capability + PCIE_CAPABILITIES_OFFSET] >> PCIE_PORT_TYPE_SHIFT) & PCIE_PORT_TYPE_MASK;
}
// Link capabilities bits 17:15 and device capabilities bits 11:9 both count
// microseconds in powers of two; 7 means beyond 64 us (exit) or no limit.
unsigned ExitLatencyCode(const PcieEnd &End) {
  return (Read32(*End.Space, End.Capability + PCIE_LINK_CAPABILITIES_OFFSET) >> kL1ExitLatencyShift) & kLatencyMask;
}
unsigned AcceptableCode(const PcieEnd &End) {
  return (Read32(*End.Space, End.Capability + PCIE_DEVICE_CAPABILITIES_OFFSET) >> kL1AcceptableShift) & kLatencyMask;
}
unsigned Microseconds(unsigned Code) { return Code >= kLatencyBeyondTable ? 65 : 1U << Code; }
bool L1Enabled(const ConfigSpace &After, const PcieEnd &End) {
  return (Read16(After, End.Capability + PCIE_LINK_CONTROL_OFFSET) & PCIE_LINK_CONTROL_ASPM_L1) != 0;
}

std::optional<PcieEnd> PcieEndAt(const ConfigSpaces &Spaces, const sim::Bdf &Location) {
  const auto Space = Spaces.find(Location);
  if (Space == Spaces.end()) {
    return std::nullopt;
  }
  const auto Found = FindCapability(Space->second, PCI_CAPABILITY_ID_PCI_EXPRESS);
  return Found ? std::optional<PcieEnd>({Location, &Space->second, static_cast<UINT8>(Found->Offset)}) : std::nullopt;
}

// The links from an endpoint up to its root port: pairs of (upstream end,
// downstream end), nearest first, through the bridges the scan found.
std::vector<std::pair<PcieEnd, PcieEnd>> PathToRoot(const RunRecord &Record, const PcieEnd &Endpoint) {
  std::map<unsigned, sim::Bdf> BridgeTo;
  for (const sim::Bdf &Location : Record.Found) {
    const ConfigSpace &Space = Record.Before.at(Location);
    if (IsPciBridge(Space) && Space[PCI_BRIDGE_SECONDARY_BUS_OFFSET] > Location.Bus) {
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
    if (!UpEnd || EndType(*UpEnd) != PCIE_PORT_TYPE_SWITCH_UPSTREAM) {
      break;
    }
    Below = *UpEnd;
  }
  return Links;
}

} // namespace

// Latency in words: code 7 of LnkCap bits 17:15 means more than 64 us, no bound.
std::string Latency(unsigned Microseconds) {
  return Microseconds > kLargestBoundedLatencyUs ? "more than 64 us" : "up to " + std::to_string(Microseconds) + " us";
}

std::string LatencyText(unsigned Accepts, unsigned Worst, unsigned Largest, unsigned Switches, const sim::Bdf &Root) {
  std::string Text = "accepts at most " + std::to_string(Accepts) +
                     " us of L1 exit latency (DevCap bits 11:9), but with L1 enabled on the link" +
                     (Switches == 0 ? "" : "s") + " to " + sim::FormatBdf(Root) + " the exit can take " +
                     Latency(Worst);
  if (Switches == 0) {
    return Text + " (the larger exit latency of the link's ends, LnkCap bits 17:15)";
  }
  return Text + " (largest link exit latency " + Latency(Largest) + ", LnkCap bits 17:15, plus 1 us for each of " +
         std::to_string(Switches) + (Switches == 1 ? " switch)" : " switches)");
}

// PCI Express Base Specification 4.0, section 5.4.1 (ASPM): the L1 exit latency an
// endpoint sees is the largest exit latency of the links on its path with L1
// enabled, plus 1 us for each switch between it and the farthest such link.
void L1ExitLatencies(const RunRecord &Record, json &Out) {
  for (const sim::Bdf &Location : Record.Found) {
    const auto Endpoint = PcieEndAt(Record.Before, Location);
    if (!Endpoint || (EndType(*Endpoint) != kPortTypeEndpoint && EndType(*Endpoint) != kPortTypeLegacyEndpoint) ||
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
                                LatencyText(Accepts, Worst, WorstLargest, WorstSwitches, Links.back().first.Location),
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
    const unsigned Supported =
        Read32(Space, Found->Offset + PCIE_DEVICE_CAPABILITIES_OFFSET) & PCIE_DEVICE_CAPABILITIES_MAX_PAYLOAD_MASK;
    const unsigned Set =
        (Read16(Space, Found->Offset + PCIE_DEVICE_CONTROL_OFFSET) & PCIE_DEVICE_CONTROL_MAX_PAYLOAD_MASK) >>
        PCIE_DEVICE_CONTROL_MAX_PAYLOAD_SHIFT;
    if (Set > Supported) {
      Out.push_back(MakeWarning("payload",
                                "max payload is set to " + std::to_string(128U << Set) +
                                    " bytes (DevCtl bits 7:5) but the function supports " +
                                    std::to_string(128U << Supported) + " bytes (DevCap bits 2:0)",
                                Location));
    }
  }
}

namespace {

constexpr UINT32 kLinkSpeedMask = 0xF; // LnkCap and LnkSta bits 3:0

std::string Speed(unsigned Code) {
  static const char *const Rates[] = {"", "2.5 GT/s", "5 GT/s", "8 GT/s", "16 GT/s", "32 GT/s", "64 GT/s"};
  return (Code < std::size(Rates) && Code != 0 ? std::string(Rates[Code]) + " " : std::string()) + "(code " +
         std::to_string(Code) + ")";
}

unsigned MaxSpeed(const PcieEnd &End) {
  return Read32(*End.Space, End.Capability + PCIE_LINK_CAPABILITIES_OFFSET) & kLinkSpeedMask;
}

// The port above a function's link: the bridge whose secondary bus it sits on.
std::optional<PcieEnd> PortAbove(const RunRecord &Record, const sim::Bdf &Location) {
  for (const auto &[Where, Space] : Record.Before) {
    if (IsPciBridge(Space) && Space[PCI_BRIDGE_SECONDARY_BUS_OFFSET] == Location.Bus && Location.Bus > Where.Bus) {
      return PcieEndAt(Record.Before, Where);
    }
  }
  return std::nullopt;
}

} // namespace

// PCI Express Base Specification 4.0, sections 7.5.3.6 and 7.5.3.8: a link
// trains to a speed both ends support, so Current Link Speed above either
// end's Max Link Speed is a register that does not tell the truth.
void LinkSpeedAboveSupported(const RunRecord &Record, json &Out) {
  for (const auto &[Location, Space] : Record.Before) {
    const auto End = PcieEndAt(Record.Before, Location);
    if (!End || !HasLink(EndType(*End))) {
      continue;
    }
    const unsigned Current = Read16(Space, End->Capability + PCIE_LINK_STATUS_OFFSET) & kLinkSpeedMask;
    const auto Port = EndType(*End) == PCIE_PORT_TYPE_ROOT_PORT || EndType(*End) == PCIE_PORT_TYPE_SWITCH_DOWNSTREAM
                          ? std::nullopt
                          : PortAbove(Record, Location);
    for (const PcieEnd &Limit : Port ? std::vector<PcieEnd>{*End, *Port} : std::vector<PcieEnd>{*End}) {
      const unsigned Max = MaxSpeed(Limit);
      const std::string Whose =
          Limit.Location == Location ? std::string("its own") : sim::FormatBdf(Limit.Location) + "'s";
      if (Current != 0 && Max == 0) {
        Out.push_back(MakeWarning("link-speed",
                                  "LnkSta bits 3:0 report " + Speed(Current) + ", but " + Whose +
                                      " LnkCap bits 3:0 (Max Link Speed) hold code 0, which is reserved and "
                                      "names no speed",
                                  Location));
      } else if (Current != 0 && Current > Max) {
        Out.push_back(MakeWarning("link-speed",
                                  "LnkSta bits 3:0 report " + Speed(Current) + ", above the " + Speed(Max) + " that " +
                                      Whose + " LnkCap bits 3:0 give as the link's maximum",
                                  Location));
      }
    }
  }
}

namespace {

constexpr UINT16 kSlotStatusOffset = 0x1A;
constexpr UINT16 kSlotPresenceDetect = 0x0040; // Slot Status bit 6
constexpr UINT16 kSlotImplemented = 0x0100;    // PCI Express Capabilities bit 8

std::optional<unsigned> ChosenPayload(const RunRecord &Record) {
  for (const DECISION &Each : Record.Decisions) {
    if (Each.Kind == DECISION_KIND::Payload && Each.Reason == DECISION_REASON::Chosen) {
      return static_cast<unsigned>(Each.Value);
    }
  }
  return std::nullopt;
}

// What says a device sits below the port: Data Link Layer Link Active
// (LnkSta bit 13) or, on a port with a slot, Presence Detect State (SltSta
// bit 6).
std::string SomethingBelow(const PcieEnd &Port) {
  const ConfigSpace &Space = *Port.Space;
  if ((Read16(Space, Port.Capability + PCIE_LINK_STATUS_OFFSET) & PCIE_LINK_STATUS_LINK_ACTIVE) != 0) {
    return "its link is up (LnkSta bit 13, Data Link Layer Link Active)";
  }
  if ((Read16(Space, Port.Capability + PCIE_CAPABILITIES_OFFSET) & kSlotImplemented) != 0 &&
      (Read16(Space, Port.Capability + kSlotStatusOffset) & kSlotPresenceDetect) != 0) {
    return "its slot reports a card (SltSta bit 6, Presence Detect State)";
  }
  return "";
}

bool AnythingOnBus(const RunRecord &Record, unsigned Bus) {
  return std::any_of(Record.Before.begin(), Record.Before.end(),
                     [Bus](const auto &Each) { return Each.first.Bus == Bus && IsPresent(Each.second); });
}

} // namespace

// A capture holds only what the machine showed: a device below a port whose
// link is up but which the capture lacks may support less than the size
// chosen for the rest.
void PayloadGuesses(const RunRecord &Record, json &Out) {
  const auto Chosen = ChosenPayload(Record);
  for (const sim::Bdf &Location : Record.Found) {
    const auto Port = PcieEndAt(Record.Before, Location);
    if (!Chosen || !Port ||
        (EndType(*Port) != PCIE_PORT_TYPE_ROOT_PORT && EndType(*Port) != PCIE_PORT_TYPE_SWITCH_DOWNSTREAM)) {
      continue;
    }
    const unsigned Current =
        (Read16(*Port->Space, Port->Capability + PCIE_DEVICE_CONTROL_OFFSET) & PCIE_DEVICE_CONTROL_MAX_PAYLOAD_MASK) >>
        PCIE_DEVICE_CONTROL_MAX_PAYLOAD_SHIFT;
    const std::string Below = SomethingBelow(*Port);
    if (Below.empty() || *Chosen <= Current || AnythingOnBus(Record, (*Port->Space)[PCI_BRIDGE_SECONDARY_BUS_OFFSET])) {
      continue;
    }
    Out.push_back(MakeWarning("payload-guess",
                              Below +
                                  ", but nothing below it was captured: the device there may support less than "
                                  "the chosen " +
                                  std::to_string(128U << *Chosen) + " bytes, so any size above the port's " +
                                  std::to_string(128U << Current) + " bytes (DevCtl bits 7:5) is a guess",
                              Location));
  }
}

} // namespace pciplat
