// Driver entry, installed interfaces and the phase dispatch.
#include "support/DriverFixture.h"
#include "support/Published.h"

#include "base/DecisionTable.h"
#include "pci/PciAddress.h"
#include "platform/SetupData.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

class DriverEntryTest : public DriverFixture {};

TEST_F(DriverEntryTest, InstallsThePlatformProtocolOnANewHandle) {
  ASSERT_EQ(Machine->LoadDriver(), EFI_SUCCESS);
  ASSERT_NE(DriverHandle(), nullptr);
  EXPECT_NE(DriverHandle(), Machine->DriverImageHandle());
  auto *Installed =
      static_cast<EFI_PCI_PLATFORM_PROTOCOL *>(Machine->Handles().Find(DriverHandle(), EFI_PCI_PLATFORM_PROTOCOL_GUID));
  ASSERT_EQ(Installed, PciPlatformProtocol());
  EXPECT_EQ(Installed->PlatformNotify, &PlatformNotify);
  EXPECT_EQ(Installed->PlatformPrepController, &PlatformPrepController);
  EXPECT_EQ(Installed->GetPlatformPolicy, &GetPlatformPolicy);
}

TEST_F(DriverEntryTest, ReturnsTheInstallationFailure) {
  Machine->Handles().FailInstall(EFI_PCI_PLATFORM_PROTOCOL_GUID, EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Machine->LoadDriver(), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Machine->PciPlatform(), nullptr);
}

TEST_F(DriverEntryTest, MarksTheSetupImageNotLoadedAndReadsNoVariable) {
  LoadDriver();
  EXPECT_EQ(SetupData()[published::kSetupEthernetSwitch], published::kSetupNotLoaded);
  EXPECT_EQ(Machine->Variables().ReadCount(u"Setup"), 0U);
  for (UINTN Index = 0; Index < published::kSetupSize; ++Index) {
    if (Index != published::kSetupEthernetSwitch) {
      ASSERT_EQ(SetupData()[Index], 0) << "byte " << Index;
    }
  }
}

TEST_F(DriverEntryTest, GetPlatformPolicyNeverWritesThePolicy) {
  LoadDriver();
  EXPECT_EQ(Platform->GetPlatformPolicy(Platform, nullptr), EFI_INVALID_PARAMETER);
  EFI_PCI_PLATFORM_POLICY Policy = 0x5A5A5A5A;
  EXPECT_EQ(Platform->GetPlatformPolicy(Platform, &Policy), EFI_UNSUPPORTED);
  EXPECT_EQ(Policy, 0x5A5A5A5AU);
}

TEST_F(DriverEntryTest, BeginEnumerationExitLocatesTheServices) {
  LoadDriver();
  RunPhase(EfiPciHostBridgeBeginEnumeration);
  EXPECT_EQ(LocatedRootBridgeIo(), Machine->RootBridgeIo());
  EXPECT_EQ(LocatedCpuIo(), Machine->CpuIo());
}

TEST_F(DriverEntryTest, EveryChipsetEntryNotificationDoesNothing) {
  LoadDriver();
  for (UINT32 Phase = EfiPciHostBridgeBeginEnumeration; Phase <= EfiPciHostBridgeEndEnumeration; ++Phase) {
    EXPECT_EQ(Notify(static_cast<EFI_PCI_HOST_BRIDGE_RESOURCE_ALLOCATION_PHASE>(Phase), ChipsetEntry), EFI_SUCCESS);
  }
  EXPECT_EQ(LocatedRootBridgeIo(), nullptr);
  EXPECT_EQ(LocatedCpuIo(), nullptr);
  EXPECT_TRUE(Machine->Log().All().empty());
}

TEST_F(DriverEntryTest, PhasesWithoutWorkTouchNothingOnExit) {
  LoadDriver();
  for (auto Phase :
       {EfiPciHostBridgeBeginBusAllocation, EfiPciHostBridgeEndBusAllocation, EfiPciHostBridgeAllocateResources,
        EfiPciHostBridgeSetResources, EfiPciHostBridgeFreeResources, EfiPciHostBridgeEndEnumeration}) {
    EXPECT_EQ(Notify(Phase, ChipsetExit), EFI_SUCCESS);
  }
  EXPECT_EQ(LocatedRootBridgeIo(), nullptr);
  EXPECT_TRUE(Machine->Log().All().empty());
}

