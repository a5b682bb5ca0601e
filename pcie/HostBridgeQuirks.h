// Host bridges whose early revisions must not enable ASPM L1 on a link that
// runs faster than 2.5 GT/s: such links get common clock only.
#pragma once

#include "base/Protocols.h"

struct HOST_BRIDGE_L1_QUIRK {
  UINT16 VendorId;
  UINT16 DeviceIds[3];
  UINT8 FirstL1Revision; // the first revision that may enable L1
};

inline constexpr HOST_BRIDGE_L1_QUIRK mHostBridgeL1Quirks[] = {
    {0x8086, {0x4000, 0x4001, 0x4003}, 0x20},
};

// The link-control value a link faster than 2.5 GT/s takes in place of
// Current, from the host bridge at 0:0.0: common clock without L1 for an early
// revision of a listed bridge, common clock and L1 for a later one, Current
// for any other bridge.
UINT8 LinkControlForHostBridge(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *RootBridgeIo, UINT8 Current);
