// Whole enumerations over hierarchies that real firmware should never hand
// over but hostile or broken hardware can: each found by the fuzzers once and
// kept here. Every run is also checked against every invariant of the model.
#include "fuzz/Scenarios.h"
#include "pci/PciRegisters.h"
#include "pci/PcieCapability.h"
#include "published/PciLayout.h"
#include "sim/BoardBuilder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using sim::AccessKind;

sim::PcieCapabilityConfig Link(UINT8 MaxPayloadSupported = 2) {
  sim::PcieCapabilityConfig Config;
  Config.SlotClock = true;
  Config.L1Supported = true;
  Config.MaxPayloadSupported = MaxPayloadSupported;
  return Config;
}

class HostileHierarchyTest : public ::testing::Test {
protected:
  void Enumerate() {
    for (const std::string &Violation : fuzz::EnumerateAndCheck(Board).Violations) {
      ADD_FAILURE() << Violation;
    }
  }

  // Configuration writes that reached (Bus, Device, Function), as registers.
  std::vector<UINT16> WrittenRegisters(sim::Bdf Where) const {
    std::vector<UINT16> Registers;
    for (const auto &Entry : Board.Log().All()) {
      if (Entry.Kind == AccessKind::ConfigWrite && Entry.Bus() == Where.Bus && Entry.Device() == Where.Device &&
          Entry.Function() == Where.Function) {
        Registers.push_back(Entry.Register());
      }
    }
    return Registers;
  }

  sim::Machine Board;
};

TEST_F(HostileHierarchyTest, ACapabilityPointerIntoTheHeaderIsNeverFollowed) {
  // The capability "found" at 0x1D would put link control on a BAR and device
  // control on the bridge's bus numbers.
  auto &Port = Board.Pci().Add({0, 1, 0}).Ids(0x8086, 0x2990).Bridge(0, 1, 1);
  sim::PcieCapabilityConfig RootPort = Link();
  RootPort.PortType = published::layout::PCIE_PORT_TYPE_ROOT_PORT;
  Port.NextCapabilityAt(0x1D).PcieCapability(RootPort);
  sim::AddPcieEndpoint(Board.Pci(), {1, 0, 0}, Link());
  Enumerate();
  EXPECT_TRUE(WrittenRegisters({0, 1, 0}).empty());
}

TEST_F(HostileHierarchyTest, ACapabilityAtTheEndOfTheSpaceNeverReachesTheNextFunction) {
  // At 0xF8 device control (+0x08) and link control (+0x10) would carry into
  // the function number: function 1's vendor ID and revision.
  auto &Last = Board.Pci().Add({0, 2, 0}).Ids(0x8086, 0x10D3).MultiFunction();
  Last.NextCapabilityAt(0xF8).PcieCapability(Link(0));
  auto &Next = sim::AddPcieEndpoint(Board.Pci(), {0, 2, 1}, Link(1));
  Enumerate();
  EXPECT_TRUE(WrittenRegisters({0, 2, 0}).empty());
  EXPECT_EQ(WrittenRegisters({0, 2, 1}), std::vector<UINT16>{UINT16(*Next.PcieCapabilityOffset() + 0x08)});
}

TEST_F(HostileHierarchyTest, BridgesClaimingTheSameSecondaryBusHaveItWalkedOnce) {
  // Two ports on every bus, both claiming the next one: walking each claim
  // would visit the last bus 2^14 times.
  constexpr UINT8 kLevels = 14;
  sim::AddRootPort(Board.Pci(), {0, 1, 0}, 1, kLevels, Link());
  auto &Second = sim::AddRootPort(Board.Pci(), {0, 2, 0}, 1, kLevels, Link());
  for (UINT8 Bus = 1; Bus < kLevels; ++Bus) {
    for (UINT8 Device = 0; Device < 2; ++Device) {
      sim::AddSwitchUpstreamPort(Board.Pci(), {Bus, Device, 0}, static_cast<UINT8>(Bus + 1), kLevels, Link());
    }
  }
  auto &Endpoint = sim::AddPcieEndpoint(Board.Pci(), {kLevels, 0, 0}, Link(1));
  Enumerate();
  EXPECT_EQ(WrittenRegisters({kLevels, 0, 0}).size(), 1U) << "one max payload write";
  EXPECT_EQ((Endpoint.DeviceControl() >> 5) & 7, 1);
  EXPECT_TRUE(Second.RetrainPolls().empty()) << "the link below bus 1 is configured once, from the first port";
}

} // namespace
