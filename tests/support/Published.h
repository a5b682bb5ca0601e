// Values the tests expect, typed in from where they are published (the Setup
// variable's layout, the GUIDs other drivers use) rather than taken from the
// driver's headers: a wrong constant in the driver must not pass because a
// test shares it.
#pragma once

#include "EfiBaseTypes.h"

namespace published {

inline constexpr UINTN kSetupSize = 636;
inline constexpr UINTN kSetupEthernetSwitch = 91;
inline constexpr UINT8 kSetupNotLoaded = 0xBD;
inline constexpr EFI_GUID kSetupVariableGuid = {
    0xEC87D643, 0xEBA4, 0x4BB5, {0xA1, 0xE5, 0x3F, 0x3E, 0x36, 0xB2, 0x0D, 0xA9}};
inline constexpr EFI_GUID kConfigBlockProtocolGuid = {
    0xAA81D9C8, 0xF05D, 0x4857, {0x8E, 0x66, 0x54, 0x97, 0xC8, 0xAB, 0xB0, 0xAD}};
// "QMX_DEP_CONF": the third I/O APIC's base, 32 bits little-endian at byte 14.
inline constexpr UINTN kQmxDepConfIoApicBaseOffset = 14;
inline constexpr UINT32 kThirdIoApicBase = 0xFEC90000;

} // namespace published
