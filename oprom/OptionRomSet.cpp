#include "OptionRomSet.h"

#include "OptionRom.h"
#include "base/FirmwareServices.h"
#include "base/PoolMemory.h"

namespace {

bool HandleCarriesSet(EFI_HANDLE PciHandle) {
  VOID *Existing = nullptr;
  return !EFI_ERROR(BootServices()->HandleProtocol(PciHandle, &kPciOptionRomSetGuid, &Existing));
}

// The record and its image array, both zero-filled pool; null when either
// cannot be allocated.
PCI_OPTION_ROM_SET *BuildOptionRomSet(const OPTION_ROM_IMAGE_LIST &Images) {
  auto *Set = static_cast<PCI_OPTION_ROM_SET *>(AllocateZeroPool(sizeof(PCI_OPTION_ROM_SET)));
  if (Set == nullptr) {
    return nullptr;
  }
  Set->Count = static_cast<UINT8>(Images.Count);
  const UINTN ArraySize = Images.Count * sizeof(PCI_OPTION_ROM_IMAGE);
  Set->Images = static_cast<PCI_OPTION_ROM_IMAGE *>(AllocateZeroPool(ArraySize));
  if (Set->Images == nullptr) {
    BootServices()->FreePool(Set);
    return nullptr;
  }
  BootServices()->CopyMem(Set->Images, Images.Entries, ArraySize);
  return Set;
}

void FreeOptionRomSet(PCI_OPTION_ROM_SET *Set) {
  BootServices()->FreePool(Set->Images);
  BootServices()->FreePool(Set);
}

} // namespace

bool AttachOptionRomSet(EFI_HANDLE PciHandle, const OPTION_ROM_IMAGE_LIST &Images) {
  // The first set stays: a repeated request publishes nothing new.
  if (HandleCarriesSet(PciHandle)) {
    return false;
  }
  PCI_OPTION_ROM_SET *Set = BuildOptionRomSet(Images);
  if (Set == nullptr) {
    return false;
  }
  if (EFI_ERROR(
          BootServices()->InstallProtocolInterface(&PciHandle, &kPciOptionRomSetGuid, EFI_NATIVE_INTERFACE, Set))) {
    FreeOptionRomSet(Set);
    return false;
  }
  return true;
}

void ReleaseUnownedImages(const OPTION_ROM_IMAGE_LIST &Images) {
  for (UINTN Index = 0; Index + 1 < Images.Count; ++Index) {
    BootServices()->FreePool(Images.Entries[Index].Image);
  }
}
