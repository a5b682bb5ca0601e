// Common clock, ASPM L1 and retraining on the links below the bus-0 ports,
// against the model's link-training behaviour and virtual clock.
#include "PcieFixture.h"
#include "published/PciLayout.h"
#include "support/Published.h"

#include "pcie/LinkTuning.h"

#include <algorithm>
#include <vector>

namespace {

using sim::AccessKind;
using sim::PcieCapabilityConfig;

constexpr UINT8 kCommonClockAndL1 = 0x42;
constexpr UINT8 kCommonClockOnly = 0x40;
constexpr UINT32 kLinkSetupRegister = published::kWindowLinkSetupRegister;
constexpr UINT32 kPortControlRegister = published::kWindowPortControlRegister;

PcieCapabilityConfig Link(bool SlotClock = true, bool L1 = true, UINT8 Speed = 1, int TrainingReads = 0) {
  PcieCapabilityConfig Config;
  Config.SlotClock = SlotClock;
  Config.L1Supported = L1;
  Config.LinkSpeed = Speed;
  Config.TrainingReads = TrainingReads;
  return Config;
}

UINT8 LinkControlLow(const sim::PciFunction &Function) { return static_cast<UINT8>(Function.LinkControl()); }

class AspmTest : public PcieFixture {
protected:
  // A root port at 0:Device.0 whose secondary bus Device holds one endpoint.
  struct RootLink {
    sim::PciFunction *Port;
    sim::PciFunction *Child;
  };
  RootLink AddRootLink(UINT8 Device, PcieCapabilityConfig PortLink, PcieCapabilityConfig ChildLink) {
    auto &Port = sim::AddRootPort(Pci(), {0, Device, 0}, Device, Device, PortLink);
    auto &Child = sim::AddPcieEndpoint(Pci(), {Device, 0, 0}, ChildLink);
    return {&Port, &Child};
  }

