// The onboard devices whose option ROMs live in the firmware volumes, and the
// file holding each image. A device matching several rows gets every image.
#pragma once

#include "base/Uefi.h"

// The numbers are stored in bytes, which every segment, bus, device and
// function number of an onboard device fits: a row takes 24 bytes of the image
// instead of 56. A device's own numbers are compared at the full width its
// PCI I/O reports them in.
struct OPTION_ROM_TABLE_ENTRY {
  EFI_GUID FileGuid; // firmware file whose raw section is the image
  UINT8 Segment;     // informational: matching ignores segment and bus
  UINT8 Bus;
  UINT8 Device;
  UINT8 Function;
  UINT16 VendorId;
  UINT16 DeviceId;
};

// The table ends at the first row with this vendor ID.
inline constexpr UINT16 OPTION_ROM_TABLE_END = 0xFFFF;

// In this order: a device's images are returned and listed in table order.
// Rows 5 and 6 are the same on purpose: that device gets two copies of one file.
inline constexpr OPTION_ROM_TABLE_ENTRY mOptionRomTable[] = {
    {{0x8DFAE5D4, 0xB50E, 0x4C10, {0x96, 0xE6, 0xF2, 0xC2, 0x66, 0xCA, 0xCB, 0xB6}}, 0, 0, 2, 0, 0x1002, 0x515E},
    {{0xC5677467, 0x7C65, 0x49FD, {0x82, 0x26, 0xAC, 0x31, 0x74, 0x41, 0x9D, 0x1B}}, 0, 2, 0, 0, 0x1002, 0x7249},
    {{0x52A0547A, 0x9ED6, 0x4F7C, {0x9C, 0x1F, 0x40, 0x91, 0x1E, 0x1C, 0xB0, 0x25}}, 0, 0, 31, 2, 0x8086, 0x2681},
    {{0x52A0547A, 0x9ED6, 0x4F7C, {0x9C, 0x1F, 0x40, 0x91, 0x1E, 0x1C, 0xB0, 0x25}}, 0, 0, 31, 2, 0x8086, 0x2682},
    {{0xE8441378, 0x54D5, 0x4D9D, {0xB2, 0x38, 0x82, 0x34, 0x3E, 0x6B, 0xA5, 0x81}}, 0, 0, 31, 2, 0x8086, 0x2682},
    {{0x6F2BC426, 0x8D83, 0x4F17, {0xBE, 0x2C, 0x6B, 0x1F, 0xCB, 0xD1, 0x4C, 0x80}}, 0, 5, 0, 0, 0x8086, 0x1096},
    {{0x6F2BC426, 0x8D83, 0x4F17, {0xBE, 0x2C, 0x6B, 0x1F, 0xCB, 0xD1, 0x4C, 0x80}}, 0, 5, 0, 0, 0x8086, 0x1096},
    {{0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}}, 0, 0, 0, 0, OPTION_ROM_TABLE_END, 0xFFFF},
};

inline constexpr UINTN OPTION_ROM_TABLE_ROWS = sizeof(mOptionRomTable) / sizeof(mOptionRomTable[0]);
static_assert(mOptionRomTable[OPTION_ROM_TABLE_ROWS - 1].VendorId == OPTION_ROM_TABLE_END,
              "the table must end with its end row");
