#include "checks/GeneratedHierarchy.h"

#include "sim/BoardBuilder.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace sim {

namespace {

constexpr unsigned kMaxBuses = 256;
constexpr unsigned kDownstreamPortsPerSwitch = 8;
constexpr unsigned kFunctionsPerDevice = 4;
constexpr unsigned kFastLinkEvery = 4;
constexpr UINT8 kFirstRootPortDevice = 1;
constexpr UINT8 kLastRootPortDevice = 30; // 31 holds the south bridge
constexpr UINT8 kSouthBridgeDevice = 31;

PcieCapabilityConfig QualifyingLink(UINT8 MaxPayloadSupported, UINT8 LinkSpeed = 1) {
  PcieCapabilityConfig Link;
  Link.MaxPayloadSupported = MaxPayloadSupported;
  Link.L1Supported = true;
  Link.SlotClock = true;
  Link.LinkSpeed = LinkSpeed;
  return Link;
}

void Require(bool Condition, const char *What) {
  if (!Condition) {
    std::fprintf(stderr, "sim::GeneratedHierarchy: %s\n", What);
    std::abort();
  }
}

class Generator {
public:
  explicit Generator(PciBus &Target) : Bus(Target) {}

  void AddBus0() {
    AddHostBridge(Bus, 0x8086, 0x4001, 0x11);
    // LPC bridge, SATA controller (two option ROM images), SMBus controller.
    AddConventionalFunction(Bus, {0, kSouthBridgeDevice, 0}, 0x8086, 0x2810).MultiFunction();
    AddConventionalFunction(Bus, {0, kSouthBridgeDevice, 2}, 0x8086, 0x2682).MultiFunction().ClassCode(0x01, 0x04);
    AddConventionalFunction(Bus, {0, kSouthBridgeDevice, 3}, 0x8086, 0x283E).MultiFunction().ClassCode(0x0C, 0x05);
    Count(4, 0);
  }

  // A root port on bus 0 whose hierarchy takes Buses bus numbers.
  void AddRootPortWith(UINT8 Device, unsigned Buses) {
    const auto Secondary = static_cast<UINT8>(NextBus);
    const auto Subordinate = static_cast<UINT8>(NextBus + Buses - 1);
    AddRootPort(Bus, {0, Device, 0}, Secondary, Subordinate, QualifyingLink(2));
    Count(1, 1);
    ++NextBus;
    if (Buses == 1) {
      AddDevice(Secondary);
      return;
    }
    // Upstream port on the root port's bus, downstream ports on the next one.
    const unsigned Ports = Buses - 2;
    const auto Internal = static_cast<UINT8>(NextBus++);
    AddSwitchUpstreamPort(Bus, {Secondary, 0, 0}, Internal, Subordinate, QualifyingLink(3));
    Count(1, 1);
    for (unsigned Port = 0; Port < Ports; ++Port) {
      const auto Below = static_cast<UINT8>(NextBus++);
      AddSwitchDownstreamPort(Bus, {Internal, static_cast<UINT8>(Port), 0}, Below, Below, QualifyingLink(3));
      Count(1, 1);
      AddDevice(Below);
    }
  }

  // A four-function PCI Express Ethernet device at device 0 of OnBus; its
  // function 0 has two option ROM images.
  void AddDevice(UINT8 OnBus) {
    const UINT8 Speed = (++Devices % kFastLinkEvery) == 0 ? 2 : 1;
    for (UINT8 Function = 0; Function < kFunctionsPerDevice; ++Function) {
      const UINT16 DeviceId = Function == 0 ? 0x1096 : 0x10D3;
      AddPcieEndpoint(Bus, {OnBus, 0, Function}, QualifyingLink(1, Speed), 0x8086, DeviceId).MultiFunction();
    }
    Count(kFunctionsPerDevice, 0);
  }

  void Count(unsigned Functions, unsigned Bridges) {
    Result.Functions += Functions;
    Result.Bridges += Bridges;
  }

  PciBus &Bus;
  unsigned NextBus = 1;
  unsigned Devices = 0;
  GeneratedHierarchy Result{};
};

} // namespace

GeneratedHierarchy AddSwitchedHierarchy(PciBus &Bus, unsigned BusCount) {
  Require(BusCount >= 1 && BusCount <= kMaxBuses, "a hierarchy has 1 to 256 buses");
  Generator Build(Bus);
  Build.AddBus0();
  for (UINT8 Device = kFirstRootPortDevice; Build.NextBus < BusCount; ++Device) {
    Require(Device <= kLastRootPortDevice, "more buses than 30 root ports can reach");
    const unsigned Left = BusCount - Build.NextBus;
    // A switch needs at least three buses; fewer go to single devices.
    Build.AddRootPortWith(Device, Left >= 3 ? std::min(Left, kDownstreamPortsPerSwitch + 2) : 1);
  }
  Build.Result.Buses = Build.NextBus;
  return Build.Result;
}

GeneratedHierarchy AddBridgeChain(PciBus &Bus, unsigned Levels) {
  Require(Levels >= 1 && Levels < kMaxBuses, "a bridge chain has 1 to 255 levels");
  AddHostBridge(Bus, 0x8086, 0x2990, 0x02);
  const auto Last = static_cast<UINT8>(Levels);
  AddRootPort(Bus, {0, 1, 0}, 1, Last, QualifyingLink(2));
  for (unsigned Level = 1; Level < Levels; ++Level) {
    const auto OnBus = static_cast<UINT8>(Level);
    const auto Below = static_cast<UINT8>(Level + 1);
    if (Level % 2 == 1) {
      AddSwitchUpstreamPort(Bus, {OnBus, 0, 0}, Below, Last, QualifyingLink(2));
    } else {
      AddSwitchDownstreamPort(Bus, {OnBus, 0, 0}, Below, Last, QualifyingLink(2));
    }
  }
  // The smallest payload sits at the bottom: only a walk that gets there
  // finds it.
  AddPcieEndpoint(Bus, {Last, 0, 0}, QualifyingLink(1));
  return {Levels + 1, Levels + 2, Levels};
}

} // namespace sim
