// Configuration-space header registers and bits the driver uses, named with
// their offsets (PCI Local Bus Specification 3.0, section 6.1). The PCI Express
// capability's registers are in PcieCapability.h.
#pragma once

#include "EfiBaseTypes.h"

// Type 0/1 common header.
inline constexpr UINT32 PCI_VENDOR_ID_OFFSET = 0x00;
inline constexpr UINT32 PCI_DEVICE_ID_OFFSET = 0x02;
inline constexpr UINT32 PCI_STATUS_OFFSET = 0x06;
inline constexpr UINT32 PCI_REVISION_ID_OFFSET = 0x08;
inline constexpr UINT32 PCI_CLASS_CODE_OFFSET = 0x0A; // sub-class, then base class
inline constexpr UINT32 PCI_HEADER_TYPE_OFFSET = 0x0E;
inline constexpr UINT32 PCI_CAPABILITY_POINTER_OFFSET = 0x34;
// Type 1 (PCI-to-PCI bridge) header.
inline constexpr UINT32 PCI_BRIDGE_SECONDARY_BUS_OFFSET = 0x19;

inline constexpr UINT16 PCI_VENDOR_ID_ABSENT = 0xFFFF;
inline constexpr UINT8 PCI_STATUS_CAPABILITY_LIST = 0x10;
inline constexpr UINT8 PCI_HEADER_TYPE_LAYOUT_MASK = 0x7F;
inline constexpr UINT8 PCI_HEADER_TYPE_PCI_TO_PCI_BRIDGE = 0x01;
inline constexpr UINT8 PCI_HEADER_TYPE_MULTI_FUNCTION = 0x80;

inline constexpr UINT8 PCI_MAX_DEVICE = 31;
inline constexpr UINT8 PCI_MAX_FUNCTION = 7;
inline constexpr UINT32 PCI_HEADER_SIZE = 64;

// Capability list (PCI Local Bus Specification 3.0, section 6.7).
inline constexpr UINT8 PCI_CAPABILITY_ID_PCI_EXPRESS = 0x10;
inline constexpr UINT8 PCI_CAPABILITY_NEXT_OFFSET = 0x01;
inline constexpr UINT8 PCI_CAPABILITY_POINTER_NONE = 0x00;
inline constexpr UINT8 PCI_CAPABILITY_POINTER_INVALID = 0xFF;
// Capabilities live in the device-specific part of the space, 0x40 to 0xFF, and
// are dword-aligned there: at most 48 of them. A pointer below 0x40 points into
// the header itself and ends the list.
inline constexpr UINT32 PCI_CAPABILITY_LIST_MAX_ENTRIES = 48;
inline constexpr UINT8 PCI_CAPABILITY_FIRST_OFFSET = 0x40;
inline constexpr UINT32 PCI_CONFIG_SPACE_SIZE = 0x100;
