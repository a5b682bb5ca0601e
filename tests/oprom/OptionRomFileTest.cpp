// The firmware-volume search for one option ROM file: volume order, the stop
// at a volume that cannot be reached, and the handle array released on every
// path (the fixture's pool accounting finds any array left behind).
#include "OptionRomTestSupport.h"

#include <optional>

namespace {

using namespace oprom_test;

class OptionRomFileTest : public OptionRomFixture {};

constexpr EFI_GUID kFile = {0x1B2C3D4E, 0x5F60, 0x4172, {0x83, 0x94, 0xA5, 0xB6, 0xC7, 0xD8, 0xE9, 0xFA}};

// What each of three volumes holds or does, in the order the firmware lists them.
enum class Volume { Empty, HoldsFile, Unreachable };

struct SearchCase {
  const char *Name;
  std::vector<Volume> Volumes;
  EFI_STATUS Status;
  std::optional<size_t> ServedBy;
  size_t VolumesAsked; // ReadSection calls, over all volumes
};

class ReadOptionRomFileTest : public OptionRomFixture, public ::testing::WithParamInterface<SearchCase> {
protected:
  // Each volume's copy of the file tells which volume it came from.
  static std::vector<UINT8> CopyIn(size_t VolumeIndex) { return std::vector<UINT8>(32 + VolumeIndex, 0x10); }
};

TEST_P(ReadOptionRomFileTest, SearchesTheVolumesInOrder) {
  const SearchCase &Case = GetParam();
  std::vector<sim::FirmwareVolume *> Volumes;
  for (size_t Index = 0; Index < Case.Volumes.size(); ++Index) {
    auto &Added = Machine->AddFirmwareVolume();
    Added.AddRawFile(published::kOptionRomRows[0].File, {1, 2, 3});
    if (Case.Volumes[Index] == Volume::HoldsFile) {
      Added.AddRawFile(kFile, CopyIn(Index));
    } else if (Case.Volumes[Index] == Volume::Unreachable) {
      Added.FailInterfaceLookup(EFI_UNSUPPORTED);
    }
    Volumes.push_back(&Added);
  }

  VOID *Buffer = nullptr;
  UINTN Size = 0;
  EXPECT_EQ(ReadOptionRomFile(kFile, &Buffer, &Size), Case.Status);
  size_t Asked = 0;
  for (const auto *Searched : Volumes) {
    Asked += Searched->SectionReads().size();
  }
  EXPECT_EQ(Asked, Case.VolumesAsked);
  if (Case.ServedBy) {
    ASSERT_NE(Buffer, nullptr);
    CallerOwned.insert(Buffer);
    const auto *Bytes = static_cast<const UINT8 *>(Buffer);
    EXPECT_EQ(std::vector<UINT8>(Bytes, Bytes + Size), CopyIn(*Case.ServedBy));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Volumes, ReadOptionRomFileTest,
    ::testing::Values(
        SearchCase{"NoVolumes", {}, EFI_NOT_FOUND, std::nullopt, 0},
        SearchCase{"OnlyInTheLast", {Volume::Empty, Volume::Empty, Volume::HoldsFile}, EFI_SUCCESS, 2, 3},
        SearchCase{"FirstCopyWins", {Volume::HoldsFile, Volume::HoldsFile, Volume::Empty}, EFI_SUCCESS, 0, 1},
        SearchCase{"InNoVolume", {Volume::Empty, Volume::Empty, Volume::Empty}, EFI_NOT_FOUND, std::nullopt, 3},
        SearchCase{"StopsAtAnUnreachableVolume",
                   {Volume::Empty, Volume::Unreachable, Volume::HoldsFile},
                   EFI_LOAD_ERROR,
                   std::nullopt,
                   1},
        SearchCase{"FoundBeforeTheUnreachableVolume",
                   {Volume::HoldsFile, Volume::Unreachable, Volume::Empty},
                   EFI_SUCCESS,
                   0,
                   1}),
    [](const ::testing::TestParamInfo<SearchCase> &Info) { return Info.param.Name; });

TEST_F(OptionRomFileTest, AFailedVolumeListingIsNotFound) {
  Machine->AddFirmwareVolume().AddRawFile(kFile, {1});
  Machine->Handles().FailLocateHandleBuffer(EFI_OUT_OF_RESOURCES);
  VOID *Buffer = nullptr;
  UINTN Size = 0;
  EXPECT_EQ(ReadOptionRomFile(kFile, &Buffer, &Size), EFI_NOT_FOUND);
}

// A volume that cannot allocate the copy does not end the search.
TEST_F(OptionRomFileTest, AVolumeOutOfPoolIsPassedOver) {
  Machine->AddFirmwareVolume().AddRawFile(kFile, {1});
  Machine->AddFirmwareVolume().AddRawFile(kFile, {2, 2});
  Machine->Memory().FailAllocation(2); // 1: the volume list, 2: the first volume's copy
  VOID *Buffer = nullptr;
  UINTN Size = 0;
  ASSERT_EQ(ReadOptionRomFile(kFile, &Buffer, &Size), EFI_SUCCESS);
  CallerOwned.insert(Buffer);
  EXPECT_EQ(Size, 2U);
}

} // namespace
