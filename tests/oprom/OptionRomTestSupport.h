// What the option ROM tests share: a loaded driver with a Setup variable, a
// firmware volume holding every file of the table, onboard devices with their
// PCI I/O handles, and the pool accounting every test ends with.
#pragma once

#include "platform/SetupData.h"
#include "support/DriverFixture.h"
#include "support/Published.h"

#include "oprom/OptionRom.h"
#include "oprom/OptionRomTable.h"
#include "sim/BoardBuilder.h"
#include "sim/FirmwareVolume.h"
#include "sim/PciIoDevice.h"

#include <set>
#include <vector>

namespace oprom_test {

// Class words (base class, sub-class) of the devices the tests add.
inline constexpr UINT16 kDisplayClass = 0x0300;
inline constexpr UINT16 kEthernetClass = 0x0200;
inline constexpr UINT16 kOtherNetworkClass = 0x0280;

// Table rows, by the devices they serve.
inline constexpr size_t kRowDisplay = 0;       // 1002:515E at 00:02.0
inline constexpr size_t kRowAnyBusDisplay = 1; // 1002:7249, x:00.0
inline constexpr size_t kRowIde2681 = 2;       // 8086:2681 at 00:1F.2
inline constexpr size_t kRowFirst2682 = 3;     // 8086:2682 at 00:1F.2
inline constexpr size_t kRowSecond2682 = 4;
inline constexpr size_t kRowFirst1096 = 5; // 8086:1096 at 05:00.0, twice
inline constexpr size_t kRowSecond1096 = 6;

// Distinct contents per file: its size and bytes name the first row using it.
inline std::vector<UINT8> FileContents(const EFI_GUID &File) {
  for (size_t Row = 0; Row < std::size(published::kOptionRomRows); ++Row) {
    if (published::kOptionRomRows[Row].File == File) {
      std::vector<UINT8> Contents(0x200 + Row * 0x10, static_cast<UINT8>(0xC0 + Row));
      Contents[0] = 0x55; // option ROM signature
      Contents[1] = 0xAA;
      return Contents;
    }
  }
  return {};
}

inline std::vector<UINT8> RowContents(size_t Row) { return FileContents(published::kOptionRomRows[Row].File); }

struct RomReply {
  EFI_STATUS Status;
  VOID *Image;
  UINTN Size;
  std::vector<UINT8> Bytes() const {
    const auto *First = static_cast<const UINT8 *>(Image);
    return Image == nullptr ? std::vector<UINT8>{} : std::vector<UINT8>(First, First + Size);
  }
};

class OptionRomFixture : public DriverFixture {
protected:
  void SetUp() override {
    DriverFixture::SetUp();
    LoadDriver();
    SetSetup(published::kSetupSize, 1);
  }

  void TearDown() override {
    ExpectEveryAllocationOwned();
    DriverFixture::TearDown();
  }

  // The "Setup" variable with Size bytes; byte 91 holds Switch when it fits.
  void SetSetup(size_t Size, UINT8 Switch) {
    std::vector<UINT8> Data(Size);
    for (size_t Index = 0; Index < Size; ++Index) {
      Data[Index] = static_cast<UINT8>(Index * 7 + 1);
    }
    if (Size > published::kSetupEthernetSwitch) {
      Data[published::kSetupEthernetSwitch] = Switch;
    }
    Machine->Variables().Set(u"Setup", published::kSetupVariableGuid, Data);
  }

  // A volume holding every file of the table.
  sim::FirmwareVolume &AddFullVolume() {
    auto &Volume = Machine->AddFirmwareVolume();
    for (size_t Row = 0; Row < std::size(published::kOptionRomRows); ++Row) {
      Volume.AddRawFile(published::kOptionRomRows[Row].File, RowContents(Row));
    }
    return Volume;
  }

  sim::PciIoDevice &AddDevice(sim::Bdf Where, UINT16 VendorId, UINT16 DeviceId, UINT16 ClassWord = kDisplayClass,
                              UINT32 Segment = 0) {
    sim::AddConventionalFunction(Machine->Pci(), Where, VendorId, DeviceId)
        .ClassCode(static_cast<UINT8>(ClassWord >> 8), static_cast<UINT8>(ClassWord));
    return Machine->AddPciIoDevice(Where, Segment);
  }

  RomReply Request(EFI_HANDLE Handle) {
    RomReply Reply{EFI_SUCCESS, nullptr, 0};
    Reply.Status = Platform->GetPciRom(Platform, Handle, &Reply.Image, &Reply.Size);
    if (!EFI_ERROR(Reply.Status)) {
      CallerOwned.insert(Reply.Image);
    }
    return Reply;
  }

  PCI_OPTION_ROM_SET *InstalledSet(EFI_HANDLE Handle) const {
    return static_cast<PCI_OPTION_ROM_SET *>(Machine->Handles().Find(Handle, published::kOptionRomSetGuid));
  }

  // Every live pool allocation has an owner: a caller that received it, or an
  // installed set (the record, its array and its images); and none of those
  // was freed.
  void ExpectEveryAllocationOwned() const {
    std::set<const VOID *> Owned(CallerOwned.begin(), CallerOwned.end());
    for (EFI_HANDLE Handle : Machine->Handles().HandlesWith(published::kOptionRomSetGuid)) {
      const PCI_OPTION_ROM_SET *Set = InstalledSet(Handle);
      Owned.insert(Set);
      Owned.insert(Set->Images);
      for (UINT8 Index = 0; Index < Set->Count; ++Index) {
        Owned.insert(Set->Images[Index].Image);
      }
    }
    for (const auto &[Buffer, Info] : Machine->Memory().LiveAllocations()) {
      EXPECT_EQ(Owned.count(Buffer), 1U) << "leaked allocation #" << Info.Sequence << " of " << Info.Size << " bytes";
    }
    for (const VOID *Buffer : Owned) {
      EXPECT_TRUE(Machine->Memory().IsLive(Buffer)) << "an owned buffer was freed";
    }
  }

  std::set<const VOID *> CallerOwned;
};

} // namespace oprom_test
