// The published layouts the register names come from: capability names in
// setpci's words, the registers of the structures the reports decode, and the
// named bit fields of the registers the chipset window writes can land in.
#pragma once

#include "pci/PciRegisters.h"

#include <cstddef>
#include <span>

namespace pciplat::layouts {

struct Field {
  UINT16 Offset; // from the start of the structure
  UINT8 Width;   // bytes
  const char *Name;
  UINT32 WriteOneToClear = 0; // the register's write-1-to-clear bits
};

struct BitField {
  const char *Register;
  UINT8 Low;
  UINT8 High;
  const char *Name;
};

struct CapabilityNames {
  UINT16 Id;
  const char *Setpci;
  const char *Title;
};

std::span<const CapabilityNames> StandardCapabilityNames();
std::span<const CapabilityNames> ExtendedCapabilityNames();

std::span<const Field> HeaderRegisters();
std::span<const Field> PcieRegisters();
std::span<const Field> PowerManagementRegisters();
std::span<const Field> Msi32Registers();
std::span<const Field> Msi64Registers();
std::span<const Field> AerRegisters();
std::span<const Field> DeviceSerialNumberRegisters();
std::span<const Field> AcsRegisters();
std::span<const Field> PowerBudgetingRegisters();
std::span<const Field> LtrRegisters();
std::span<const Field> L1SubstatesRegisters();
std::span<const Field> VendorSpecificRegisters();
std::span<const Field> VirtualChannelPortRegisters();

std::span<const BitField> BitFields();

} // namespace pciplat::layouts
