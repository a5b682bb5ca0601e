// Bits of the PCI Express capability registers that link tuning reads and
// changes (PCI Express Base Specification 4.0, sections 7.5.3.3 to 7.5.3.8).
// The register offsets themselves are in pci/PciRegisters.h.
#pragma once

#include "EfiBaseTypes.h"

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

// Link Control, low byte.
inline constexpr UINT8 PCIE_LINK_CONTROL_ASPM_L1 = 0x02;
inline constexpr UINT8 PCIE_LINK_CONTROL_RETRAIN = 0x20;
inline constexpr UINT8 PCIE_LINK_CONTROL_COMMON_CLOCK = 0x40;

// Link Status.
inline constexpr UINT16 PCIE_LINK_STATUS_SPEED_MASK = 0x000F;
inline constexpr UINT16 PCIE_LINK_STATUS_SPEED_2_5_GTPS = 0x0001;
inline constexpr UINT16 PCIE_LINK_STATUS_TRAINING = 0x0800;
inline constexpr UINT16 PCIE_LINK_STATUS_SLOT_CLOCK = 0x1000;
