// The Setup image: the "Setup" variable read whole. Platform settings own it;
// the configuration blocks receive part of it and option ROM requests ask its
// Ethernet switch.
#pragma once

#include "base/Uefi.h"

inline constexpr EFI_GUID SETUP_VARIABLE_GUID = {
    0xEC87D643, 0xEBA4, 0x4BB5, {0xA1, 0xE5, 0x3F, 0x3E, 0x36, 0xB2, 0x0D, 0xA9}};
inline constexpr const CHAR16 *SETUP_VARIABLE_NAME = u"Setup";

// Length of the Setup image; the variable is always read whole into it.
inline constexpr UINTN SETUP_DATA_SIZE = 636;
// Byte of the Setup image holding the Ethernet option ROM switch (0: Ethernet
// controllers get no option ROM).
inline constexpr UINTN SETUP_ETHERNET_OPROM_OFFSET = 91;
// Stored in the Ethernet switch at entry, so that a never-read image can be
// told from a read one. A variable shorter than 92 bytes never reaches the
// switch and leaves the mark in place.
inline constexpr UINT8 SETUP_DATA_NOT_LOADED = 0xBD;

// Marks the image not loaded; the rest of it keeps what it holds.
void MarkSetupDataNotLoaded();

// Reads the "Setup" variable into the image with the image's full size. On any
// error the image keeps what it held; a shorter variable fills only its own
// length.
EFI_STATUS LoadSetupData();

// The image, SETUP_DATA_SIZE bytes.
const UINT8 *SetupData();

// Whether Ethernet controllers may have option ROMs. The first call reads
// Setup: a variable that cannot be read switches them off for the rest of the
// boot; one too short to reach the switch leaves it marked not loaded, so
// every call reads it again.
bool EthernetOptionRomsEnabled();

// What a freshly loaded image holds: all zero. The firmware model reloads the
// driver through this; the image never calls it.
void ClearSetupData();
