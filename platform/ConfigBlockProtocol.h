// The chipset configuration-block interface that another platform driver
// provides: it keeps the chipset's configuration blocks and hands them out by
// name so that drivers can fill them in place before the chipset is set up.
#pragma once

#include "base/Uefi.h"

inline constexpr EFI_GUID PLATFORM_CONFIG_BLOCK_PROTOCOL_GUID = {
    0xAA81D9C8, 0xF05D, 0x4857, {0x8E, 0x66, 0x54, 0x97, 0xC8, 0xAB, 0xB0, 0xAD}};

struct PLATFORM_CONFIG_BLOCK_PROTOCOL;

// Stores in *Block the address of the block called Name (null-terminated
// UTF-16). The block stays the provider's; callers write into it in place.
using PLATFORM_GET_CONFIG_BLOCK = EFI_STATUS(EFIAPI *)(PLATFORM_CONFIG_BLOCK_PROTOCOL *This, const CHAR16 *Name,
                                                       VOID **Block);

// Only the first member is used here; the provider's further members follow
// it and are not declared.
struct PLATFORM_CONFIG_BLOCK_PROTOCOL {
  PLATFORM_GET_CONFIG_BLOCK GetConfigBlock;
};
static_assert(offsetof(PLATFORM_CONFIG_BLOCK_PROTOCOL, GetConfigBlock) == 0);
