// Driver entry, installed interfaces and the phase dispatch.
#include "support/DriverFixture.h"

#include "pci/PciAddress.h"

namespace {

class DriverEntryTest : public DriverFixture {};

TEST_F(DriverEntryTest, InstallsThePlatformProtocolOnANewHandle) {
  ASSERT_EQ(Machine->LoadDriver(), EFI_SUCCESS);
  ASSERT_NE(mDriverHandle, nullptr);
  EXPECT_NE(mDriverHandle, Machine->DriverImageHandle());
  auto *Installed =
      static_cast<EFI_PCI_PLATFORM_PROTOCOL *>(Machine->Handles().Find(mDriverHandle, EFI_PCI_PLATFORM_PROTOCOL_GUID));
  ASSERT_EQ(Installed, &mPciPlatform);
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
  EXPECT_EQ(mSetupData[SETUP_ETHERNET_OPROM_OFFSET], SETUP_DATA_NOT_LOADED);
  EXPECT_EQ(Machine->Variables().ReadCount(u"Setup"), 0U);
  for (UINTN Index = 0; Index < SETUP_DATA_SIZE; ++Index) {
    if (Index != SETUP_ETHERNET_OPROM_OFFSET) {
      ASSERT_EQ(mSetupData[Index], 0) << "byte " << Index;
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
  EXPECT_EQ(mRootBridgeIo, Machine->RootBridgeIo());
  EXPECT_EQ(mCpuIo, Machine->CpuIo());
}

TEST_F(DriverEntryTest, EveryChipsetEntryNotificationDoesNothing) {
  LoadDriver();
  for (UINT32 Phase = EfiPciHostBridgeBeginEnumeration; Phase <= EfiPciHostBridgeEndEnumeration; ++Phase) {
    EXPECT_EQ(Notify(static_cast<EFI_PCI_HOST_BRIDGE_RESOURCE_ALLOCATION_PHASE>(Phase), ChipsetEntry), EFI_SUCCESS);
  }
  EXPECT_EQ(mRootBridgeIo, nullptr);
  EXPECT_EQ(mCpuIo, nullptr);
  EXPECT_TRUE(Machine->Log().All().empty());
}

TEST_F(DriverEntryTest, PhasesWithoutWorkTouchNothingOnExit) {
  LoadDriver();
  for (auto Phase :
       {EfiPciHostBridgeBeginBusAllocation, EfiPciHostBridgeEndBusAllocation, EfiPciHostBridgeAllocateResources,
        EfiPciHostBridgeSetResources, EfiPciHostBridgeFreeResources, EfiPciHostBridgeEndEnumeration}) {
    EXPECT_EQ(Notify(Phase, ChipsetExit), EFI_SUCCESS);
  }
  EXPECT_EQ(mRootBridgeIo, nullptr);
  EXPECT_TRUE(Machine->Log().All().empty());
}

TEST_F(DriverEntryTest, AFailedLocateLeavesThatServiceNull) {
  LoadDriver();
  RunPhase(EfiPciHostBridgeBeginEnumeration);
  ASSERT_NE(mRootBridgeIo, nullptr);
  Machine->Handles().FailLocateProtocol(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_GUID, EFI_NOT_FOUND);
  Machine->Handles().FailLocateProtocol(EFI_CPU_IO_PROTOCOL_GUID, EFI_NOT_FOUND);
  RunPhase(EfiPciHostBridgeBeginEnumeration);
  EXPECT_EQ(mRootBridgeIo, nullptr);
  EXPECT_EQ(mCpuIo, nullptr);
  RunPhase(EfiPciHostBridgeBeginResourceAllocation);
  RunPhase(EfiPciHostBridgeEndResourceAllocation);
}

TEST_F(DriverEntryTest, TheFirstRootBridgeNamedIsKeptForever) {
  LoadDriver();
  const EFI_HANDLE First = Machine->RootBridgeHandle();
  const EFI_HANDLE Second = Machine->Handles().NewHandle();
  const EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_PCI_ADDRESS Address{0, 0, 2, 0, 0};
  EXPECT_EQ(mRootBridgeHandle, nullptr);
  // Any phase and chipset phase records the handle, not only the dispatching one.
  EXPECT_EQ(PrepController(First, Address, EfiPciBeforeResourceCollection, ChipsetExit), EFI_SUCCESS);
  EXPECT_EQ(mRootBridgeHandle, First);
  EXPECT_EQ(PrepController(Second, Address, EfiPciBeforeChildBusEnumeration, ChipsetEntry), EFI_SUCCESS);
  EXPECT_EQ(mRootBridgeHandle, First);
}

TEST_F(DriverEntryTest, ReloadingResetsTheRecordedState) {
  LoadDriver();
  RunPhase(EfiPciHostBridgeBeginEnumeration);
  (void)PrepController(Machine->RootBridgeHandle(), {}, EfiPciBeforeResourceCollection, ChipsetEntry);
  mSetupData[SETUP_ETHERNET_OPROM_OFFSET] = 0;
  Machine = nullptr;
  Machine = std::make_unique<sim::Machine>();
  LoadDriver();
  EXPECT_EQ(mRootBridgeHandle, nullptr);
  EXPECT_EQ(mRootBridgeIo, nullptr);
  EXPECT_EQ(mCpuIo, nullptr);
  EXPECT_EQ(mSetupData[SETUP_ETHERNET_OPROM_OFFSET], SETUP_DATA_NOT_LOADED);
}

TEST(PciAddressTest, PacksBusDeviceFunctionAndRegister) {
  EXPECT_EQ(PciFunctionAddress(0x12, 0x1F, 7), 0x121F0700ULL);
  EXPECT_EQ(PciRegisterAddress(PciFunctionAddress(1, 2, 3), 0x19), 0x01020319ULL);
  EXPECT_EQ(PciAddressValue({0x34, 2, 0x1C, 0xFF, 0}), 0xFF1C0234ULL);
}

} // namespace
