// Configuration registers by name, from the published PCI and PCI Express
// layouts (PCI Local Bus 3.0 chapter 6, PCI Bus Power Management Interface
// 1.2, PCI Express Base Specification 4.0 chapter 7): the capabilities of a
// function's configuration space, standard and extended, the register and bit
// an offset falls in, in setpci's notation, whether that register exists for
// the function's port type, and what a value of the link and device control
// registers means.
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

// Header layouts (Header Type bits 6:0) beside the PCI-to-PCI bridge's.
inline constexpr UINT8 kHeaderLayoutCardBusBridge = 0x02;
UINT8 HeaderLayout(const ConfigSpace &Space);
bool IsPciBridge(const ConfigSpace &Space);
bool IsPresent(const ConfigSpace &Space); // Vendor ID other than 0xffff

// Published capability IDs the reports look for beside PCI Express
// (PCI_CAPABILITY_ID_PCI_EXPRESS).
inline constexpr UINT8 kCapabilityPowerManagement = 0x01;
inline constexpr UINT8 kCapabilityMsi = 0x05;

// Device/port types (PCI Express Capabilities register bits 7:4) beyond the
// ports the driver tunes (pci/PcieCapability.h).
inline constexpr UINT8 kPortTypeEndpoint = 0x0;
inline constexpr UINT8 kPortTypeLegacyEndpoint = 0x1;
inline constexpr UINT8 kPortTypeIntegratedEndpoint = 0x9;
inline constexpr UINT8 kPortTypeEventCollector = 0xA;

// A capability in a function's lists.
struct Capability {
  UINT16 Id;
  UINT16 Offset;
  UINT16 Length;      // bytes the structure covers; the header alone when not decoded here
  bool Extended;      // in the extended list (0x100 and up)
  bool LengthKnown;   // false: only the header's extent is certain
  std::string Setpci; // CAP_EXP, CAP_PM, ECAP_AER, or CAP_0x.. / ECAP_0x... for IDs setpci does not name
  std::string Title;  // "PCI Express", "Advanced Error Reporting"
};

// The capabilities in Space's lists, standard then extended, in list order,
// among the first Length bytes (what a capture holds); a looping or damaged
// list ends the walk.
std::vector<Capability> Capabilities(const ConfigSpace &Space, unsigned Length = sim::kConfigSpaceSize);
std::optional<Capability> FindCapability(const ConfigSpace &Space, UINT8 Id);

// The PCI Express device/port type, or nullopt without a PCI Express capability.
std::optional<UINT8> PortType(const ConfigSpace &Space);
// "root port", "switch upstream port", "root-complex integrated endpoint", ...
std::string PortTypeName(UINT8 Type);
// Whether the function has a PCI Express link of its own (integrated
// endpoints and event collectors have none).
bool HasLink(UINT8 Type);

// The register an offset falls in.
struct RegisterName {
  std::string Setpci;           // "CAP_EXP+10", "ECAP_AER+08", "COMMAND" or "56" (by offset)
  std::string Short;            // "LnkCtl"; empty when unnamed
  std::optional<Capability> In; // the capability holding it
  unsigned RegisterOffset = 0;  // where the named register starts
  unsigned RegisterWidth = 0;   // its width in bytes
  UINT32 WriteOneToClear = 0;   // a status register's write-1-to-clear bits
  std::string Reserved;         // why the register is reserved for this function, if it is
};
RegisterName NameRegister(const ConfigSpace &Space, unsigned Offset, unsigned Length = sim::kConfigSpaceSize);

// "bit 28 (Physical Slot Number)" for bit Bit of Name's register, or "bit 4".
std::string RegisterBit(const RegisterName &Name, unsigned Bit);

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
