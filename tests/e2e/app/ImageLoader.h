// Loads a driver image from the volume the application was started from and
// starts it, as the firmware's dispatcher would.
#pragma once

#include "tests/e2e/common/E2eUefi.h"

namespace e2e {

struct LoadedDriver {
  EFI_STATUS LoadStatus = EFI_NOT_FOUND;
  EFI_STATUS StartStatus = EFI_NOT_FOUND;
  EFI_HANDLE ImageHandle = nullptr;
  const EFI_LOADED_IMAGE_PROTOCOL *LoadedImage = nullptr;

  // True when Address lies inside the loaded image.
  [[nodiscard]] bool Contains(const VOID *Address) const;
};

// FileName is a path from the volume's root, such as u"\\Driver.efi".
LoadedDriver LoadAndStartDriver(const CHAR16 *FileName);

} // namespace e2e
