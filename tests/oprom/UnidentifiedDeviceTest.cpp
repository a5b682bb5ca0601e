// GetPciRom for a device whose location or IDs cannot be read: the request
// ends with EFI_NOT_FOUND, writes neither result, reads no file and attaches
// no set, even when the failing service leaves plausible numbers behind (the
// true location, IDs that a table row names).
#include "OptionRomTestSupport.h"

#include "base/Decisions.h"

namespace {

using namespace oprom_test;

enum class Unreadable { Location, VendorId, DeviceId, BothIds };

struct UnidentifiedCase {
  const char *Name;
  Unreadable What;
  bool LeavesValues; // the failing call still wrote the true values
};

class UnidentifiedDeviceTest : public OptionRomFixture, public ::testing::WithParamInterface<UnidentifiedCase> {
protected:
  void SetUp() override {
    OptionRomFixture::SetUp();
    Volume = &AddFullVolume();
  }

  void MakeUnreadable(sim::PciIoDevice &Device, const UnidentifiedCase &Case) {
    constexpr UINT32 kVendorIdOffset = 0x00; // PCI Local Bus Specification 3.0, 6.2.1
    constexpr UINT32 kDeviceIdOffset = 0x02;
    switch (Case.What) {
    case Unreadable::Location:
      Device.FailGetLocation(EFI_DEVICE_ERROR, Case.LeavesValues);
      break;
    case Unreadable::VendorId:
      Device.FailConfigRead(kVendorIdOffset, EFI_DEVICE_ERROR, Case.LeavesValues);
      break;
    case Unreadable::DeviceId:
      Device.FailConfigRead(kDeviceIdOffset, EFI_DEVICE_ERROR, Case.LeavesValues);
      break;
    case Unreadable::BothIds:
      Device.FailConfigRead(kVendorIdOffset, EFI_DEVICE_ERROR, Case.LeavesValues);
      Device.FailConfigRead(kDeviceIdOffset, EFI_DEVICE_ERROR, Case.LeavesValues);
      break;
    }
  }

  // The option ROM records of the request, in order.
  std::vector<DECISION_REASON> OptionRomReasons() const {
    std::vector<DECISION_REASON> Reasons;
    for (const DECISION &Each : Machine->Decisions()) {
      if (Each.Kind == DECISION_KIND::OptionRom) {
        Reasons.push_back(Each.Reason);
      }
    }
    return Reasons;
  }

  sim::FirmwareVolume *Volume = nullptr;
};

TEST_P(UnidentifiedDeviceTest, AnswersNotFoundAndLeavesEverythingAsItWas) {
  const UnidentifiedCase &Case = GetParam();
  // 8086:2682 at 00:1F.2 matches two rows: read, it would get an image and a set.
  auto &Device = AddDevice({0, 31, 2}, 0x8086, 0x2682);
  MakeUnreadable(Device, Case);
  VOID *const ImageSentinel = &Device;
  const UINTN SizeSentinel = 0x5A5A;
  VOID *Image = ImageSentinel;
  UINTN Size = SizeSentinel;
  EXPECT_EQ(Platform->GetPciRom(Platform, Device.Handle(), &Image, &Size), EFI_NOT_FOUND);
  EXPECT_EQ(Image, ImageSentinel) << "RomImage written";
  EXPECT_EQ(Size, SizeSentinel) << "RomSize written";
  EXPECT_TRUE(Volume->SectionReads().empty());
  EXPECT_EQ(InstalledSet(Device.Handle()), nullptr);
  EXPECT_TRUE(Machine->Handles().HandlesWith(published::kOptionRomSetGuid).empty());
  // The request ends where the device could not be identified: no table row is
  // looked at afterwards.
  EXPECT_EQ(OptionRomReasons(), std::vector<DECISION_REASON>{DECISION_REASON::Unidentified});
}

INSTANTIATE_TEST_SUITE_P(Reads, UnidentifiedDeviceTest,
                         ::testing::Values(UnidentifiedCase{"Location", Unreadable::Location, false},
                                           UnidentifiedCase{"LocationLeavingNumbers", Unreadable::Location, true},
                                           UnidentifiedCase{"VendorId", Unreadable::VendorId, false},
                                           UnidentifiedCase{"VendorIdLeavingTheValue", Unreadable::VendorId, true},
                                           UnidentifiedCase{"DeviceId", Unreadable::DeviceId, false},
                                           UnidentifiedCase{"DeviceIdLeavingTheValue", Unreadable::DeviceId, true},
                                           UnidentifiedCase{"BothIdsLeavingTheValues", Unreadable::BothIds, true}),
                         [](const ::testing::TestParamInfo<UnidentifiedCase> &Info) { return Info.param.Name; });

} // namespace
