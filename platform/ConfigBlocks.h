// The Setup settings and board addresses that the chipset's configuration
// blocks receive before the chipset is configured.
#pragma once

#include "SetupData.h"

// "QMX_DEP_CONF" holds the base address of the third I/O APIC as a 32-bit
// little-endian field at a byte offset that is not 4-byte aligned.
inline constexpr const CHAR16 *QMX_DEP_CONF_BLOCK_NAME = u"QMX_DEP_CONF";
inline constexpr UINTN QMX_DEP_CONF_IOAPIC_BASE_OFFSET = 14;

// "QMX_CONF" begins with the chipset part of the Setup image.
inline constexpr const CHAR16 *QMX_CONF_BLOCK_NAME = u"QMX_CONF";
inline constexpr UINTN SETUP_QMX_CONF_OFFSET = 208;
inline constexpr UINTN SETUP_QMX_CONF_SIZE = 427;
static_assert(SETUP_QMX_CONF_OFFSET + SETUP_QMX_CONF_SIZE <= SETUP_DATA_SIZE);

// Reads the "Setup" variable into the Setup image, then writes the third I/O APIC's
// base into "QMX_DEP_CONF" and the Setup image's chipset part into "QMX_CONF".
// Whatever is missing (the variable, the provider, either block) only skips
// what depends on it; without the variable "QMX_CONF" receives what
// the image holds. Always returns EFI_SUCCESS.
EFI_STATUS ApplySetupToConfigBlocks();
