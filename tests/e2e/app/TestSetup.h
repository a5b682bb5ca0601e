// The "Setup" variable the application stores before the driver starts: a
// pattern that differs at every offset, so a copy from the wrong place shows.
#pragma once

#include "tests/e2e/common/E2eUefi.h"

namespace e2e {

inline constexpr UINTN kSetupSize = 636;
inline constexpr const CHAR16 *kSetupName = u"Setup";
// Byte 91 switches Ethernet option ROMs; any value but 0 (off) and 0xBD (the
// driver's not-loaded mark) allows them.
inline constexpr UINTN kSetupEthernetOpromOffset = 91;
inline constexpr UINT8 kSetupEthernetOpromAllowed = 0x01;
// Bytes 208-634 go into the "QMX_CONF" block.
inline constexpr UINTN kSetupConfOffset = 208;
inline constexpr UINTN kSetupConfLength = 427;

constexpr UINT8 SetupByte(UINTN Offset) {
  if (Offset == kSetupEthernetOpromOffset) {
    return kSetupEthernetOpromAllowed;
  }
  return static_cast<UINT8>(Offset * 13 + 0x21 + (Offset >> 8));
}

// Stores the variable (boot-service and runtime access, volatile).
EFI_STATUS StoreSetupVariable();

} // namespace e2e
