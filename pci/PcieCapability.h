// The PCI Express capability: where its registers sit, the bits the driver
// reads and changes, and the device/port types (PCI Express Base Specification
// 4.0, sections 7.5.3.1 to 7.5.3.8).
#pragma once

#include "PciAddress.h"

// Registers, as offsets from the capability.
inline constexpr UINT32 PCIE_CAPABILITIES_OFFSET = 0x02;
inline constexpr UINT32 PCIE_DEVICE_CAPABILITIES_OFFSET = 0x04;
inline constexpr UINT32 PCIE_DEVICE_CONTROL_OFFSET = 0x08;
inline constexpr UINT32 PCIE_LINK_CAPABILITIES_OFFSET = 0x0C;
inline constexpr UINT32 PCIE_LINK_CONTROL_OFFSET = 0x10;
inline constexpr UINT32 PCIE_LINK_STATUS_OFFSET = 0x12;
// End of the last register the driver uses (link status). A capability whose
// registers would run past the 256-byte space is unusable: offset + register
// would carry into the function number of the address.
inline constexpr UINT32 PCIE_CAPABILITY_USED_LENGTH = PCIE_LINK_STATUS_OFFSET + 2;

// PCI Express Capabilities register, bits 7-4: device/port type.
inline constexpr UINT8 PCIE_PORT_TYPE_SHIFT = 4;
inline constexpr UINT8 PCIE_PORT_TYPE_MASK = 0x0F;
inline constexpr UINT8 PCIE_PORT_TYPE_ROOT_PORT = 4;
inline constexpr UINT8 PCIE_PORT_TYPE_SWITCH_UPSTREAM = 5;
inline constexpr UINT8 PCIE_PORT_TYPE_SWITCH_DOWNSTREAM = 6;

// Device Capabilities, bits 2-0: Max_Payload_Size Supported.
inline constexpr UINT16 PCIE_DEVICE_CAPABILITIES_MAX_PAYLOAD_MASK = 0x0007;
// Device Control, bits 7-5: Max_Payload_Size.
inline constexpr UINT16 PCIE_DEVICE_CONTROL_MAX_PAYLOAD_MASK = 0x00E0;
inline constexpr UINT8 PCIE_DEVICE_CONTROL_MAX_PAYLOAD_SHIFT = 5;
// Payload size codes: 128 bytes << code. 6 and 7 are reserved.
inline constexpr UINT8 PCIE_MAX_PAYLOAD_CODE_4096_BYTES = 5;
inline constexpr UINT8 PCIE_MAX_PAYLOAD_CODE_FIELD_MAX = 7;

// Link Capabilities, bit 11: ASPM L1 supported.
inline constexpr UINT32 PCIE_LINK_CAPABILITIES_ASPM_L1 = 0x00000800;

// Link Control, low byte. The driver never sets L0s (bit 0); reports show it.
inline constexpr UINT8 PCIE_LINK_CONTROL_ASPM_L0S = 0x01;
inline constexpr UINT8 PCIE_LINK_CONTROL_ASPM_L1 = 0x02;
inline constexpr UINT8 PCIE_LINK_CONTROL_RETRAIN = 0x20;
inline constexpr UINT8 PCIE_LINK_CONTROL_COMMON_CLOCK = 0x40;

// Link Status.
inline constexpr UINT16 PCIE_LINK_STATUS_SPEED_MASK = 0x000F;
inline constexpr UINT16 PCIE_LINK_STATUS_SPEED_2_5_GTPS = 0x0001;
inline constexpr UINT16 PCIE_LINK_STATUS_TRAINING = 0x0800;
inline constexpr UINT16 PCIE_LINK_STATUS_SLOT_CLOCK = 0x1000;
inline constexpr UINT16 PCIE_LINK_STATUS_LINK_ACTIVE = 0x2000; // Data Link Layer Link Active (reports only)

// Address of a register of the capability at Cap of the function at
// FunctionAddress.
constexpr UINT64 PcieCapabilityRegister(UINT64 FunctionAddress, UINT8 Cap, UINT32 Offset) {
  return PciRegisterAddress(FunctionAddress, Cap + Offset);
}

// The device/port type field of the capabilities register, read at any width.
constexpr UINT8 PciePortType(UINT16 Capabilities) {
  return static_cast<UINT8>((Capabilities >> PCIE_PORT_TYPE_SHIFT) & PCIE_PORT_TYPE_MASK);
}
