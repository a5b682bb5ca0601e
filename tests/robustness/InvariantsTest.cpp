// The invariant checkers themselves: each must flag the misbehaviour it is
// there for, or every clean fuzz run and sweep would prove nothing.
#include "checks/Invariants.h"

#include "PciOptionRomSet.h"
#include "pci/PciAddress.h"
#include "published/Published.h"
#include "sim/BoardBuilder.h"

#include <gtest/gtest.h>

namespace {

class InvariantsTest : public ::testing::Test {
protected:
  InvariantsTest() {
    sim::PcieCapabilityConfig Link;
    Cap = *sim::AddPcieEndpoint(Board.Pci(), {0, 3, 0}, Link).PcieCapabilityOffset();
    Owned = sim::RegisterOwnership::Of(Board.Pci());
  }

  // A read-modify-write of one register of 0:3.0, as the driver makes them.
  void Modify(UINT32 Register, UINT8 Width, UINT32 Set, UINT32 Clear = 0) {
    auto *Io = Board.RootBridgeIo();
    const UINT64 Address = PciFunctionAddress(0, 3, 0) + Register;
    const auto IoWidth = Width == 1 ? EfiPciWidthUint8 : EfiPciWidthUint16;
    UINT32 Value = 0;
    ASSERT_EQ(Io->Pci.Read(Io, IoWidth, Address, 1, &Value), EFI_SUCCESS);
    Value = (Value | Set) & ~Clear;
    ASSERT_EQ(Io->Pci.Write(Io, IoWidth, Address, 1, &Value), EFI_SUCCESS);
  }
  void ModifyWindow(UINT32 Register, UINT8 Width, UINT32 Set, UINT32 Clear = 0) {
    const UINT64 Address = 0xE0000000 + 3 * 0x8000 + Register;
    Board.PhysicalWrite(Address, Width, (Board.PhysicalRead(Address, Width) | Set) & ~Clear);
  }

  size_t ConfigViolations(bool AspmDisabled) const {
    return sim::CheckConfigurationWrites(Board.Log(), Owned, AspmDisabled).size();
  }
  size_t WindowViolations(bool AspmDisabled) const {
    return sim::CheckWindowWrites(Board.Log(), Owned, AspmDisabled).size();
  }

