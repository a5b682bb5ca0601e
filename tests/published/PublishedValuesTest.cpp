// The published values the checks expect, against the registry form in which
// the specifications and the interfaces' owners publish them: a typing error
// in published/ must not go unnoticed either.
#include "published/PciLayout.h"
#include "published/Published.h"
#include "sim/Guid.h"

#include <gtest/gtest.h>

#include <iterator>

namespace {

TEST(PublishedValuesTest, GuidsReadAsPublished) {
  EXPECT_EQ(sim::FormatGuid(published::kSetupVariableGuid), "EC87D643-EBA4-4BB5-A1E5-3F3E36B20DA9");
  EXPECT_EQ(sim::FormatGuid(published::kDisableAspmGuid), "7C436110-AB2A-4BBB-A880-FE41995C9F82");
  EXPECT_EQ(sim::FormatGuid(published::kOptionRomSetGuid), "0A048148-4B78-4BDC-960B-49B70C287078");
  EXPECT_EQ(sim::FormatGuid(published::kConfigBlockProtocolGuid), "AA81D9C8-F05D-4857-8E66-5497C8ABB0AD");
}

TEST(PublishedValuesTest, OptionRomRowsReadAsPublished) {
  const char *const Files[] = {
      "8DFAE5D4-B50E-4C10-96E6-F2C266CACBB6", "C5677467-7C65-49FD-8226-AC3174419D1B",
      "52A0547A-9ED6-4F7C-9C1F-40911E1CB025", "52A0547A-9ED6-4F7C-9C1F-40911E1CB025",
      "E8441378-54D5-4D9D-B238-82343E6BA581", "6F2BC426-8D83-4F17-BE2C-6B1FCBD14C80",
      "6F2BC426-8D83-4F17-BE2C-6B1FCBD14C80",
  };
  ASSERT_EQ(std::size(published::kOptionRomRows), std::size(Files));
  for (size_t Row = 0; Row < std::size(Files); ++Row) {
    EXPECT_EQ(sim::FormatGuid(published::kOptionRomRows[Row].File), Files[Row]) << "row " << Row;
  }
}

TEST(PublishedValuesTest, IoApicsAndWindowRegistersReadAsPublished) {
  ASSERT_EQ(std::size(published::kIoApics), 3U);
  EXPECT_EQ(published::kIoApics[0].Base, 0xFEC00000U);
  EXPECT_EQ(published::kIoApics[0].Id, 8);
  EXPECT_EQ(published::kIoApics[1].Base, 0xFEC80000U);
  EXPECT_EQ(published::kIoApics[1].Id, 9);
  EXPECT_EQ(published::kIoApics[2].Base, published::kThirdIoApicBase);
  EXPECT_EQ(published::kIoApics[2].Id, 10);
  EXPECT_EQ(published::kWindowLinkSetupRegister, 0x174U);
  EXPECT_EQ(published::kWindowLinkSetupActive, 1U << 2);
  EXPECT_EQ(published::kWindowPortControlRegister, 0x56U);
  EXPECT_EQ(published::kWindowPortControlBit, 1U << 12);
  // The PCI Express capability registers, each where the PCI Express Base Specification puts it.
  EXPECT_EQ(published::layout::PCIE_LINK_CONTROL_OFFSET, published::kPcieLinkControlOffset);
  EXPECT_EQ(published::layout::PCIE_DEVICE_CONTROL_OFFSET, published::kPcieDeviceControlOffset);
  EXPECT_EQ(published::layout::PCIE_LINK_STATUS_OFFSET, published::kPcieLinkStatusOffset);
}

} // namespace
