// Configuration-space registers and bits the driver uses, named with their
// offsets. Header registers: PCI Local Bus Specification 3.0, section 6.1;
// PCI Express capability: PCI Express Base Specification 4.0, section 7.5.3.
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

// PCI Express capability registers, as offsets from the capability.
inline constexpr UINT32 PCIE_CAPABILITIES_OFFSET = 0x02;
inline constexpr UINT32 PCIE_DEVICE_CAPABILITIES_OFFSET = 0x04;
inline constexpr UINT32 PCIE_DEVICE_CONTROL_OFFSET = 0x08;
inline constexpr UINT32 PCIE_LINK_CAPABILITIES_OFFSET = 0x0C;
inline constexpr UINT32 PCIE_LINK_CONTROL_OFFSET = 0x10;
inline constexpr UINT32 PCIE_LINK_STATUS_OFFSET = 0x12;
// End of the last PCI Express register the driver uses (link status). A
// capability whose registers would run past the 256-byte space is unusable:
// offset + register would carry into the function number of the address.
inline constexpr UINT32 PCIE_CAPABILITY_USED_LENGTH = PCIE_LINK_STATUS_OFFSET + 2;

// Capabilities register, bits 7-4: device/port type.
inline constexpr UINT8 PCIE_PORT_TYPE_SHIFT = 4;
inline constexpr UINT8 PCIE_PORT_TYPE_MASK = 0x0F;
inline constexpr UINT8 PCIE_PORT_TYPE_ROOT_PORT = 4;
inline constexpr UINT8 PCIE_PORT_TYPE_SWITCH_UPSTREAM = 5;
inline constexpr UINT8 PCIE_PORT_TYPE_SWITCH_DOWNSTREAM = 6;