  sim::Machine Board;
  UINT8 Cap = 0;
  sim::RegisterOwnership Owned;
};

TEST_F(InvariantsTest, ConfigurationWritesOnlyToOwnedRegistersAndOwnedBits) {
  Modify(Cap + 0x10, 1, 0x42);
  Modify(Cap + 0x08, 2, 0x20, 0xE0);
  EXPECT_EQ(ConfigViolations(false), 0U);
  EXPECT_EQ(ConfigViolations(true), 1U) << "link control while DisableASPM exists";

  struct Case {
    const char *Name;
    int Register;
    UINT8 Width;
    UINT32 Set;
    UINT32 Clear;
  };
  const Case Cases[] = {
      {"a BAR", 0x10, 2, 0x1, 0},
      {"link control as 16 bits", Cap + 0x10, 2, 0x42, 0},
      {"link control bit the driver never sets", Cap + 0x10, 1, 0x01, 0},
      {"link control bit cleared", Cap + 0x10, 1, 0, 0x02},
      {"device control outside the payload field", Cap + 0x08, 2, 0x01, 0},
  };
  for (const Case &Test : Cases) {
    Board.Log().Clear();
    Modify(static_cast<UINT32>(Test.Register), Test.Width, Test.Set, Test.Clear);
    EXPECT_EQ(ConfigViolations(false), 1U) << Test.Name;
  }
  Board.Log().Clear();
  UINT8 Blind = 0x42;
  auto *Io = Board.RootBridgeIo();
  ASSERT_EQ(Io->Pci.Write(Io, EfiPciWidthUint8, PciFunctionAddress(0, 3, 0) + Cap + 0x10, 1, &Blind), EFI_SUCCESS);
  EXPECT_EQ(ConfigViolations(false), 1U) << "a write without reading the register first";
}

TEST_F(InvariantsTest, WindowWritesBracketTheLinkSetupBitAndNothingElse) {
  ModifyWindow(0x174, 1, 0x04);
  ModifyWindow(0x56, 2, 0x1000);
  ModifyWindow(0x174, 1, 0, 0x04);
  EXPECT_EQ(WindowViolations(false), 0U);
  EXPECT_EQ(WindowViolations(true), 3U) << "every window write while DisableASPM exists";

  Board.Log().Clear();
  ModifyWindow(0x174, 1, 0x04);
  EXPECT_EQ(WindowViolations(false), 1U) << "link-setup bit left set";
  Board.Log().Clear();
  ModifyWindow(0x58, 2, 0x1000);
  EXPECT_EQ(WindowViolations(false), 1U) << "a register the driver does not own";
}

TEST_F(InvariantsTest, MemoryWritesOnlyToTheIoApicRegisters) {
  UINT32 Value = 0;
  auto *CpuIo = Board.CpuIo();
  ASSERT_EQ(CpuIo->Mem.Write(CpuIo, EfiCpuIoWidthUint32, 0xFEC00010, 1, &Value), EFI_SUCCESS);
  EXPECT_TRUE(sim::CheckMemoryWrites(Board.Log()).empty());
  ASSERT_EQ(CpuIo->Mem.Write(CpuIo, EfiCpuIoWidthUint32, 0xFEC00020, 1, &Value), EFI_SUCCESS);
  EXPECT_EQ(sim::CheckMemoryWrites(Board.Log()).size(), 1U);
}

TEST_F(InvariantsTest, ABoardThatWouldNeverEndGoesSilentAndIsReported) {
  Board.LimitAccesses(4);
  UINT32 Value = 0;
  auto *Io = Board.RootBridgeIo();
  for (int Access = 0; Access < 4; ++Access) {
    EXPECT_EQ(Io->Pci.Read(Io, EfiPciWidthUint32, PciFunctionAddress(0, 3, 0), 1, &Value), EFI_SUCCESS);
  }
  EXPECT_EQ(Io->Pci.Read(Io, EfiPciWidthUint32, PciFunctionAddress(0, 3, 0), 1, &Value), EFI_DEVICE_ERROR);
  EXPECT_EQ(Board.Faults().size(), 1U);
  EXPECT_EQ(sim::CheckBudget(Board, {4, 0, 0}).size(), 1U);
  EXPECT_TRUE(sim::CheckBudget(Board, {5, 0, 0}).empty());
}

TEST_F(InvariantsTest, RetrainWaitsStayWithinTheStatedBudget) {
  Board.Stall(sim::kRetrainWaitBudgetMicroseconds);
  EXPECT_TRUE(sim::CheckBudget(Board, {0, 1, sim::kRetrainWaitBudgetMicroseconds}).empty());
  Board.Stall(1);
  EXPECT_EQ(sim::CheckBudget(Board, {0, 2, sim::kRetrainWaitBudgetMicroseconds}).size(), 1U);
}

// A link written after a failed read of its link capabilities or link status
// (the child's, or the port's own) is a write derived from a value never read.
TEST_F(InvariantsTest, NoLinkWriteFollowsAFailedReadOfWhatTheLinkQualifiesOn) {
  auto *Io = Board.RootBridgeIo();
  const UINT64 Function = PciFunctionAddress(0, 3, 0);
  UINT32 Value = 0;
  const auto ReadAt = [&](EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_WIDTH Width, UINT32 Register) {
    (void)Io->Pci.Read(Io, Width, Function + Register, 1, &Value);
  };
  ReadAt(EfiPciWidthUint32, Cap + 0x0C);
  ReadAt(EfiPciWidthUint16, Cap + 0x12);
  ReadAt(EfiPciWidthUint16, Cap + 0x12);
  Modify(Cap + 0x10, 1, 0x42);
  Modify(Cap + 0x10, 1, 0x20); // the retrain request
  EXPECT_TRUE(sim::CheckLinkWritesFollowReads(Board.Log(), Owned).empty());
  for (const UINT32 Failing : {Cap + 0x0C, Cap + 0x12}) {
    Board.Log().Clear();
    Board.Pci().FailReads({0, 3, 0}, static_cast<UINT16>(Failing));
    ReadAt(EfiPciWidthUint32, Cap + 0x0C);
    ReadAt(EfiPciWidthUint16, Cap + 0x12);
    ReadAt(EfiPciWidthUint16, Cap + 0x12);
    Modify(Cap + 0x10, 1, 0x42);
    EXPECT_EQ(sim::CheckLinkWritesFollowReads(Board.Log(), Owned).size(), 1U) << Failing;
  }
}

TEST_F(InvariantsTest, PoolMemoryIsFreedOrOwnedAndSetsKeepTheirLayout) {
  auto *Boot = Board.BootServices();
  VOID *Image = nullptr;
  VOID *Stray = nullptr;
  ASSERT_EQ(Boot->AllocatePool(EfiBootServicesData, 32, &Image), EFI_SUCCESS);
  ASSERT_EQ(Boot->AllocatePool(EfiBootServicesData, 8, &Stray), EFI_SUCCESS);
  sim::PoolOwners Owners;
  EXPECT_TRUE(sim::CheckReturnedImages(Board, {{Image, 32}}, &Owners).empty());
  EXPECT_EQ(sim::CheckPoolAccounting(Board, Owners).size(), 1U) << "the stray allocation";
  EXPECT_EQ(sim::CheckReturnedImages(Board, {{Image, 31}}, &Owners).size(), 1U) << "size differs";

  // A set of five images is one more than any set may hold.
  VOID *Set = nullptr;
  VOID *Array = nullptr;
  ASSERT_EQ(Boot->AllocatePool(EfiBootServicesData, sizeof(PCI_OPTION_ROM_SET), &Set), EFI_SUCCESS);
  ASSERT_EQ(Boot->AllocatePool(EfiBootServicesData, 5 * sizeof(PCI_OPTION_ROM_IMAGE), &Array), EFI_SUCCESS);
  *static_cast<PCI_OPTION_ROM_SET *>(Set) = {5, {}, static_cast<PCI_OPTION_ROM_IMAGE *>(Array)};
  EFI_HANDLE Handle = nullptr;
  const EFI_GUID SetGuid = published::kOptionRomSetGuid;
  ASSERT_EQ(Board.Handles().Install(&Handle, SetGuid, Set), EFI_SUCCESS);
  EXPECT_EQ(sim::CheckOptionRomSets(Board, &Owners).size(), 1U);

  ASSERT_EQ(Boot->FreePool(Stray), EFI_SUCCESS);
  EXPECT_EQ(Boot->FreePool(Stray), EFI_INVALID_PARAMETER);
  Owners.insert(Set);
  Owners.insert(Array);
  EXPECT_EQ(sim::CheckPoolAccounting(Board, Owners).size(), 1U) << "the double free";
}

} // namespace
