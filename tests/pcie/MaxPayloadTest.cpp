// One max payload size for every PCI Express function reachable from bus 0.
#include "PcieFixture.h"
#include "published/PciLayout.h"

#include "pcie/LinkTuning.h"

#include <vector>

namespace {

using sim::PcieCapabilityConfig;

PcieCapabilityConfig Payload(UINT8 Supported, UINT8 Current = 0) {
  PcieCapabilityConfig Config;
  Config.MaxPayloadSupported = Supported;
  Config.MaxPayload = Current;
  return Config;
}

UINT8 PayloadCode(const sim::PciFunction &Function) { return static_cast<UINT8>((Function.DeviceControl() >> 5) & 7); }

class MaxPayloadTest : public PcieFixture {};

TEST_F(MaxPayloadTest, EveryPcieFunctionBridgesIncludedGetsTheSmallestSupportedSize) {
  // Root port (2) -> switch upstream (5) -> downstream (5) -> endpoint (2); an
  // endpoint on bus 0 (1). The bridges count as much as the endpoints.
  auto &Root = sim::AddRootPort(Pci(), {0, 1, 0}, 1, 3, Payload(2, 2));
  auto &Upstream = sim::AddSwitchUpstreamPort(Pci(), {1, 0, 0}, 2, 3, Payload(5, 4));
  auto &Downstream = sim::AddSwitchDownstreamPort(Pci(), {2, 0, 0}, 3, 3, Payload(5));
  auto &Behind = sim::AddPcieEndpoint(Pci(), {3, 0, 0}, Payload(2));
  auto &OnBus0 = sim::AddPcieEndpoint(Pci(), {0, 2, 0}, Payload(1));
  // Device-control bits around the payload field must survive.
  Behind.Poke16(DeviceControlOf(Behind), 0x7F1F);
  StartDriver();
  ConfigureMaxPayload(LocatedRootBridgeIo());
  for (const auto *Function : {&Root, &Upstream, &Downstream, &Behind, &OnBus0}) {
    EXPECT_EQ(PayloadCode(*Function), 1) << sim::FormatBdf(Function->Location());
  }
  EXPECT_EQ(Behind.DeviceControl(), 0x7F3F);
  // One write per function, in scan order with descent below each port.
  EXPECT_EQ(ConfigWrites(),
            (std::vector<std::string>{At({0, 1, 0}, 0x48, 0x20), At({1, 0, 0}, 0x48, 0x20), At({2, 0, 0}, 0x48, 0x20),
                                      At({3, 0, 0}, 0x48, 0x7F3F), At({0, 2, 0}, 0x48, 0x20)}));
}

// A size resting on a device-capabilities read that failed would be a guess:
// the function counts as supporting 128 bytes (code 0), which every function
// supports, and everyone gets that.
TEST_F(MaxPayloadTest, AnUnreadableDeviceCapabilitiesCountsAsTheSmallestSize) {
  auto &Root = sim::AddRootPort(Pci(), {0, 1, 0}, 1, 1, Payload(2, 2));
  auto &Endpoint = sim::AddPcieEndpoint(Pci(), {1, 0, 0}, Payload(2, 2));
  Pci().FailReadsAt({1, 0, 0}, static_cast<UINT16>(*Endpoint.PcieCapabilityOffset() + 0x04)); // DevCap
  StartDriver();
  ConfigureMaxPayload(LocatedRootBridgeIo());
  EXPECT_EQ(PayloadCode(Root), 0);
  EXPECT_EQ(PayloadCode(Endpoint), 0);
}

TEST_F(MaxPayloadTest, FunctionsBehindAnUnreachablePortNeitherCountNorGetWritten) {
  struct Case {
    const char *Name;
    bool BridgeHasPcie;
    UINT8 Secondary;
    bool FailSecondaryRead;
  };
  const std::vector<Case> Cases = {
      {"conventional bridge", false, 2, false},
      {"secondary bus not below the port", true, 1, false},
      {"secondary bus unreadable", true, 2, true},
  };
  for (const auto &Test : Cases) {
    SCOPED_TRACE(Test.Name);
    FreshMachine();
    // 0:1.0 root port -> bus 1: the bridge under test at 1:0.0 -> bus 2: an
    // endpoint supporting only 128 bytes.
    auto &Root = sim::AddRootPort(Pci(), {0, 1, 0}, 1, 2, Payload(3));
    auto &Bridge = Test.BridgeHasPcie ? sim::AddSwitchUpstreamPort(Pci(), {1, 0, 0}, Test.Secondary, 2, Payload(3))
                                      : Pci().Add({1, 0, 0}).Ids(0x8086, 0x244E).Bridge(1, Test.Secondary, 2);
    auto &Hidden = sim::AddPcieEndpoint(Pci(), {2, 0, 0}, Payload(0, 4));
    if (Test.FailSecondaryRead) {
      Pci().FailReadsAt({1, 0, 0}, published::layout::PCI_BRIDGE_SECONDARY_BUS_OFFSET);
    }
    StartDriver();
    ConfigureMaxPayload(LocatedRootBridgeIo());
    EXPECT_EQ(PayloadCode(Root), 3);
    if (Test.BridgeHasPcie) {
      EXPECT_EQ(PayloadCode(Bridge), 3);
    }
    EXPECT_EQ(PayloadCode(Hidden), 4) << "left as it was";
    for (const auto &Entry : Machine->Log().All()) {
      EXPECT_NE(Entry.Bus(), 2) << FormatAccess(Entry);
    }
  }
}

TEST_F(MaxPayloadTest, ReservedSizesLowerTheMinimumOnlyBelowItAndAreNeverProgrammed) {
  struct Case {
    const char *Name;
    std::vector<UINT8> Supported;
    UINT8 Minimum;
    bool Programmed;
  };
  const std::vector<Case> Cases = {
      {"reserved beside real sizes", {6, 2, 7}, 2, true},
      {"largest defined size", {5}, 5, true},
      {"only 6", {6}, 6, false},
      {"only 7", {7}, 7, false},
      {"7 then 6", {7, 6}, 6, false},
      {"no PCI Express function", {}, 7, false},
  };
  for (const auto &Test : Cases) {
    SCOPED_TRACE(Test.Name);
    FreshMachine();
    sim::AddConventionalFunction(Pci(), {0, 0, 0}, 0x8086, 0x1237);
    std::vector<sim::PciFunction *> Functions;
    for (size_t Index = 0; Index < Test.Supported.size(); ++Index) {
      Functions.push_back(
          &sim::AddPcieEndpoint(Pci(), {0, static_cast<UINT8>(Index + 1), 0}, Payload(Test.Supported[Index], 3)));
    }
    StartDriver();
    UINT8 Minimum = 7;
    ProgramMaxPayload(LocatedRootBridgeIo(), 0, MAX_PAYLOAD_MODE::Gather, Minimum);
    EXPECT_EQ(Minimum, Test.Minimum);
    ConfigureMaxPayload(LocatedRootBridgeIo());
    if (Test.Programmed) {
      for (const auto *Function : Functions) {
        EXPECT_EQ(PayloadCode(*Function), Test.Minimum) << sim::FormatBdf(Function->Location());
      }
    } else {
      EXPECT_TRUE(ConfigWrites().empty());
    }
  }
}

TEST_F(MaxPayloadTest, AModeOtherThanGatherOrApplyOnlyWalks) {
  auto &Endpoint = sim::AddPcieEndpoint(Pci(), {0, 1, 0}, Payload(0, 2));
  StartDriver();
  UINT8 Minimum = 7;
  ProgramMaxPayload(LocatedRootBridgeIo(), 0, static_cast<MAX_PAYLOAD_MODE>(2), Minimum);
  EXPECT_EQ(Minimum, 7);
  EXPECT_TRUE(ConfigWrites().empty());
  EXPECT_EQ(PayloadCode(Endpoint), 2);
}

} // namespace
