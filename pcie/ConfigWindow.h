// The memory-mapped configuration window and the two chipset registers of a
// PCI Express function that link configuration brackets. What the registers
// do belongs to the chipset: the driver sets the link-setup bit while the links
// below a port are being configured and sets the port bit for good. The
// firmware model and the tools name the registers from here too.
#pragma once

#include "EfiBaseTypes.h"

inline constexpr UINT64 PCIE_ECAM_BASE = 0xE0000000;
inline constexpr UINT64 PCIE_ECAM_BUS_STRIDE = 0x100000;
inline constexpr UINT64 PCIE_ECAM_DEVICE_STRIDE = 0x8000;
inline constexpr UINT64 PCIE_ECAM_FUNCTION_STRIDE = 0x1000;

// 8-bit register, bit 2: set while the links below the function are configured.
inline constexpr UINT32 PCIE_WINDOW_LINK_SETUP_OFFSET = 0x174;
inline constexpr UINT8 PCIE_WINDOW_LINK_SETUP_ACTIVE = 0x04;
// 16-bit register, bit 12: set once and left set.
inline constexpr UINT32 PCIE_WINDOW_PORT_CONTROL_OFFSET = 0x56;
inline constexpr UINT16 PCIE_WINDOW_PORT_CONTROL_BIT = 0x1000;

constexpr UINT64 PcieWindowAddress(UINT8 Bus, UINT8 Device, UINT8 Function, UINT32 Register) {
  return PCIE_ECAM_BASE + (Bus * PCIE_ECAM_BUS_STRIDE) + (Device * PCIE_ECAM_DEVICE_STRIDE) +
         (Function * PCIE_ECAM_FUNCTION_STRIDE) + Register;
}

// Sets the link-setup bit, then the port bit, of (Bus, Device, Function).
void BeginWindowLinkSetup(UINT8 Bus, UINT8 Device, UINT8 Function);
// Clears the link-setup bit again; the port bit stays set.
void EndWindowLinkSetup(UINT8 Bus, UINT8 Device, UINT8 Function);
