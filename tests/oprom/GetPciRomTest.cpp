// GetPciRom: matching onboard devices against the table, the images returned
// and published in a PCI_OPTION_ROM_SET, the Ethernet switch of Setup, and
// who owns every buffer afterwards.
#include "OptionRomTestSupport.h"
#include "platform/SetupData.h"
#include "support/Published.h"

#include <algorithm>
#include <iterator>
#include <optional>
#include <string>

namespace {

using namespace oprom_test;

class GetPciRomTest : public OptionRomFixture {
protected:
  void SetUp() override {
    OptionRomFixture::SetUp();
    Volume = &AddFullVolume();
  }

  sim::FirmwareVolume *Volume = nullptr;
};

TEST_F(GetPciRomTest, TwoRowsReturnTheSecondImageAndPublishBoth) {
  auto &Device = AddDevice({0, 31, 2}, 0x8086, 0x2682);
  const RomReply Reply = Request(Device.Handle());
  ASSERT_EQ(Reply.Status, EFI_SUCCESS);
  EXPECT_EQ(Reply.Bytes(), RowContents(kRowSecond2682));

  const PCI_OPTION_ROM_SET *Set = InstalledSet(Device.Handle());
  ASSERT_NE(Set, nullptr);
  EXPECT_EQ(Set->Count, 2);
  for (UINT8 Reserved : Set->Reserved) {
    EXPECT_EQ(Reserved, 0);
  }
  const PCI_OPTION_ROM_IMAGE &First = Set->Images[0];
  const auto *FirstBytes = static_cast<const UINT8 *>(First.Image);
  EXPECT_EQ(std::vector<UINT8>(FirstBytes, FirstBytes + First.Size), RowContents(kRowFirst2682));
  EXPECT_EQ(Set->Images[1].Image, Reply.Image);
  EXPECT_EQ(Set->Images[1].Size, Reply.Size);
  EXPECT_EQ(Machine->Memory().LiveAllocations().at(const_cast<PCI_OPTION_ROM_SET *>(Set)).Type, EfiBootServicesData);
  EXPECT_EQ(Machine->Memory().LiveAllocations().at(Set->Images).Size, 2 * sizeof(PCI_OPTION_ROM_IMAGE));
}

TEST_F(GetPciRomTest, OneRowReturnsItsImageWithoutASet) {
  auto &Device = AddDevice({0, 31, 2}, 0x8086, 0x2681);
  const RomReply Reply = Request(Device.Handle());
  ASSERT_EQ(Reply.Status, EFI_SUCCESS);
  EXPECT_EQ(Reply.Bytes(), RowContents(kRowIde2681));
  EXPECT_EQ(InstalledSet(Device.Handle()), nullptr);
}

TEST_F(GetPciRomTest, IdenticalRowsReadTheFileTwiceIntoTwoBuffers) {
  auto &Device = AddDevice({5, 0, 0}, 0x8086, 0x1096, kEthernetClass);
  const RomReply Reply = Request(Device.Handle());
  ASSERT_EQ(Reply.Status, EFI_SUCCESS);
  EXPECT_EQ(Volume->SectionReads(), (std::vector<EFI_GUID>{published::kOptionRomRows[kRowFirst1096].File,
                                                           published::kOptionRomRows[kRowSecond1096].File}));
  const PCI_OPTION_ROM_SET *Set = InstalledSet(Device.Handle());
  ASSERT_NE(Set, nullptr);
  ASSERT_EQ(Set->Count, 2);
  EXPECT_NE(Set->Images[0].Image, Set->Images[1].Image);
  EXPECT_EQ(Set->Images[1].Image, Reply.Image);
  EXPECT_EQ(Set->Images[0].Size, Set->Images[1].Size);
}

// Which devices the table serves: only vendor, device ID, device and function
// count; segment and bus never do.
struct MatchCase {
  const char *Name;
  sim::Bdf Where;
  UINT32 Segment;
  UINT16 VendorId;
  UINT16 DeviceId;
  std::optional<size_t> ServedRow;
};

class TableMatchTest : public GetPciRomTest, public ::testing::WithParamInterface<MatchCase> {};

TEST_P(TableMatchTest, ServesExactlyTheRowsOfTheDevice) {
  const MatchCase &Case = GetParam();
  auto &Device = AddDevice(Case.Where, Case.VendorId, Case.DeviceId, kDisplayClass, Case.Segment);
  const RomReply Reply = Request(Device.Handle());
  if (!Case.ServedRow) {
    EXPECT_EQ(Reply.Status, EFI_NOT_FOUND);
    EXPECT_TRUE(Volume->SectionReads().empty());
    return;
  }
  ASSERT_EQ(Reply.Status, EFI_SUCCESS);
  EXPECT_EQ(Reply.Bytes(), RowContents(*Case.ServedRow));
  EXPECT_EQ(Reply.Size, RowContents(*Case.ServedRow).size());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, TableMatchTest,
    ::testing::Values(MatchCase{"Row0AtItsPlace", {0, 2, 0}, 0, 0x1002, 0x515E, kRowDisplay},
                      MatchCase{"Row0OnAnotherBus", {3, 2, 0}, 0, 0x1002, 0x515E, kRowDisplay},
                      MatchCase{"Row0AtAnotherDevice", {0, 3, 0}, 0, 0x1002, 0x515E, std::nullopt},
                      MatchCase{"Row1OnItsBus", {2, 0, 0}, 0, 0x1002, 0x7249, kRowAnyBusDisplay},
                      MatchCase{"Row1OnBus0", {0, 0, 0}, 0, 0x1002, 0x7249, kRowAnyBusDisplay},
                      MatchCase{"Row1OnBus255", {255, 0, 0}, 0, 0x1002, 0x7249, kRowAnyBusDisplay},
                      MatchCase{"Row1InAnotherSegment", {2, 0, 0}, 3, 0x1002, 0x7249, kRowAnyBusDisplay},
                      MatchCase{"Row1AtFunction1", {2, 0, 1}, 0, 0x1002, 0x7249, std::nullopt},
                      MatchCase{"Row2AtAnotherFunction", {0, 31, 3}, 0, 0x8086, 0x2681, std::nullopt},
                      MatchCase{"OtherVendorSameDevice", {0, 31, 2}, 0, 0x8087, 0x2681, std::nullopt},
                      MatchCase{"UnknownDevice", {0, 4, 0}, 0, 0x10EC, 0x8168, std::nullopt},
                      MatchCase{"EndRowIdsMatchNothing", {0, 0, 0}, 0, 0xFFFF, 0xFFFF, std::nullopt}),
    [](const ::testing::TestParamInfo<MatchCase> &Info) { return Info.param.Name; });

TEST_F(GetPciRomTest, AFileInNoVolumeIsPassedOver) {
  auto Lone = AddDevice({0, 2, 0}, 0x1002, 0x515E).Handle();
  auto Pair = AddDevice({0, 31, 2}, 0x8086, 0x2682).Handle();
  Machine->Handles().Uninstall(Volume->Handle(), EFI_FIRMWARE_VOLUME_PROTOCOL_GUID, Volume->Protocol());
  auto &Partial = Machine->AddFirmwareVolume();
  Partial.AddRawFile(published::kOptionRomRows[kRowFirst2682].File, RowContents(kRowFirst2682));

  EXPECT_EQ(Request(Lone).Status, EFI_NOT_FOUND);
  // Of two rows only the first file exists: its image is returned alone.
  const RomReply Reply = Request(Pair);
  ASSERT_EQ(Reply.Status, EFI_SUCCESS);
  EXPECT_EQ(Reply.Bytes(), RowContents(kRowFirst2682));
  EXPECT_EQ(InstalledSet(Pair), nullptr);
}

// A volume whose ReadSection succeeds without an image (a null buffer, or
// no bytes) does not hold the file: the search goes on, and a buffer it
// allocated is given back.
TEST_F(GetPciRomTest, ASectionReadWithoutAnImageCountsAsAMissingFile) {
  for (const bool Null : {true, false}) {
    SCOPED_TRACE(Null ? "null buffer" : "zero bytes");
    Machine = nullptr;
    Machine = std::make_unique<sim::Machine>();
    CallerOwned.clear();
    auto &Faulty = Machine->AddFirmwareVolume();
    const EFI_GUID &File = mOptionRomTable[kRowAnyBusDisplay].FileGuid;
    if (Null) {
      Faulty.AddFileWithoutImage(File, 4096);
    } else {
      Faulty.AddRawFile(File, {});
    }
    LoadDriver();
    auto &Device = AddDevice({2, 0, 0}, 0x1002, 0x7249);
    EXPECT_EQ(Request(Device.Handle()).Status, EFI_NOT_FOUND);
    ExpectEveryAllocationOwned();
    // A later volume that holds it serves it.
    Machine->AddFirmwareVolume().AddRawFile(File, RowContents(kRowAnyBusDisplay));
    const RomReply Reply = Request(Device.Handle());
    ASSERT_EQ(Reply.Status, EFI_SUCCESS);
    ASSERT_NE(Reply.Image, nullptr);
    EXPECT_EQ(Reply.Bytes(), RowContents(kRowAnyBusDisplay));
    ExpectEveryAllocationOwned();
  }
}

TEST_F(GetPciRomTest, AVolumeThatCannotBeReachedCountsAsAMissingFile) {
  auto &Device = AddDevice({0, 2, 0}, 0x1002, 0x515E);
  Volume->FailInterfaceLookup(EFI_ACCESS_DENIED);
  EXPECT_EQ(Request(Device.Handle()).Status, EFI_NOT_FOUND);
  EXPECT_TRUE(Volume->SectionReads().empty());
}

TEST_F(GetPciRomTest, ASecondRequestReturnsAFreshImageAndKeepsTheFirstSet) {
  const EFI_HANDLE Handle = AddDevice({0, 31, 2}, 0x8086, 0x2682).Handle();
  const RomReply First = Request(Handle);
  ASSERT_EQ(First.Status, EFI_SUCCESS);
  const PCI_OPTION_ROM_SET *Set = InstalledSet(Handle);
  ASSERT_NE(Set, nullptr);
  const PCI_OPTION_ROM_SET Before = *Set;
  const PCI_OPTION_ROM_IMAGE EntriesBefore[2] = {Set->Images[0], Set->Images[1]};

  const RomReply Second = Request(Handle);
  ASSERT_EQ(Second.Status, EFI_SUCCESS);
  EXPECT_NE(Second.Image, First.Image);
  EXPECT_EQ(Second.Bytes(), First.Bytes());
  EXPECT_EQ(InstalledSet(Handle), Set);
  EXPECT_EQ(Set->Count, Before.Count);
  EXPECT_EQ(Set->Images, Before.Images);
  for (size_t Index = 0; Index < 2; ++Index) {
    EXPECT_EQ(Set->Images[Index].Image, EntriesBefore[Index].Image);
    EXPECT_EQ(Set->Images[Index].Size, EntriesBefore[Index].Size);
  }
  // The second request's first image went to nobody: the fixture checks it
  // was released and that nothing the set holds was.
}

// Null output pointers are refused before anything is looked up, read or
// allocated.
TEST_F(GetPciRomTest, NullOutputsAreRefusedBeforeAnyWork) {
  auto &Device = AddDevice({0, 31, 2}, 0x8086, 0x2682);
  VOID *Image = nullptr;
  UINTN Size = 0;
  const size_t RequestsBefore = Machine->Memory().AllocationRequests();
  EXPECT_EQ(Platform->GetPciRom(Platform, Device.Handle(), nullptr, &Size), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Platform->GetPciRom(Platform, Device.Handle(), &Image, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Platform->GetPciRom(Platform, Device.Handle(), nullptr, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Machine->Memory().AllocationRequests(), RequestsBefore);
  EXPECT_EQ(Machine->Variables().ReadCount(u"Setup"), 0U);
  EXPECT_EQ(Device.GetLocationCalls(), 0U);
  EXPECT_EQ(Device.ConfigReads(), 0U);
  EXPECT_TRUE(Volume->SectionReads().empty());
  EXPECT_EQ(InstalledSet(Device.Handle()), nullptr);
  EXPECT_EQ(SetupData()[published::kSetupEthernetSwitch], published::kSetupNotLoaded);
}

TEST_F(GetPciRomTest, AHandleWithoutPciIoIsNotFoundAndReadsNoSetup) {
  EXPECT_EQ(Request(Machine->Handles().NewHandle()).Status, EFI_NOT_FOUND);
  EXPECT_EQ(Machine->Variables().ReadCount(u"Setup"), 0U);
}

// Any failure to learn where the device is or what it is ends the request at
// once; reads go in the order location, class, vendor, device.
enum class Failing { Location, ClassWord, VendorId, DeviceId };
struct IdentityFailureCase {
  const char *Name;
  Failing What;
  size_t ConfigReadsMade;
};

class IdentityFailureTest : public GetPciRomTest, public ::testing::WithParamInterface<IdentityFailureCase> {};

TEST_P(IdentityFailureTest, EndsTheRequestWithNotFound) {
  const IdentityFailureCase &Case = GetParam();
  auto &Device = AddDevice({0, 31, 2}, 0x8086, 0x2682);
  switch (Case.What) {
  case Failing::Location:
    Device.FailGetLocation(EFI_DEVICE_ERROR);
    break;
  case Failing::ClassWord:
    Device.FailConfigRead(0x0A, EFI_DEVICE_ERROR);
    break;
  case Failing::VendorId:
    Device.FailConfigRead(0x00, EFI_DEVICE_ERROR);
    break;
  case Failing::DeviceId:
    Device.FailConfigRead(0x02, EFI_DEVICE_ERROR);
    break;
  }
  EXPECT_EQ(Request(Device.Handle()).Status, EFI_NOT_FOUND);
  EXPECT_EQ(Device.ConfigReads(), Case.ConfigReadsMade);
  EXPECT_TRUE(Volume->SectionReads().empty());
  EXPECT_EQ(InstalledSet(Device.Handle()), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Reads, IdentityFailureTest,
                         ::testing::Values(IdentityFailureCase{"GetLocation", Failing::Location, 0},
                                           IdentityFailureCase{"ClassWord", Failing::ClassWord, 1},
                                           IdentityFailureCase{"VendorId", Failing::VendorId, 2},
                                           IdentityFailureCase{"DeviceId", Failing::DeviceId, 3}),
                         [](const ::testing::TestParamInfo<IdentityFailureCase> &Info) { return Info.param.Name; });

// --- Allocation and installation failures on the way to a set ----------------

// A request for 8086:2682 allocates, in order: the volume list and the image
// for row 3, the volume list and the image for row 4, the set, its array.
constexpr size_t kSetPathAllocations = 6;

struct SetPathFailure {
  const char *Name;
  size_t FailingAllocation; // 0: none
  bool FailInstall;
  size_t ReturnedRow;
  bool SetInstalled;
};

class SetPathFailureTest : public GetPciRomTest, public ::testing::WithParamInterface<SetPathFailure> {};

TEST_P(SetPathFailureTest, StillReturnsAnImageAndLeavesNothingBehind) {
  const SetPathFailure &Case = GetParam();
  const EFI_HANDLE Handle = AddDevice({0, 31, 2}, 0x8086, 0x2682).Handle();
  const size_t RequestsBefore = Machine->Memory().AllocationRequests();
  Machine->Memory().FailAllocation(Case.FailingAllocation);
  if (Case.FailInstall) {
    Machine->Handles().FailInstall(published::kOptionRomSetGuid, EFI_OUT_OF_RESOURCES);
  }
  const RomReply Reply = Request(Handle);
  ASSERT_EQ(Reply.Status, EFI_SUCCESS);
  EXPECT_EQ(Reply.Bytes(), RowContents(Case.ReturnedRow));
  EXPECT_EQ(InstalledSet(Handle) != nullptr, Case.SetInstalled);
  if (Case.SetInstalled) {
    EXPECT_EQ(Machine->Memory().AllocationRequests() - RequestsBefore, kSetPathAllocations);
  }
  const bool Injected = Case.FailingAllocation >= 1 && Case.FailingAllocation <= kSetPathAllocations;
  EXPECT_EQ(Machine->Memory().FailedAllocations(), Injected ? 1U : 0U);
}

INSTANTIATE_TEST_SUITE_P(Allocations, SetPathFailureTest,
                         ::testing::Values(SetPathFailure{"FirstVolumeList", 1, false, kRowSecond2682, false},
                                           SetPathFailure{"FirstImage", 2, false, kRowSecond2682, false},
                                           SetPathFailure{"SecondVolumeList", 3, false, kRowFirst2682, false},
                                           SetPathFailure{"SecondImage", 4, false, kRowFirst2682, false},
                                           SetPathFailure{"SetRecord", 5, false, kRowSecond2682, false},
                                           SetPathFailure{"SetArray", 6, false, kRowSecond2682, false},
                                           SetPathFailure{"Installation", 0, true, kRowSecond2682, false},
                                           SetPathFailure{"Nothing", 7, false, kRowSecond2682, true}),
                         [](const ::testing::TestParamInfo<SetPathFailure> &Info) { return Info.param.Name; });

// --- The Ethernet switch of Setup --------------------------------------------

class EthernetSwitchTest : public OptionRomFixture {
protected:
  void SetUp() override {
    OptionRomFixture::SetUp();
    AddFullVolume();
    Ethernet = AddDevice({5, 0, 0}, 0x8086, 0x1096, kEthernetClass).Handle();
    OtherNetwork = AddDevice({6, 0, 0}, 0x8086, 0x1096, kOtherNetworkClass).Handle();
  }

  EFI_STATUS EthernetStatus() { return Request(Ethernet).Status; }
  size_t SetupReads() const { return Machine->Variables().ReadCount(u"Setup"); }

  EFI_HANDLE Ethernet = nullptr;
  EFI_HANDLE OtherNetwork = nullptr;
};

TEST_F(EthernetSwitchTest, SwitchOffRefusesOnlyTheEthernetClassWord) {
  SetSetup(published::kSetupSize, 0);
  EXPECT_EQ(EthernetStatus(), EFI_NOT_FOUND);
  EXPECT_EQ(Request(OtherNetwork).Status, EFI_SUCCESS);
  // The vendor and device IDs of a refused controller are never read.
  size_t IdReads = 0;
  for (const auto &Entry : Machine->Log().All()) {
    IdReads += Entry.Bus() == 5 && Entry.Register() != 0x0A ? 1 : 0;
  }
  EXPECT_EQ(IdReads, 0U);
  EXPECT_EQ(SetupReads(), 1U);
}

TEST_F(EthernetSwitchTest, SwitchOnServesEthernet) {
  SetSetup(published::kSetupSize, 1);
  EXPECT_EQ(EthernetStatus(), EFI_SUCCESS);
  EXPECT_EQ(EthernetStatus(), EFI_SUCCESS);
  EXPECT_EQ(SetupReads(), 1U);
  EXPECT_EQ(SetupData()[published::kSetupEthernetSwitch], 1);
}

// A variable that cannot be read turns Ethernet option ROMs off for the rest
// of the boot, whatever the variable holds later.
enum class UnreadableSetup { Missing, LongerThanTheImage, ReadError };

std::string UnreadableSetupName(const ::testing::TestParamInfo<UnreadableSetup> &Info) {
  switch (Info.param) {
  case UnreadableSetup::Missing:
    return "Missing";
  case UnreadableSetup::LongerThanTheImage:
    return "LongerThanTheImage";
  case UnreadableSetup::ReadError:
    return "ReadError";
  }
  return "Unknown";
}

class UnreadableSetupTest : public EthernetSwitchTest, public ::testing::WithParamInterface<UnreadableSetup> {};

TEST_P(UnreadableSetupTest, TurnsEthernetOffForTheBoot) {
  Machine->Variables().Remove(u"Setup", published::kSetupVariableGuid);
  if (GetParam() == UnreadableSetup::LongerThanTheImage) {
    SetSetup(published::kSetupSize + 1, 1);
  } else if (GetParam() == UnreadableSetup::ReadError) {
    SetSetup(published::kSetupSize, 1);
    Machine->Variables().FailWith(u"Setup", published::kSetupVariableGuid, EFI_DEVICE_ERROR);
  }
  EXPECT_EQ(EthernetStatus(), EFI_NOT_FOUND);
  EXPECT_EQ(SetupData()[published::kSetupEthernetSwitch], 0);
  EXPECT_TRUE(std::all_of(SetupData(), SetupData() + published::kSetupSize, [](UINT8 Byte) { return Byte == 0; }))
      << "nothing of the variable was copied";
  EXPECT_EQ(Request(OtherNetwork).Status, EFI_SUCCESS);

  Machine->Variables().Remove(u"Setup", published::kSetupVariableGuid);
  SetSetup(published::kSetupSize, 1);
  EXPECT_EQ(EthernetStatus(), EFI_NOT_FOUND);
  EXPECT_EQ(SetupReads(), 1U);
}

INSTANTIATE_TEST_SUITE_P(Setup, UnreadableSetupTest,
                         ::testing::Values(UnreadableSetup::Missing, UnreadableSetup::LongerThanTheImage,
                                           UnreadableSetup::ReadError),
                         UnreadableSetupName);

// A variable too short to reach the switch leaves it marked not loaded:
// Ethernet stays served and every request reads the variable again.
TEST_F(EthernetSwitchTest, ShortSetupIsReadOnEveryRequest) {
  SetSetup(published::kSetupEthernetSwitch, 0);
  for (size_t Call = 1; Call <= 3; ++Call) {
    EXPECT_EQ(EthernetStatus(), EFI_SUCCESS);
    EXPECT_EQ(SetupReads(), Call);
  }
  EXPECT_EQ(SetupData()[published::kSetupEthernetSwitch], published::kSetupNotLoaded);
  EXPECT_EQ(SetupData()[published::kSetupEthernetSwitch - 1], static_cast<UINT8>(90 * 7 + 1));
  EXPECT_EQ(SetupData()[published::kSetupEthernetSwitch + 1], 0);
}

TEST_F(EthernetSwitchTest, SetupJustReachingTheSwitchIsReadOnce) {
  SetSetup(published::kSetupEthernetSwitch + 1, 0);
  EXPECT_EQ(EthernetStatus(), EFI_NOT_FOUND);
  EXPECT_EQ(EthernetStatus(), EFI_NOT_FOUND);
  EXPECT_EQ(SetupReads(), 1U);
}

// --- The table itself, against the registry form of its file names ----------

TEST(OptionRomTableTest, RowsNameTheirFilesAndDevices) {
  struct Row {
    const char *File;
    UINT64 Bus, Device, Function;
    UINT16 VendorId, DeviceId;
  };
  const Row Expected[] = {
      {"8DFAE5D4-B50E-4C10-96E6-F2C266CACBB6", 0, 2, 0, 0x1002, 0x515E},
      {"C5677467-7C65-49FD-8226-AC3174419D1B", 2, 0, 0, 0x1002, 0x7249},
      {"52A0547A-9ED6-4F7C-9C1F-40911E1CB025", 0, 31, 2, 0x8086, 0x2681},
      {"52A0547A-9ED6-4F7C-9C1F-40911E1CB025", 0, 31, 2, 0x8086, 0x2682},
      {"E8441378-54D5-4D9D-B238-82343E6BA581", 0, 31, 2, 0x8086, 0x2682},
      {"6F2BC426-8D83-4F17-BE2C-6B1FCBD14C80", 5, 0, 0, 0x8086, 0x1096},
      {"6F2BC426-8D83-4F17-BE2C-6B1FCBD14C80", 5, 0, 0, 0x8086, 0x1096},
      {"00000000-0000-0000-0000-000000000000", 0, 0, 0, 0xFFFF, 0xFFFF},
  };
  ASSERT_EQ(OPTION_ROM_TABLE_ROWS, std::size(Expected));
  for (size_t Index = 0; Index < OPTION_ROM_TABLE_ROWS; ++Index) {
    SCOPED_TRACE(Index);
    const OPTION_ROM_TABLE_ENTRY &Actual = mOptionRomTable[Index];
    EXPECT_EQ(sim::FormatGuid(Actual.FileGuid), Expected[Index].File);
    EXPECT_EQ(Actual.Segment, 0U);
    EXPECT_EQ(Actual.Bus, Expected[Index].Bus);
    EXPECT_EQ(Actual.Device, Expected[Index].Device);
    EXPECT_EQ(Actual.Function, Expected[Index].Function);
    EXPECT_EQ(Actual.VendorId, Expected[Index].VendorId);
    EXPECT_EQ(Actual.DeviceId, Expected[Index].DeviceId);
  }
}

} // namespace
