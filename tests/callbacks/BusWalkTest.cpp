// The callback walk over the whole hierarchy at the two allocation points.
#include "CallbackFixture.h"
#include "published/PciLayout.h"

#include "pci/PciAddress.h"

#include <cstring>
#include <functional>

namespace {

using sim::Bdf;
using sim::CallbackCall;
using Names = std::vector<std::string>;

class BusWalkTest : public CallbackFixture {
protected:
  sim::PciFunction &Endpoint(Bdf Where) { return sim::AddConventionalFunction(Machine->Pci(), Where, 0x8086, 0x1234); }
  sim::PciFunction &Bridge(Bdf Where, UINT8 Secondary) {
    return sim::AddRootPort(Machine->Pci(), Where, Secondary, Secondary);
  }

  // Registers slot 0 for the begin-allocation walk, runs it and names the
  // functions it was called for.
  Names WalkOnce() {
    EXPECT_EQ(Register(0, PCI_CALLBACK_BEGIN_ALLOCATION), EFI_SUCCESS);
    BeginEnumeration();
    BeginAllocation();
    return Visited(Recorder.Calls());
  }

  // Slot 0 changes the header-type byte of the record when called for Where.
  void RewriteHeaderType(Bdf Where, UINT8 HeaderType) {
    Recorder.SetAction(0, [Where, HeaderType](const CallbackCall &Call, PCI_DEVICE_RECORD *Record) {
      if (Call.Bus() == Where.Bus && Call.Device() == Where.Device && Call.Function() == Where.Function) {
        Record->Header[published::layout::PCI_HEADER_TYPE_OFFSET] = HeaderType;
      }
    });
  }
};

TEST_F(BusWalkTest, VisitsDepthFirstWithEachBridgeBeforeWhatIsBehindIt) {
  sim::AddHostBridge(Machine->Pci(), 0x8086, 0x29C0, 2);
  Bridge({0, 1, 0}, 1);
  Endpoint({1, 0, 0});
  Bridge({1, 3, 0}, 2);
  Endpoint({2, 0, 0});
  Endpoint({0, 2, 0});
  // Function 0 absent: the other functions are still probed.
  Endpoint({0, 4, 5});
  ASSERT_EQ(Register(0, PCI_CALLBACK_END_ALLOCATION), EFI_SUCCESS);
  BeginEnumeration();
  PrepareController({0, 0, 0, 0, 0});
  EndAllocation();

  EXPECT_EQ(Visited(Recorder.Calls()),
            (Names{"00:00.0", "00:01.0", "01:00.0", "01:03.0", "02:00.0", "00:02.0", "00:04.5"}));
  for (const CallbackCall &Call : Recorder.Calls()) {
    const sim::PciFunction *Function = Machine->Pci().Find({Call.Bus(), Call.Device(), Call.Function()});
    ASSERT_NE(Function, nullptr);
    EXPECT_EQ(Call.PciAddress, PciFunctionAddress(Call.Bus(), Call.Device(), Call.Function()));
    EXPECT_EQ(Call.Mask, PCI_CALLBACK_END_ALLOCATION);
    EXPECT_EQ(Call.RootBridgeHandle, Machine->RootBridgeHandle());
    EXPECT_EQ(Call.Record, PciDeviceRecord());
    EXPECT_EQ(Call.Contents.RootBridgeIo, Machine->RootBridgeIo());
    EXPECT_EQ(Call.Contents.CpuIo, Machine->CpuIo());
    EXPECT_EQ(std::memcmp(Call.Contents.Header, Function->Bytes().data(), published::layout::PCI_HEADER_SIZE), 0)
        << sim::FormatBdf(Function->Location());
  }
}

TEST_F(BusWalkTest, FunctionZerosOwnHeaderDecidesItsOtherFunctionsWhateverIsBehindIt) {
  struct Case {
    const char *Name;
    bool BridgeMultiFunction;
    bool ChildMultiFunction;
    Names Expected;
  };
  const Case Cases[] = {
      {"multi-function bridge, single-function child", true, false, {"00:01.0", "01:00.0", "00:01.1"}},
      {"single-function bridge, multi-function child", false, true, {"00:01.0", "01:00.0", "01:00.1"}},
  };
  for (const Case &Test : Cases) {
    SCOPED_TRACE(Test.Name);
    Restart();
    Bridge({0, 1, 0}, 1).MultiFunction(Test.BridgeMultiFunction);
    Endpoint({0, 1, 1});
    Endpoint({1, 0, 0}).MultiFunction(Test.ChildMultiFunction);
    Endpoint({1, 0, 1});
    EXPECT_EQ(WalkOnce(), Test.Expected);
  }
}

TEST_F(BusWalkTest, ACallbackSteersTheWalkThroughTheHeaderTypeByte) {
  struct Case {
    const char *Name;
    Bdf Target;
    UINT8 HeaderType;
    Names Expected;
  };
  const Case Cases[] = {
      {"unchanged", {0, 0, 0}, 0x00, {"00:01.0", "01:00.0", "00:01.1", "00:02.0", "00:03.0"}},
      {"bridge shown as a multi-function endpoint", {0, 1, 0}, 0x80, {"00:01.0", "00:01.1", "00:02.0", "00:03.0"}},
      {"bridge shown single-function", {0, 1, 0}, 0x01, {"00:01.0", "01:00.0", "00:02.0", "00:03.0"}},
      {"endpoint shown multi-function",
       {0, 2, 0},
       0x80,
       {"00:01.0", "01:00.0", "00:01.1", "00:02.0", "00:02.3", "00:03.0"}},
      {"endpoint shown as a bridge",
       {0, 3, 0},
       0x01,
       {"00:01.0", "01:00.0", "00:01.1", "00:02.0", "00:03.0", "05:00.0"}},
  };
  for (const Case &Test : Cases) {
    SCOPED_TRACE(Test.Name);
    Restart();
    Bridge({0, 1, 0}, 1).MultiFunction();
    Endpoint({0, 1, 1});
    Endpoint({1, 0, 0});
    Endpoint({0, 2, 0});
    Endpoint({0, 2, 3}); // behind a single-function function 0
    Endpoint({0, 3, 0}).Poke8(published::layout::PCI_BRIDGE_SECONDARY_BUS_OFFSET, 5);
    Endpoint({5, 0, 0});
    RewriteHeaderType(Test.Target, Test.HeaderType);
    EXPECT_EQ(WalkOnce(), Test.Expected);
  }
}

TEST_F(BusWalkTest, ABridgeIsReportedButNotDescendedWhenItsSecondaryBusCannotBeFollowed) {
  struct Case {
    const char *Name;
    std::function<void()> Build;
    Names Expected;
  };
  const Case Cases[] = {
      {"secondary bus read fails",
       [this] {
         Bridge({0, 1, 0}, 1);
         Machine->Pci().FailReadsAt({0, 1, 0}, published::layout::PCI_BRIDGE_SECONDARY_BUS_OFFSET);
       },
       {"00:01.0", "00:02.0"}},
      {"secondary bus is the bridge's own",
       [this] {
         Bridge({0, 1, 0}, 0);
       },
       {"00:01.0", "00:02.0"}},
      {"secondary bus below the bridge's own",
       [this] {
         Bridge({0, 1, 0}, 2);
         Bridge({2, 0, 0}, 1);
       },
       {"00:01.0", "02:00.0", "00:02.0"}},
  };
  for (const Case &Test : Cases) {
    SCOPED_TRACE(Test.Name);
    Restart();
    Test.Build();
    Endpoint({1, 0, 0});
    Endpoint({0, 2, 0});
    EXPECT_EQ(WalkOnce(), Test.Expected);
  }
}

TEST_F(BusWalkTest, ABusClaimedByTwoBridgesIsWalkedOnce) {
  Bridge({0, 1, 0}, 1);
  Bridge({0, 2, 0}, 1);
  Endpoint({1, 0, 0});
  EXPECT_EQ(WalkOnce(), (Names{"00:01.0", "01:00.0", "00:02.0"}));
}

TEST_F(BusWalkTest, BridgePairsClaimingTheSameBusesDoNotMultiplyTheWalk) {
  // Two bridges per bus, both naming the next bus: followed blindly, the walk
  // would enter the last bus 2^40 times.
  constexpr UINT8 kLevels = 40;
  for (UINT8 Bus = 0; Bus < kLevels; ++Bus) {
    Bridge({Bus, 0, 0}, static_cast<UINT8>(Bus + 1));
    Bridge({Bus, 1, 0}, static_cast<UINT8>(Bus + 1));
  }
  Endpoint({kLevels, 0, 0});
  const Names Calls = WalkOnce();
  EXPECT_EQ(Calls.size(), 2U * kLevels + 1);
  EXPECT_EQ(Calls.front(), "00:00.0");
  EXPECT_EQ(Calls.back(), "00:01.0");
}

// The walk alone, without the link tuning that follows it in the phase.
void WalkAs(UINT32 PhaseMask) {
  BeginCallbackPoint(PhaseMask);
  WalkPciBus(LocatedRootBridgeIo(), LocatedRootBridgeHandle(), 0);
}

TEST_F(BusWalkTest, WithoutRegistrationsTheWalkStillReadsEveryHeader) {
  const auto Build = [this] {
    sim::AddHostBridge(Machine->Pci(), 0x8086, 0x29C0, 2);
    Bridge({0, 1, 0}, 1);
    Endpoint({1, 0, 0});
  };
  Build();
  BeginEnumeration();
  Machine->Log().Clear();
  WalkAs(PCI_CALLBACK_BEGIN_ALLOCATION);
  const std::vector<sim::Access> Unregistered = Machine->Log().All();
  EXPECT_TRUE(Recorder.Calls().empty());
  // Every probe reads the first dword; a present function adds its header and a
  // bridge its secondary bus number. Bus 0 holds two single-function devices,
  // bus 1 one.
  const size_t Probes = (2 + 30 * 8) + (1 + 31 * 8);
  EXPECT_EQ(Unregistered.size(), Probes + 3 + 1);
  EXPECT_EQ(Machine->Log().Writes().size(), 0U);

  Restart();
  Build();
  ASSERT_EQ(Register(0, PCI_CALLBACK_BEGIN_ALLOCATION), EFI_SUCCESS);
  BeginEnumeration();
  Machine->Log().Clear();
  WalkAs(PCI_CALLBACK_BEGIN_ALLOCATION);
  EXPECT_EQ(Recorder.Calls().size(), 3U);
  ASSERT_EQ(Machine->Log().All().size(), Unregistered.size());
  for (size_t Index = 0; Index < Unregistered.size(); ++Index) {
    EXPECT_EQ(sim::FormatAccess(Machine->Log().All()[Index]), sim::FormatAccess(Unregistered[Index]));
  }
}

} // namespace
