// Bus numbers come from firmware and may be wrong. Ports that claim the same
// secondary bus must not multiply the link-tuning walks: each bus is entered
// once per pass, so the cost stays linear in the hierarchy.
#include "PcieFixture.h"

#include "pcie/LinkTuning.h"

namespace {

class MisnumberedBusesTest : public PcieFixture {
protected:
  // Buses 1..Levels each hold two switch ports both claiming the next bus, and
  // an endpoint at the bottom; bus 0 holds a root port to bus 1.
  void BuildPairedChain(UINT8 Levels) {
    sim::PcieCapabilityConfig Link;
    Link.L1Supported = true;
    Link.SlotClock = true;
    Link.MaxPayloadSupported = 2;
    sim::AddRootPort(Pci(), {0, 1, 0}, 1, Levels + 1, Link);
    for (UINT8 Bus = 1; Bus <= Levels; ++Bus) {
      sim::AddSwitchDownstreamPort(Pci(), {Bus, 0, 0}, static_cast<UINT8>(Bus + 1), Levels + 1, Link);
      sim::AddSwitchDownstreamPort(Pci(), {Bus, 1, 0}, static_cast<UINT8>(Bus + 1), Levels + 1, Link);
    }
    sim::AddPcieEndpoint(Pci(), {static_cast<UINT8>(Levels + 1), 0, 0}, Link);
  }
};

TEST_F(MisnumberedBusesTest, PortsClaimingTheSameBusDoNotMultiplyThePasses) {
  constexpr UINT8 kLevels = 40; // 2^40 descents without the guard
  BuildPairedChain(kLevels);
  StartDriver();
  ConfigurePcieAspm(LocatedRootBridgeIo());
  ConfigureMaxPayload(LocatedRootBridgeIo());
  // Every bus's 256 possible functions probed a handful of times at most.
  EXPECT_LT(Machine->Log().All().size(), 20U * 256U * (kLevels + 2));
  // The endpoint at the bottom was still reached by both passes.
  const sim::PciFunction &Endpoint = *Pci().Find({kLevels + 1, 0, 0});
  EXPECT_EQ((Endpoint.DeviceControl() >> 5) & 7, 2);
  EXPECT_EQ(Endpoint.LinkControl() & 0x42, 0x42);
}

} // namespace
