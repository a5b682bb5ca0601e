// The public PCI_OPTION_ROM_SET header: the GUID its C initializer produces
// and the layout a C reader sees.
#include "PciOptionRomSet.h"

#include "oprom/OptionRom.h"
#include "published/Published.h"
#include "sim/Guid.h"

#include <gtest/gtest.h>

#include <cstring>

extern "C" {
extern const EFI_GUID PciOptionRomSetGuidFromC;
void FillOptionRomSetFromC(PCI_OPTION_ROM_SET *Set, PCI_OPTION_ROM_IMAGE *Images, UINT8 Count);
}

namespace {

TEST(PciOptionRomSetTest, TheGuidIsTheSameInCAndCpp) {
  EXPECT_EQ(sim::FormatGuid(PciOptionRomSetGuidFromC), "0A048148-4B78-4BDC-960B-49B70C287078");
  EXPECT_EQ(PciOptionRomSetGuidFromC, published::kOptionRomSetGuid);
}

TEST(PciOptionRomSetTest, ARecordFilledInCReadsTheSameInCpp) {
  PCI_OPTION_ROM_IMAGE Images[PCI_OPTION_ROM_SET_MAX_IMAGES];
  PCI_OPTION_ROM_SET Set;
  std::memset(&Set, 0, sizeof(Set));
  FillOptionRomSetFromC(&Set, Images, 3);
  UINT8 Raw[sizeof(Set)];
  std::memcpy(Raw, &Set, sizeof(Set));
  EXPECT_EQ(Raw[0], 3);
  for (size_t Index = 1; Index < 8; ++Index) {
    EXPECT_EQ(Raw[Index], 0);
  }
  UINT64 ImagesAddress = 0;
  std::memcpy(&ImagesAddress, Raw + 8, sizeof(ImagesAddress));
  EXPECT_EQ(ImagesAddress, reinterpret_cast<UINT64>(Images));
  EXPECT_EQ(Images[2].Size, 0x600U);
  EXPECT_EQ(Images[2].Image, &Images[2]);
}

} // namespace
