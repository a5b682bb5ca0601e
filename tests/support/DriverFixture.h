// A fixture that gives every test a fresh machine with the driver loaded into
// it, and helpers to call the driver the way the PCI bus driver does. Every
// test ends by checking that the model saw no misuse (pool faults, stray
// physical accesses).
#pragma once

#include "driver/Driver.h"
#include "sim/Machine.h"

#include <gtest/gtest.h>

#include <memory>

class DriverFixture : public ::testing::Test {
protected:
  void SetUp() override { Machine = std::make_unique<sim::Machine>(); }

  void TearDown() override {
    if (Machine) {
      EXPECT_TRUE(Machine->Faults().empty()) << "first fault: " << Machine->Faults().front();
    }
  }

  // Loads the driver and fails the test when it does not install.
  EFI_PCI_PLATFORM_PROTOCOL *LoadDriver() {
    EXPECT_EQ(Machine->LoadDriver(), EFI_SUCCESS);
    Platform = Machine->PciPlatform();
    EXPECT_NE(Platform, nullptr);
    return Platform;
  }

  EFI_STATUS Notify(EFI_PCI_HOST_BRIDGE_RESOURCE_ALLOCATION_PHASE Phase, EFI_PCI_EXECUTION_PHASE ChipsetPhase) {
    return Platform->PlatformNotify(Platform, Machine->HostBridgeHandle(), Phase, ChipsetPhase);
  }

  // Entry then exit, as the bus driver brackets every phase.
  void RunPhase(EFI_PCI_HOST_BRIDGE_RESOURCE_ALLOCATION_PHASE Phase) {
    EXPECT_EQ(Notify(Phase, ChipsetEntry), EFI_SUCCESS);
    EXPECT_EQ(Notify(Phase, ChipsetExit), EFI_SUCCESS);
  }

  EFI_STATUS PrepController(EFI_HANDLE RootBridge, EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_PCI_ADDRESS Address,
                            EFI_PCI_CONTROLLER_RESOURCE_ALLOCATION_PHASE Phase, EFI_PCI_EXECUTION_PHASE ChipsetPhase) {
    return Platform->PlatformPrepController(Platform, Machine->HostBridgeHandle(), RootBridge, Address, Phase,
                                            ChipsetPhase);
  }

  std::unique_ptr<sim::Machine> Machine;
  EFI_PCI_PLATFORM_PROTOCOL *Platform = nullptr;
};
