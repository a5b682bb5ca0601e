// Configuration registers by name, from the published PCI and PCI Express
// layouts (PCI Local Bus 3.0 chapter 6, PCI Express Base Specification 4.0
// chapter 7): the standard capabilities of a function's configuration space,
// the register an offset falls in, in setpci's notation, and what a value of
// the link and device control registers means.
#pragma once

#include "pci/PciRegisters.h"
#include "pci/PcieCapability.h"
#include "sim/PciBus.h"

#include <optional>
#include <string>
#include <vector>

namespace pciplat {

using ConfigSpace = std::array<UINT8, sim::kConfigSpaceSize>;

UINT16 Read16(const ConfigSpace &Space, UINT32 Offset);
UINT32 Read32(const ConfigSpace &Space, UINT32 Offset);
UINT32 ReadWidth(const ConfigSpace &Space, UINT32 Offset, unsigned Width);

// Capability IDs beside PCI Express (PCI_CAPABILITY_ID_PCI_EXPRESS), and the
// PCI Express registers by the driver's names (pci/PcieCapability.h).
inline constexpr UINT8 kCapabilityPowerManagement = 0x01;
inline constexpr UINT8 kCapabilityMsi = 0x05;

// A capability the reports name: PCI Express, power management or MSI.
struct Capability {
  UINT8 Id;
  UINT8 Offset;
  UINT8 Length;       // bytes the structure covers
  const char *Setpci; // CAP_EXP, CAP_PM, CAP_MSI
  const char *Title;
};

// The named capabilities in Space's list, in list order; a looping or
// damaged list ends the walk.
std::vector<Capability> StandardCapabilities(const ConfigSpace &Space);
std::optional<Capability> FindCapability(const ConfigSpace &Space, UINT8 Id);

// The register an offset falls in.
struct RegisterName {
  std::string Setpci;           // "CAP_EXP+10", "COMMAND" or "56" (by offset)
  std::string Short;            // "LnkCtl"; empty when unnamed
  std::optional<Capability> In; // the capability holding it
  unsigned RegisterOffset = 0;  // where the named register starts
  unsigned RegisterWidth = 0;   // its width in bytes
  bool WriteOneToClear = false; // a status register with RW1C bits
};
RegisterName NameRegister(const ConfigSpace &Space, unsigned Offset);

// "CAP_EXP+10.b" for an access of Width bytes at Offset.
std::string SetpciRegister(const ConfigSpace &Space, unsigned Offset, unsigned Width);

// What Value, written at Offset inside Name's register, says for the
// registers the driver writes: "LnkCtl: ASPM L1, CommClk",
// "DevCtl: MaxPayload 256 bytes, MaxReadReq 512 bytes"; "SltCap bytes 2-3"
// for other named registers; empty for unnamed ones.
std::string DecodeAccess(const RegisterName &Name, unsigned Offset, unsigned Width, UINT32 Value);
// "SltCap bytes 2-3" for Width bytes at Offset inside Name's register,
// "LnkCtl" when they cover it; empty for unnamed registers.
std::string RegisterPart(const RegisterName &Name, unsigned Offset, unsigned Width);

// An access as the trace and the diff name it: configuration registers by
// name, the chipset window's by offset (they belong to the chipset, whatever
// the function's own layout puts there), and what the value means.
std::string AccessRegister(const ConfigSpace &Space, unsigned Offset, unsigned Width, bool Window);
std::string AccessMeaning(const ConfigSpace &Space, unsigned Offset, unsigned Width, UINT32 Value, bool Window);

} // namespace pciplat
