// The images found for one request, and the PCI_OPTION_ROM_SET that publishes
// them on the device's handle when there are several.
#pragma once

#include "base/Uefi.h"

#include "PciOptionRomSet.h"

// Images in table order; the last one is returned to the PCI bus driver.
struct OPTION_ROM_IMAGE_LIST {
  UINTN Count;
  PCI_OPTION_ROM_IMAGE Entries[PCI_OPTION_ROM_SET_MAX_IMAGES];
};

// Installs a set listing Images on PciHandle. True when an installed set now
// holds the images; false when the handle already carries a set or the set
// cannot be allocated or installed, and then nothing of it stays allocated.
[[nodiscard]] bool AttachOptionRomSet(EFI_HANDLE PciHandle, const OPTION_ROM_IMAGE_LIST &Images);

// Frees the images no set holds and nobody else will: all but the returned one.
void ReleaseUnownedImages(const OPTION_ROM_IMAGE_LIST &Images);
