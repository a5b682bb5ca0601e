// The shipped image as a firmware loader sees it.
#include "PeImage.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class ImageHeaderTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::string Error;
    const auto Bytes = pe::ReadFile(PCIPLAT_IMAGE_PATH, &Error);
    ASSERT_TRUE(Bytes) << Error;
    const auto Parsed = pe::ParseImage(*Bytes, &Error);
    ASSERT_TRUE(Parsed) << PCIPLAT_IMAGE_PATH << ": " << Error;
    Image = *Parsed;
  }
  pe::Image Image{};
};

TEST_F(ImageHeaderTest, IsAnX64BootServiceDriver) {
  EXPECT_EQ(Image.Magic, pe::Image::kMagicPe32Plus);
  EXPECT_EQ(Image.Machine, pe::Image::kMachineX64);
  EXPECT_EQ(Image.Subsystem, pe::Image::kSubsystemEfiBootServiceDriver);
}

TEST_F(ImageHeaderTest, EntersAtPciPlatformDriverEntry) {
  const auto Rva = pe::SymbolRvaFromMap(PCIPLAT_IMAGE_MAP_PATH, "PciPlatformDriverEntry", Image.ImageBase);
  ASSERT_TRUE(Rva) << "PciPlatformDriverEntry is not in " << PCIPLAT_IMAGE_MAP_PATH;
  EXPECT_EQ(Image.AddressOfEntryPoint, *Rva);
}

TEST_F(ImageHeaderTest, IsRelocatableAndSelfContained) {
  EXPECT_GT(Image.Directory(pe::Image::kDirectoryBaseRelocation).Size, 0U);
  EXPECT_EQ(Image.Directory(pe::Image::kDirectoryImport).Size, 0U);
  EXPECT_EQ(Image.Directory(pe::Image::kDirectoryTls).Size, 0U);
}

TEST_F(ImageHeaderTest, CarriesNoCRuntimeSections) {
  // Static constructors would land in .CRT sections that nothing runs.
  for (const auto &Section : Image.Sections) {
    EXPECT_NE(Section.Name.rfind(".CRT", 0), 0U) << Section.Name;
    EXPECT_NE(Section.Name.rfind(".tls", 0), 0U) << Section.Name;
    EXPECT_NE(Section.Name.rfind(".idata", 0), 0U) << Section.Name;
  }
}

} // namespace