  std::vector<std::string> LinkControlWrites(const sim::PciFunction &Function) const {
    const sim::Bdf Where = Function.Location();
    std::vector<std::string> Result;
    for (const auto &Entry : Machine->Log().All()) {
      if (Entry.Kind == AccessKind::ConfigWrite && Entry.Bus() == Where.Bus && Entry.Device() == Where.Device &&
          Entry.Function() == Where.Function && Entry.Register() == LinkControlOf(Function)) {
        Result.push_back(At(Where, Entry.Register(), Entry.Value));
      }
    }
    return Result;
  }
};

TEST_F(AspmTest, DisableAspmOfAtMost32BytesStopsEveryAspmWriteButNotMaxPayload) {
  struct Case {
    const char *Name;
    bool Exists;
    size_t Size;
    EFI_STATUS Failure;
    bool Disabled;
  };
  const std::vector<Case> Cases = {
      {"empty", true, 0, EFI_SUCCESS, true},     {"one byte", true, 1, EFI_SUCCESS, true},
      {"32 bytes", true, 32, EFI_SUCCESS, true}, {"33 bytes", true, 33, EFI_SUCCESS, false},
      {"absent", false, 0, EFI_SUCCESS, false},  {"service fails", true, 1, EFI_DEVICE_ERROR, false},
  };
  for (const auto &Test : Cases) {
    SCOPED_TRACE(Test.Name);
    FreshMachine();
    PcieCapabilityConfig PortLink = Link();
    PortLink.MaxPayloadSupported = 2;
    PortLink.MaxPayload = 3;
    PcieCapabilityConfig ChildLink = Link();
    ChildLink.MaxPayloadSupported = 1;
    ChildLink.MaxPayload = 3;
    const auto Ends = AddRootLink(1, PortLink, ChildLink);
    if (Test.Exists) {
      Machine->Variables().Set(published::kDisableAspmName, published::kDisableAspmGuid,
                               std::vector<UINT8>(Test.Size, 0x01));
    }
    if (EFI_ERROR(Test.Failure)) {
      Machine->Variables().FailWith(published::kDisableAspmName, published::kDisableAspmGuid, Test.Failure);
    }
    StartDriver();
    ConfigurePcieAspm(LocatedRootBridgeIo());

    EXPECT_EQ(Machine->Variables().ReadCount(published::kDisableAspmName), 1U);
    size_t HeaderReads = 0;
    for (const auto &Entry : Machine->Log().All()) {
      HeaderReads += Entry.Kind == AccessKind::ConfigRead && Entry.Bus() == 0 && Entry.Count == 16 ? 1 : 0;
    }
    EXPECT_GE(HeaderReads, 1U);
    if (Test.Disabled) {
      EXPECT_TRUE(ConfigWrites().empty());
      EXPECT_TRUE(WindowWrites().empty());
    } else {
      EXPECT_EQ(LinkControlLow(*Ends.Port), kCommonClockAndL1);
      EXPECT_EQ(LinkControlLow(*Ends.Child), kCommonClockAndL1);
      EXPECT_EQ(Ends.Port->RetrainPolls().size(), 1U);
    }
    // The phase runs max payload whether or not ASPM is off.
    RunPhase(EfiPciHostBridgeBeginResourceAllocation);
    EXPECT_EQ(Ends.Port->DeviceControl(), 0x20);
    EXPECT_EQ(Ends.Child->DeviceControl(), 0x20);
  }
}

TEST_F(AspmTest, BeginResourceAllocationRunsAspmThenMaxPayloadOnceTheRootBridgeIsKnown) {
  PcieCapabilityConfig PortLink = Link();
  PortLink.MaxPayload = 2;
  AddRootLink(1, PortLink, Link());
  LoadDriver();
  RunPhase(EfiPciHostBridgeBeginResourceAllocation);
  EXPECT_TRUE(Machine->Log().All().empty()) << "no root bridge located yet";

  RunPhase(EfiPciHostBridgeBeginEnumeration);
  Machine->Log().Clear();
  RunPhase(EfiPciHostBridgeBeginResourceAllocation);
  const auto &Log = Machine->Log().All();
  size_t LastWindowWrite = 0;
  size_t FirstDeviceControlWrite = Log.size();
  for (size_t Index = 0; Index < Log.size(); ++Index) {
    if (Log[Index].Kind == AccessKind::WindowWrite) {
      LastWindowWrite = Index;
    }
    if (Log[Index].Kind == AccessKind::ConfigWrite && Log[Index].Register() == 0x48) {
      FirstDeviceControlWrite = std::min(FirstDeviceControlWrite, Index);
    }
  }
  EXPECT_LT(LastWindowWrite, FirstDeviceControlWrite);
  EXPECT_LT(FirstDeviceControlWrite, Log.size());
}

TEST_F(AspmTest, ALinkIsConfiguredOnlyWhenBothEndsHaveTheSlotClockAndL1) {
  struct Case {
    const char *Name;
    PcieCapabilityConfig Port;
    PcieCapabilityConfig Child;
    bool Configured;
  };
  const std::vector<Case> Cases = {
      {"both ends qualify", Link(), Link(), true},
      {"port has its own clock", Link(false, true), Link(), false},
      {"child has its own clock", Link(), Link(false, true), false},
      {"port lacks L1", Link(true, false), Link(), false},
      {"child lacks L1", Link(), Link(true, false), false},
  };
  for (const auto &Test : Cases) {
    SCOPED_TRACE(Test.Name);
    FreshMachine();
    const auto Ends = AddRootLink(1, Test.Port, Test.Child);
    StartDriver();
    ConfigurePcieAspm(LocatedRootBridgeIo());
    if (Test.Configured) {
      EXPECT_EQ(ConfigWrites(), (std::vector<std::string>{At({0, 1, 0}, 0x50, 0x42), At({1, 0, 0}, 0x50, 0x42),
                                                          At({0, 1, 0}, 0x50, 0x62)}));
      EXPECT_EQ(Ends.Port->RetrainPolls(), (std::vector<unsigned>{1}));
    } else {
      EXPECT_TRUE(ConfigWrites().empty());
      EXPECT_TRUE(Ends.Port->RetrainPolls().empty());
    }
    EXPECT_EQ(LinkControlLow(*Ends.Port) & 0x20, 0) << "retrain reads as zero";
  }
}

TEST_F(AspmTest, EarlyRevisionsOfTheHostBridgeFamilyKeepL1OffOnFastLinks) {
  struct Case {
    const char *Name;
    bool HostBridge;
    UINT16 Vendor;
    UINT16 Device;
    UINT8 Revision;
    UINT8 ChildSpeed;
    UINT8 Expected;
  };
  const std::vector<Case> Cases = {
      {"4000 rev 10, 5 GT/s", true, 0x8086, 0x4000, 0x10, 2, kCommonClockOnly},
      {"4001 rev 1f, 8 GT/s", true, 0x8086, 0x4001, 0x1F, 3, kCommonClockOnly},
      {"4003 rev 00, 5 GT/s", true, 0x8086, 0x4003, 0x00, 2, kCommonClockOnly},
      {"4001 rev 20, 5 GT/s", true, 0x8086, 0x4001, 0x20, 2, kCommonClockAndL1},
      {"4003 rev ff, 5 GT/s", true, 0x8086, 0x4003, 0xFF, 2, kCommonClockAndL1},
      {"4001 rev 10, 2.5 GT/s", true, 0x8086, 0x4001, 0x10, 1, kCommonClockAndL1},
      {"4002 rev 10, 5 GT/s", true, 0x8086, 0x4002, 0x10, 2, kCommonClockAndL1},
      {"0000 rev 10, 5 GT/s", true, 0x8086, 0x0000, 0x10, 2, kCommonClockAndL1}, // a zero ID is no listed device
      {"other vendor, 5 GT/s", true, 0x1022, 0x4001, 0x10, 2, kCommonClockAndL1},
      {"no host bridge, 5 GT/s", false, 0, 0, 0, 2, kCommonClockAndL1},
  };
  for (const auto &Test : Cases) {
    SCOPED_TRACE(Test.Name);
    FreshMachine();
    if (Test.HostBridge) {
      sim::AddHostBridge(Pci(), Test.Vendor, Test.Device, Test.Revision);
    }
    const auto Ends = AddRootLink(1, Link(), Link(true, true, Test.ChildSpeed));
    StartDriver();
    ConfigurePcieAspm(LocatedRootBridgeIo());
    EXPECT_EQ(LinkControlLow(*Ends.Port), Test.Expected);
    EXPECT_EQ(LinkControlLow(*Ends.Child), Test.Expected);
    EXPECT_EQ(Ends.Port->RetrainPolls().size(), 1U);
  }
}

TEST_F(AspmTest, AChildAt2_5GtpsKeepsTheValueAnEarlierChildOfTheSameBridgeSet) {
  sim::AddHostBridge(Pci(), 0x8086, 0x4001, 0x10);
  // Bridge 0:1.0: a fast child sets common clock only, a later 2.5 GT/s one
  // inherits it. Bridge 0:2.0: its first child starts afresh from both bits.
  auto &First = sim::AddRootPort(Pci(), {0, 1, 0}, 1, 1, Link());
  auto &Fast = sim::AddPcieEndpoint(Pci(), {1, 0, 0}, Link(true, true, 2));
  auto &Slow = sim::AddPcieEndpoint(Pci(), {1, 1, 0}, Link(true, true, 1));
  auto &Second = sim::AddRootPort(Pci(), {0, 2, 0}, 2, 2, Link());
  auto &Fresh = sim::AddPcieEndpoint(Pci(), {2, 0, 0}, Link(true, true, 1));
  StartDriver();
  ConfigurePcieAspm(LocatedRootBridgeIo());
  EXPECT_EQ(LinkControlLow(Fast), kCommonClockOnly);
  EXPECT_EQ(LinkControlLow(Slow), kCommonClockOnly);
  EXPECT_EQ(LinkControlLow(First), kCommonClockOnly);
  EXPECT_EQ(First.RetrainPolls().size(), 2U);
  EXPECT_EQ(LinkControlLow(Fresh), kCommonClockAndL1);
  EXPECT_EQ(LinkControlLow(Second), kCommonClockAndL1);
}

TEST_F(AspmTest, EachPresentFunctionOfAMultiFunctionChildGetsTheBitsAndAnAbsentOneNoBridgeWrite) {
  auto &Port = sim::AddRootPort(Pci(), {0, 1, 0}, 1, 1, Link());
  sim::AddPcieEndpoint(Pci(), {1, 0, 0}, Link()).MultiFunction();
  sim::AddPcieEndpoint(Pci(), {1, 0, 2}, Link(false, false));
  sim::AddConventionalFunction(Pci(), {1, 0, 3}, 0x8086, 0x1234);
  // A function present at device 1 function 1 must not be reached: the child
  // loop looks at function 0 of each device, and device 1's is absent.
  sim::AddPcieEndpoint(Pci(), {1, 1, 1}, Link());
  StartDriver();
  ConfigurePcieAspm(LocatedRootBridgeIo());
  EXPECT_EQ(ConfigWrites(), (std::vector<std::string>{
                                At({0, 1, 0}, 0x50, 0x42), At({1, 0, 0}, 0x50, 0x42), // function 0
                                At({0, 1, 0}, 0x50, 0x42), At({1, 0, 2}, 0x50, 0x42), // function 2
                                At({0, 1, 0}, 0x50, 0x42),                            // function 3: no link
                                At({0, 1, 0}, 0x50, 0x62),                            // retrain
                            }));
  EXPECT_EQ(Port.RetrainPolls().size(), 1U);
}

TEST_F(AspmTest, ASwitchHasItsRootAndDownstreamLinksConfiguredButNotTheUpstreamPortsOwn) {
  // 0:1.0 root port -> 1:0.0 upstream port -> 2:0.0 and 2:1.0 downstream
  // ports -> endpoints 3:0.0 and 4:0.0.
  auto &Root = sim::AddRootPort(Pci(), {0, 1, 0}, 1, 4, Link());
  auto &Upstream = sim::AddSwitchUpstreamPort(Pci(), {1, 0, 0}, 2, 4, Link());
  auto &DownA = sim::AddSwitchDownstreamPort(Pci(), {2, 0, 0}, 3, 3, Link());
  auto &DownB = sim::AddSwitchDownstreamPort(Pci(), {2, 1, 0}, 4, 4, Link());
  auto &EndA = sim::AddPcieEndpoint(Pci(), {3, 0, 0}, Link());
  auto &EndB = sim::AddPcieEndpoint(Pci(), {4, 0, 0}, Link());
  StartDriver();
  ConfigurePcieAspm(LocatedRootBridgeIo());

  EXPECT_EQ(Root.RetrainPolls().size(), 1U);
  EXPECT_EQ(Upstream.RetrainPolls().size(), 0U);
  EXPECT_EQ(DownA.RetrainPolls().size(), 1U);
  EXPECT_EQ(DownB.RetrainPolls().size(), 1U);
  // The downstream ports are written only as the upper end of their own link.
  EXPECT_EQ(LinkControlWrites(DownA), (std::vector<std::string>{At({2, 0, 0}, 0x50, 0x42), At({2, 0, 0}, 0x50, 0x62)}));
  EXPECT_EQ(LinkControlWrites(Upstream), (std::vector<std::string>{At({1, 0, 0}, 0x50, 0x42)}));
  for (const auto *Function : {&Root, &Upstream, &DownA, &DownB, &EndA, &EndB}) {
    EXPECT_EQ(LinkControlLow(*Function), kCommonClockAndL1) << sim::FormatBdf(Function->Location());
  }
  // Each port the pass enters is bracketed by its link-setup bit, nested.
  std::vector<std::string> LinkSetup;
  for (const auto &Write : WindowWrites()) {
    if (Write.find("+0x174=") != std::string::npos) {
      LinkSetup.push_back(Write);
    }
  }
  EXPECT_EQ(LinkSetup, (std::vector<std::string>{
                           "win " + At({0, 1, 0}, 0x174, 4),
                           "win " + At({1, 0, 0}, 0x174, 4),
                           "win " + At({2, 0, 0}, 0x174, 4),
                           "win " + At({2, 0, 0}, 0x174, 0),
                           "win " + At({2, 1, 0}, 0x174, 4),
                           "win " + At({2, 1, 0}, 0x174, 0),
                           "win " + At({1, 0, 0}, 0x174, 0),
                           "win " + At({0, 1, 0}, 0x174, 0),
                       }));
  for (const auto *Function : {&Root, &Upstream, &DownA, &DownB}) {
    EXPECT_EQ(Function->Peek16(kPortControlRegister), 0x1000) << sim::FormatBdf(Function->Location());
  }
  EXPECT_EQ(EndA.Peek16(kPortControlRegister), 0);
  EXPECT_EQ(EndB.Peek16(kPortControlRegister), 0);
}

TEST_F(AspmTest, ABus0FunctionWithPcieButNoBridgeStillHasItsWindowRegistersSetAndCleared) {
  auto &Endpoint = sim::AddPcieEndpoint(Pci(), {0, 2, 0}, Link());
  Endpoint.Poke8(kLinkSetupRegister, 0x81);
  Endpoint.Poke16(kPortControlRegister, 0x0003);
  sim::AddConventionalFunction(Pci(), {0, 3, 0}, 0x8086, 0x1234);
  StartDriver();
  ConfigurePcieAspm(LocatedRootBridgeIo());
  EXPECT_EQ(WindowWrites(),
            (std::vector<std::string>{"win " + At({0, 2, 0}, 0x174, 0x85), "win " + At({0, 2, 0}, 0x56, 0x1003),
                                      "win " + At({0, 2, 0}, 0x174, 0x81)}));
  for (const auto &Entry : Machine->Log().All()) {
    if (Entry.Kind == AccessKind::WindowRead || Entry.Kind == AccessKind::WindowWrite) {
      EXPECT_EQ(Entry.Width, Entry.Register() == kLinkSetupRegister ? 1 : 2) << FormatAccess(Entry);
    }
  }
  EXPECT_TRUE(ConfigWrites().empty());
}

TEST_F(AspmTest, TheRetrainWaitPollsWithoutAnInitialStallAndGivesUpAfterOneSecond) {
  struct Case {
    const char *Name;
    int TrainingReads;
    unsigned Polls;
  };
  const std::vector<Case> Cases = {
      {"trained at once", 0, 1},
      {"trains after 3 reads", 3, 4},
      {"trains at the last poll", 1000, 1001},
      {"just too slow", 1001, 1001},
      {"never trains", sim::kTrainsNever, 1001},
  };
  for (const auto &Test : Cases) {
    SCOPED_TRACE(Test.Name);
    FreshMachine();
    const auto Ends = AddRootLink(1, Link(true, true, 1, Test.TrainingReads), Link());
    StartDriver();
    ConfigurePcieAspm(LocatedRootBridgeIo());
    EXPECT_EQ(Ends.Port->RetrainPolls(), (std::vector<unsigned>{Test.Polls}));
    EXPECT_EQ(Machine->StallCalls(), Test.Polls - 1);
    EXPECT_EQ(Machine->ElapsedMicroseconds(), (Test.Polls - 1) * published::kRetrainPollIntervalMicroseconds);
    EXPECT_LE(Machine->ElapsedMicroseconds(), published::kRetrainWaitMostMicroseconds);
  }
}

TEST_F(AspmTest, ALinkThatNeverTrainsKeepsItsBitsAndTheNextLinkIsStillConfigured) {
  auto Stuck = AddRootLink(1, Link(true, true, 1, sim::kTrainsNever), Link());
  auto Next = AddRootLink(2, Link(true, true, 1, 2), Link());
  StartDriver();
  ConfigurePcieAspm(LocatedRootBridgeIo());
  EXPECT_EQ(LinkControlLow(*Stuck.Port), kCommonClockAndL1);
  EXPECT_EQ(LinkControlLow(*Stuck.Child), kCommonClockAndL1);
  EXPECT_EQ(Stuck.Port->RetrainPolls(), (std::vector<unsigned>{1001}));
  EXPECT_EQ(Next.Port->RetrainPolls(), (std::vector<unsigned>{3}));
  EXPECT_EQ(LinkControlLow(*Next.Child), kCommonClockAndL1);
  EXPECT_EQ(Machine->ElapsedMicroseconds(),
            published::kRetrainWaitMostMicroseconds + 2 * published::kRetrainPollIntervalMicroseconds);
  // Its link-setup bit is cleared again after the wait.
  EXPECT_EQ(Stuck.Port->Peek8(kLinkSetupRegister), 0);
}

TEST_F(AspmTest, ABridgeWhoseSecondaryBusIsUnreadableOrNotBelowItIsLeftAlone) {
  struct Case {
    const char *Name;
    bool FailSecondaryRead;
    UINT8 Secondary;
  };
  const std::vector<Case> Cases = {{"read fails", true, 1}, {"secondary is bus 0", false, 0}};
  for (const auto &Test : Cases) {
    SCOPED_TRACE(Test.Name);
    FreshMachine();
    sim::AddRootPort(Pci(), {0, 1, 0}, Test.Secondary, 1, Link());
    sim::AddPcieEndpoint(Pci(), {1, 0, 0}, Link());
    if (Test.FailSecondaryRead) {
      Pci().FailReads({0, 1, 0}, published::layout::PCI_BRIDGE_SECONDARY_BUS_OFFSET);
    }
    StartDriver();
    ConfigurePcieAspm(LocatedRootBridgeIo());
    EXPECT_TRUE(ConfigWrites().empty());
    for (const auto &Entry : Machine->Log().All()) {
      EXPECT_NE(Entry.Bus(), 1) << FormatAccess(Entry);
    }
  }
}

// The children of one port share its one link: each retrains it, only the
// first waits for it.
TEST_F(AspmTest, APortsChildrenRetrainItsLinkButOnlyTheFirstWaits) {
  auto &Port = sim::AddRootPort(Pci(), {0, 1, 0}, 1, 1, Link(true, true, 1, sim::kTrainsNever));
  for (UINT8 Device = 0; Device < 4; ++Device) {
    sim::AddPcieEndpoint(Pci(), {1, Device, 0}, Link());
  }
  StartDriver();
  ConfigurePcieAspm(LocatedRootBridgeIo());
  // Link-status reads after each retrain: the first's 1,001 polls, then the
  // next child's look at the port's status before it retrains again.
  EXPECT_EQ(Port.RetrainPolls(), (std::vector<unsigned>{1002, 1, 1, 0}));
  EXPECT_EQ(Machine->ElapsedMicroseconds(), 1000000U) << "one wait of the stated 1 s";
  size_t NotWaited = 0;
  for (const DECISION &Record : Machine->Decisions()) {
    NotWaited += Record.Kind == DECISION_KIND::Retrain && Record.Reason == DECISION_REASON::AlreadyWaited ? 1 : 0;
  }
  EXPECT_EQ(NotWaited, 3U);
}

// Past the pass's budget a retrain is still requested, and looked at once,
// but not waited for; the record says the budget cut it.
TEST_F(AspmTest, RetrainWaitsStopAtThePassBudgetAndLaterRetrainsAreNotWaitedFor) {
  std::vector<RootLink> Stuck;
  for (UINT8 Device = 1; Device <= 4; ++Device) {
    Stuck.push_back(AddRootLink(Device, Link(true, true, 1, sim::kTrainsNever), Link()));
  }
  StartDriver();
  ConfigurePcieAspm(LocatedRootBridgeIo());
  EXPECT_EQ(Machine->ElapsedMicroseconds(), 2000000U) << "the stated budget, 2 s";
  EXPECT_EQ(Stuck[0].Port->RetrainPolls(), (std::vector<unsigned>{1001}));
  EXPECT_EQ(Stuck[1].Port->RetrainPolls(), (std::vector<unsigned>{1001}));
  EXPECT_EQ(Stuck[2].Port->RetrainPolls(), (std::vector<unsigned>{1}));
  EXPECT_EQ(Stuck[3].Port->RetrainPolls(), (std::vector<unsigned>{1}));
  for (const RootLink &Each : Stuck) {
    EXPECT_EQ(LinkControlLow(*Each.Child), kCommonClockAndL1) << "configured all the same";
  }
  std::vector<UINT32> Cut;
  for (const DECISION &Record : Machine->Decisions()) {
    if (Record.Kind == DECISION_KIND::Retrain && Record.Reason == DECISION_REASON::BudgetSpent) {
      Cut.push_back(Record.Where);
    }
  }
  EXPECT_EQ(Cut, (std::vector<UINT32>{0x00030000, 0x00040000}));
  // The next pass has a budget of its own.
  ConfigurePcieAspm(LocatedRootBridgeIo());
  EXPECT_EQ(Machine->ElapsedMicroseconds(), 4000000U);
}

// A link qualifies only on values read: a failed read of either end's link
// capabilities or link status (or one that reads all ones) writes nothing.
TEST_F(AspmTest, ALinkWhoseRegistersCannotBeReadIsLeftAlone) {
  struct Case {
    const char *Name;
    bool AtPort;
    UINT32 Register; // offset in the PCI Express capability
  };
  const std::vector<Case> Cases = {{"child link capabilities", false, published::layout::PCIE_LINK_CAPABILITIES_OFFSET},
                                   {"child link status", false, published::layout::PCIE_LINK_STATUS_OFFSET},
                                   {"port link capabilities", true, published::layout::PCIE_LINK_CAPABILITIES_OFFSET},
                                   {"port link status", true, published::layout::PCIE_LINK_STATUS_OFFSET}};
  for (const auto &Test : Cases) {
    SCOPED_TRACE(Test.Name);
    FreshMachine();
    const auto Ends = AddRootLink(1, Link(), Link());
    const sim::PciFunction &Failing = Test.AtPort ? *Ends.Port : *Ends.Child;
    Pci().FailReads(Failing.Location(), static_cast<UINT16>(*Failing.PcieCapabilityOffset() + Test.Register));
    StartDriver();
    ConfigurePcieAspm(LocatedRootBridgeIo());
    EXPECT_TRUE(ConfigWrites().empty()) << ConfigWrites().front();
    bool Said = false;
    for (const DECISION &Record : Machine->Decisions()) {
      Said = Said || (Record.Kind == DECISION_KIND::Link && Record.Reason == DECISION_REASON::Unreadable &&
                      Record.Value == *Failing.PcieCapabilityOffset() + Test.Register);
    }
    EXPECT_TRUE(Said);
  }
}

// A capability pointer with its low bits set (0x41): the root bridge refuses
// the unaligned link reads, and nothing lands inside another register.
TEST_F(AspmTest, AnUnalignedCapabilityOnARootBridgeThatRefusesUnalignedAccessesWritesNothing) {
  for (const bool Allowed : {false, true}) {
    SCOPED_TRACE(Allowed ? "unaligned accesses allowed" : "refused, as real root bridges do");
    FreshMachine();
    Machine->SetUnalignedConfigAccess(Allowed);
    sim::AddRootPort(Pci(), {0, 1, 0}, 1, 1, Link());
    auto &Child = Pci().Add({1, 0, 0}).Ids(0x8086, 0x10D3).NextCapabilityAt(0x41).PcieCapability(Link());
    StartDriver();
    ConfigurePcieAspm(LocatedRootBridgeIo());
    const auto Writes = ConfigWrites();
    const bool ChildWritten =
        std::find(Writes.begin(), Writes.end(), At(Child.Location(), 0x51, kCommonClockAndL1)) != Writes.end();
    EXPECT_EQ(ChildWritten, Allowed);
    if (!Allowed) {
      EXPECT_TRUE(Writes.empty()) << Writes.front();
    }
  }
}

} // namespace
