// GetPciRom for onboard devices QEMU cannot present: application-owned PCI
// I/O handles report their IDs at device 31, function 2, and the driver reads
// the images from the support driver's in-memory volume through the
// firmware's own handle database, pool and protocol services.
#include "Checks.h"
#include "FakePciIo.h"
#include "Firmware.h"
#include "PciOptionRomSet.h"
#include "Scenario.h"

namespace e2e {
namespace {

constexpr UINT16 kIntelVendorId = 0x8086;
constexpr UINT16 kTwoImageDeviceId = 0x2682;
constexpr UINT16 kOneImageDeviceId = 0x2681;
constexpr UINTN kOnboardDevice = 31;
constexpr UINTN kOnboardFunction = 2;
// Mass storage, IDE: anything but Ethernet, which Setup could switch off.
constexpr UINT16 kStorageClassWord = 0x0101;

constinit FakePciDevice gTwoImageDevice = {};
constinit FakePciDevice gOneImageDevice = {};

bool ImageIntact(const VOID *Image, UINTN Size, const TestRomFile &File) {
  if (Image == nullptr || Size != File.Size) {
    return false;
  }
  const auto *Bytes = static_cast<const UINT8 *>(Image);
  for (UINTN Offset = 0; Offset < Size; ++Offset) {
    if (Bytes[Offset] != TestRomByte(File, Offset)) {
      return false;
    }
  }
  return true;
}

struct RomAnswer {
  EFI_STATUS Status;
  VOID *Image;
  UINTN Size;
};

RomAnswer RequestRom(const Scenario &Run, EFI_HANDLE Handle) {
  RomAnswer Answer = {EFI_NOT_FOUND, nullptr, 0};
  Answer.Status = Run.Platform->GetPciRom(Run.Platform, Handle, &Answer.Image, &Answer.Size);
  return Answer;
}

// The set lists both files' images in table order, the second being the one
// returned.
void ExpectTwoImageSet(Check &Result, const PCI_OPTION_ROM_SET *Set, const VOID *Returned) {
  if (!Result.Expect(Set != nullptr, "no PCI_OPTION_ROM_SET on the handle")) {
    return;
  }
  Result.ExpectEqual(Set->Count, 2, "set count");
  for (const UINT8 Byte : Set->Reserved) {
    Result.ExpectEqual(Byte, 0, "set reserved byte");
  }
  if (Result.Expect(Set->Count == 2 && Set->Images != nullptr, "set has no image array")) {
    Result.Expect(ImageIntact(Set->Images[0].Image, Set->Images[0].Size, kSharedRomFile),
                  "first set image is not the shared file's");
    Result.Expect(ImageIntact(Set->Images[1].Image, Set->Images[1].Size, kSecondRomFile),
                  "second set image is not the second file's");
    Result.Expect(Set->Images[1].Image == Returned, "the returned image is not the set's last");
  }
}

void CheckTwoImages(const Scenario &Run) {
  Check Result("oprom.two-images");
  const UINTN ServedBefore = Run.Report->TestVolumeImagesServed;
  Result.ExpectStatus(InstallFakePciDevice(gTwoImageDevice, 0, kOnboardDevice, kOnboardFunction, kIntelVendorId,
                                           kTwoImageDeviceId, kStorageClassWord),
                      EFI_SUCCESS, "installing the PCI I/O handle");
  const RomAnswer Answer = RequestRom(Run, gTwoImageDevice.Handle);
  Result.ExpectStatus(Answer.Status, EFI_SUCCESS, "GetPciRom");
  Result.Expect(ImageIntact(Answer.Image, Answer.Size, kSecondRomFile), "returned image is not the second file's");
  Result.ExpectEqual(Run.Report->TestVolumeImagesServed - ServedBefore, 2, "images read from the test volume");
  ExpectTwoImageSet(Result, HandleInterface<PCI_OPTION_ROM_SET>(gTwoImageDevice.Handle, kPciOptionRomSetGuid),
                    Answer.Image);
  Result.Report();
}

// A second request reads the files again but leaves the attached set alone.
void CheckRepeatedRequest(const Scenario &Run) {
  Check Result("oprom.repeat-request");
  const auto *SetBefore = HandleInterface<PCI_OPTION_ROM_SET>(gTwoImageDevice.Handle, kPciOptionRomSetGuid);
  const RomAnswer Answer = RequestRom(Run, gTwoImageDevice.Handle);
  Result.ExpectStatus(Answer.Status, EFI_SUCCESS, "GetPciRom");
  Result.Expect(ImageIntact(Answer.Image, Answer.Size, kSecondRomFile), "returned image is not the second file's");
  const auto *SetAfter = HandleInterface<PCI_OPTION_ROM_SET>(gTwoImageDevice.Handle, kPciOptionRomSetGuid);
  Result.Expect(SetBefore != nullptr && SetAfter == SetBefore, "the set was replaced");
  if (SetAfter != nullptr && SetAfter->Count == 2) {
    Result.Expect(SetAfter->Images[1].Image != Answer.Image, "the set took the new image");
    Result.Expect(ImageIntact(SetAfter->Images[1].Image, SetAfter->Images[1].Size, kSecondRomFile),
                  "the set's images changed");
  }
  Result.Report();
}

void CheckOneImage(const Scenario &Run) {
  Check Result("oprom.one-image");
  Result.ExpectStatus(InstallFakePciDevice(gOneImageDevice, 0, kOnboardDevice, kOnboardFunction, kIntelVendorId,
                                           kOneImageDeviceId, kStorageClassWord),
                      EFI_SUCCESS, "installing the PCI I/O handle");
  const RomAnswer Answer = RequestRom(Run, gOneImageDevice.Handle);
  Result.ExpectStatus(Answer.Status, EFI_SUCCESS, "GetPciRom");
  Result.Expect(ImageIntact(Answer.Image, Answer.Size, kSharedRomFile), "returned image is not the shared file's");
  Result.Expect(HandleInterface<PCI_OPTION_ROM_SET>(gOneImageDevice.Handle, kPciOptionRomSetGuid) == nullptr,
                "a set was attached for a single image");
  Result.Report();
}

void CheckHandleWithoutPciIo(const Scenario &Run) {
  Check Result("oprom.no-pci-io");
  const RomAnswer Answer = RequestRom(Run, Run.Support.ImageHandle);
  Result.ExpectStatus(Answer.Status, EFI_NOT_FOUND, "GetPciRom for a handle without PCI I/O");
  Result.Report();
}

} // namespace

void RunOptionRomChecks(Scenario &Run) {
  CheckTwoImages(Run);
  CheckRepeatedRequest(Run);
  CheckOneImage(Run);
  CheckHandleWithoutPciIo(Run);
}

} // namespace e2e
