// The PCI and PCI Express register layout as the specifications publish it
// (PCI Local Bus Specification 3.0, 6.1-6.7; PCI-to-PCI Bridge Architecture
// Specification 1.2, 3.2; PCI Express Base Specification 4.0, 7.5.3), for the
// firmware model that lays out configuration spaces and for the checks that
// judge what the driver did with them. Typed in here rather than taken from
// the driver's pci/ headers: a wrong offset in the driver must not be mirrored
// by the board it runs on. The names follow the driver's, so that a model
// source reads the same with `using namespace published::layout`.
#pragma once

#include "EfiBaseTypes.h"

namespace published::layout {

inline constexpr UINT32 PCI_VENDOR_ID_OFFSET = 0x00;
inline constexpr UINT32 PCI_DEVICE_ID_OFFSET = 0x02;
inline constexpr UINT32 PCI_STATUS_OFFSET = 0x06;
inline constexpr UINT32 PCI_REVISION_ID_OFFSET = 0x08;
inline constexpr UINT32 PCI_CLASS_CODE_OFFSET = 0x0A; // sub-class, then base class
inline constexpr UINT32 PCI_HEADER_TYPE_OFFSET = 0x0E;
inline constexpr UINT32 PCI_CAPABILITY_POINTER_OFFSET = 0x34;
inline constexpr UINT32 PCI_BRIDGE_SECONDARY_BUS_OFFSET = 0x19;
inline constexpr UINT16 PCI_VENDOR_ID_ABSENT = 0xFFFF;
inline constexpr UINT8 PCI_STATUS_CAPABILITY_LIST = 0x10;
inline constexpr UINT8 PCI_HEADER_TYPE_LAYOUT_MASK = 0x7F;
inline constexpr UINT8 PCI_HEADER_TYPE_PCI_TO_PCI_BRIDGE = 0x01;
inline constexpr UINT8 PCI_HEADER_TYPE_MULTI_FUNCTION = 0x80;
inline constexpr UINT8 PCI_MAX_DEVICE = 31;
inline constexpr UINT8 PCI_MAX_FUNCTION = 7;
inline constexpr UINT8 PCI_CAPABILITY_ID_PCI_EXPRESS = 0x10;
inline constexpr UINT8 PCI_CAPABILITY_NEXT_OFFSET = 0x01;
inline constexpr UINT8 PCI_CAPABILITY_POINTER_NONE = 0x00;
inline constexpr UINT8 PCI_CAPABILITY_POINTER_INVALID = 0xFF;
inline constexpr UINT32 PCI_CAPABILITY_LIST_MAX_ENTRIES = 48;
inline constexpr UINT8 PCI_CAPABILITY_FIRST_OFFSET = 0x40;
inline constexpr UINT32 PCI_CONFIG_SPACE_SIZE = 0x100;
inline constexpr UINT32 PCIE_CAPABILITIES_OFFSET = 0x02;
inline constexpr UINT32 PCIE_DEVICE_CAPABILITIES_OFFSET = 0x04;
inline constexpr UINT32 PCIE_DEVICE_CONTROL_OFFSET = 0x08;
inline constexpr UINT32 PCIE_LINK_CAPABILITIES_OFFSET = 0x0C;
inline constexpr UINT32 PCIE_LINK_CONTROL_OFFSET = 0x10;
inline constexpr UINT32 PCIE_LINK_STATUS_OFFSET = 0x12;
inline constexpr UINT32 PCIE_CAPABILITY_USED_LENGTH = PCIE_LINK_STATUS_OFFSET + 2;
inline constexpr UINT8 PCIE_PORT_TYPE_MASK = 0x0F;
inline constexpr UINT8 PCIE_PORT_TYPE_ROOT_PORT = 4;
inline constexpr UINT8 PCIE_PORT_TYPE_SWITCH_UPSTREAM = 5;
inline constexpr UINT8 PCIE_PORT_TYPE_SWITCH_DOWNSTREAM = 6;
inline constexpr UINT16 PCIE_DEVICE_CAPABILITIES_MAX_PAYLOAD_MASK = 0x0007;
inline constexpr UINT16 PCIE_DEVICE_CONTROL_MAX_PAYLOAD_MASK = 0x00E0;
inline constexpr UINT8 PCIE_DEVICE_CONTROL_MAX_PAYLOAD_SHIFT = 5;
inline constexpr UINT32 PCIE_LINK_CAPABILITIES_ASPM_L1 = 0x00000800;
inline constexpr UINT8 PCIE_LINK_CONTROL_ASPM_L1 = 0x02;
inline constexpr UINT8 PCIE_LINK_CONTROL_RETRAIN = 0x20;
inline constexpr UINT8 PCIE_LINK_CONTROL_COMMON_CLOCK = 0x40;
inline constexpr UINT16 PCIE_LINK_STATUS_SPEED_MASK = 0x000F;
inline constexpr UINT16 PCIE_LINK_STATUS_SPEED_2_5_GTPS = 0x0001;
inline constexpr UINT16 PCIE_LINK_STATUS_TRAINING = 0x0800;
inline constexpr UINT16 PCIE_LINK_STATUS_SLOT_CLOCK = 0x1000;
inline constexpr UINT32 PCI_HEADER_SIZE = 64;
inline constexpr UINT8 PCIE_PORT_TYPE_SHIFT = 4;

} // namespace published::layout