TEST_F(DriverEntryTest, AFailedLocateLeavesThatServiceNull) {
  LoadDriver();
  RunPhase(EfiPciHostBridgeBeginEnumeration);
  ASSERT_NE(LocatedRootBridgeIo(), nullptr);
  Machine->Handles().FailLocateProtocol(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_GUID, EFI_NOT_FOUND);
  Machine->Handles().FailLocateProtocol(EFI_CPU_IO_PROTOCOL_GUID, EFI_NOT_FOUND);
  RunPhase(EfiPciHostBridgeBeginEnumeration);
  EXPECT_EQ(LocatedRootBridgeIo(), nullptr);
  EXPECT_EQ(LocatedCpuIo(), nullptr);
  RunPhase(EfiPciHostBridgeBeginResourceAllocation);
  RunPhase(EfiPciHostBridgeEndResourceAllocation);
  // Nothing is skipped without a word: each missing service with its status,
  // each skipped step, each I/O APIC left alone.
  std::vector<std::string> Lines;
  for (const DECISION &Each : Machine->Decisions()) {
    char Text[DECISION_LINE_CAPACITY];
    FormatDecisionLine(Each, Text, sizeof(Text));
    Lines.emplace_back(Text);
  }
  for (const char *Expected :
       {"PCIPLAT service not-located - service root-bridge-io status 0x800000000000000e",
        "PCIPLAT service not-located - service cpu-io status 0x800000000000000e",
        "PCIPLAT service step-skipped - service root-bridge-io point begin-allocation",
        "PCIPLAT service step-skipped - service root-bridge-io point end-allocation",
        "PCIPLAT ioapic no-cpu-io - base 0xfec00000 id 8", "PCIPLAT ioapic no-cpu-io - base 0xfec80000 id 9",
        "PCIPLAT ioapic no-cpu-io - base 0xfec90000 id 10"}) {
    EXPECT_NE(std::find(Lines.begin(), Lines.end(), Expected), Lines.end()) << Expected;
  }
}

TEST_F(DriverEntryTest, TheFirstRootBridgeNamedIsKeptForever) {
  LoadDriver();
  const EFI_HANDLE First = Machine->RootBridgeHandle();
  const EFI_HANDLE Second = Machine->Handles().NewHandle();
  const EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_PCI_ADDRESS Address{0, 0, 2, 0, 0};
  EXPECT_EQ(LocatedRootBridgeHandle(), nullptr);
  // Any phase and chipset phase records the handle, not only the dispatching one.
  EXPECT_EQ(PrepController(First, Address, EfiPciBeforeResourceCollection, ChipsetExit), EFI_SUCCESS);
  EXPECT_EQ(LocatedRootBridgeHandle(), First);
  EXPECT_EQ(PrepController(Second, Address, EfiPciBeforeChildBusEnumeration, ChipsetEntry), EFI_SUCCESS);
  EXPECT_EQ(LocatedRootBridgeHandle(), First);
}

TEST_F(DriverEntryTest, ReloadingResetsTheRecordedState) {
  LoadDriver();
  Machine->Variables().Set(u"Setup", published::kSetupVariableGuid, std::vector<UINT8>(published::kSetupSize, 0));
  RunPhase(EfiPciHostBridgeBeginEnumeration);
  (void)PrepController(Machine->RootBridgeHandle(), {}, EfiPciBeforeResourceCollection, ChipsetEntry);
  ASSERT_EQ(SetupData()[published::kSetupEthernetSwitch], 0);
  Machine = nullptr;
  Machine = std::make_unique<sim::Machine>();
  LoadDriver();
  EXPECT_EQ(LocatedRootBridgeHandle(), nullptr);
  EXPECT_EQ(LocatedRootBridgeIo(), nullptr);
  EXPECT_EQ(LocatedCpuIo(), nullptr);
  EXPECT_EQ(SetupData()[published::kSetupEthernetSwitch], published::kSetupNotLoaded);
}

TEST(PciAddressTest, PacksBusDeviceFunctionAndRegister) {
  EXPECT_EQ(PciFunctionAddress(0x12, 0x1F, 7), 0x121F0700ULL);
  EXPECT_EQ(PciRegisterAddress(PciFunctionAddress(1, 2, 3), 0x19), 0x01020319ULL);
  EXPECT_EQ(PciAddressValue({0x34, 2, 0x1C, 0xFF, 0}), 0xFF1C0234ULL);
}

} // namespace
