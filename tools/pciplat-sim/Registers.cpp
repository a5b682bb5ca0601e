#include "Registers.h"

#include "RegisterLayouts.h"
#include "TextFormat.h"
#include "sim/CapabilityList.h"

#include <algorithm>

namespace pciplat {

namespace {

using layouts::Field;

constexpr UINT16 kExtendedStart = 0x100;
constexpr UINT8 kExpCapVersionMask = 0x0F;
constexpr UINT16 kExpCapSlotImplemented = 0x0100; // PCI Express Capabilities register bit 8
constexpr UINT16 kPcieVersion1Length = 0x24;      // version 1 structures end after the root registers
constexpr UINT16 kPcieLength = 0x3C;
constexpr UINT16 kMsixLength = 12;
constexpr UINT16 kSsvidLength = 8;
constexpr UINT16 kPowerManagementLength = 8;
constexpr UINT16 kExtendedHeaderLength = 4;
constexpr UINT16 kVirtualChannelPortLength = 0x10;
constexpr UINT16 kVirtualChannelResourceLength = 0x0C;

constexpr UINT8 kCapabilityVendorSpecific = 0x09;
constexpr UINT8 kCapabilitySsvid = 0x0D;
constexpr UINT8 kCapabilityMsix = 0x11;
enum : UINT16 {
  kExtAer = 0x01,
  kExtVc = 0x02,
  kExtDsn = 0x03,
  kExtPowerBudgeting = 0x04,
  kExtVc2 = 0x09,
  kExtVendor = 0x0B,
  kExtAcs = 0x0D,
  kExtLtr = 0x18,
  kExtL1Substates = 0x1E,
  kExtDesignatedVendor = 0x23,
};

template <typename Names> const layouts::CapabilityNames *NamesOf(const Names &All, UINT16 Id) {
  const auto Found = std::find_if(All.begin(), All.end(), [Id](const auto &Each) { return Each.Id == Id; });
  return Found != All.end() ? &*Found : nullptr;
}

UINT16 MsiLength(UINT16 Control) {
  const bool Wide = (Control & 0x80) != 0;
  const bool Masking = (Control & 0x100) != 0;
  return Wide ? (Masking ? 0x18 : 0x0E) : (Masking ? 0x14 : 0x0A);
}

// Bytes a standard structure covers, or 0 when not decoded here.
UINT16 StandardLength(const ConfigSpace &Space, const sim::CapabilityEntry &Entry) {
  switch (Entry.Id) {
  case PCI_CAPABILITY_ID_PCI_EXPRESS:
    return (Space[Entry.Offset + 2] & kExpCapVersionMask) >= 2 ? kPcieLength : kPcieVersion1Length;
  case kCapabilityPowerManagement:
    return kPowerManagementLength;
  case kCapabilityMsi:
    return MsiLength(Read16(Space, Entry.Offset + 2U));
  case kCapabilityMsix:
    return kMsixLength;
  case kCapabilitySsvid:
    return kSsvidLength;
  case kCapabilityVendorSpecific: // its length byte follows the pointer
    return Space[Entry.Offset + 2];
  default:
    return 0;
  }
}

// The dword after an extended header, which sizes some structures; a header
// in the last dword of the space has none.
UINT32 SecondDword(const ConfigSpace &Space, const sim::CapabilityEntry &Entry) {
  return Entry.Offset + 8U <= Space.size() ? Read32(Space, Entry.Offset + 4U) : 0;
}

// Bytes an extended structure's registers cover, or 0 when not decoded here.
// Virtual channel structures may have arbitration tables beyond: not decoded.
UINT16 ExtendedLength(const ConfigSpace &Space, const sim::CapabilityEntry &Entry) {
  switch (Entry.Id) {
  case kExtAer:
    return 0x48;
  case kExtDsn:
    return 0x0C;
  case kExtPowerBudgeting:
  case kExtL1Substates:
    return 0x10;
  case kExtAcs:
  case kExtLtr:
    return 0x08;
  case kExtVendor:
  case kExtDesignatedVendor: // the length field is bits 31:20 of the second dword
    return static_cast<UINT16>(SecondDword(Space, Entry) >> 20);
  default:
    return 0;
  }
}

Capability Describe(const ConfigSpace &Space, const sim::CapabilityEntry &Entry) {
  const auto *Names = Entry.Extended ? NamesOf(layouts::ExtendedCapabilityNames(), Entry.Id)
                                     : NamesOf(layouts::StandardCapabilityNames(), Entry.Id);
  Capability Found{Entry.Id, Entry.Offset, 0, Entry.Extended, false, "", ""};
  Found.Setpci =
      Names != nullptr ? Names->Setpci : (Entry.Extended ? "ECAP_" + Hex(Entry.Id, 4) : "CAP_" + Hex(Entry.Id, 2));
  Found.Title = Names != nullptr ? Names->Title : "unnamed (ID " + Hex(Entry.Id, Entry.Extended ? 4 : 2) + ")";
  const UINT16 Length = Entry.Extended ? ExtendedLength(Space, Entry) : StandardLength(Space, Entry);
  Found.LengthKnown = Length != 0;
  Found.Length = Length != 0 ? Length : (Entry.Extended ? kExtendedHeaderLength : 2);
  if (Entry.Extended && (Entry.Id == kExtVc || Entry.Id == kExtVc2)) {
    const unsigned Resources = (SecondDword(Space, Entry) & 7) + 1;
    Found.Length = static_cast<UINT16>(kVirtualChannelPortLength + Resources * kVirtualChannelResourceLength);
  }
  return Found;
}

std::span<const Field> RegistersOf(const ConfigSpace &Space, const Capability &In) {
  if (!In.Extended) {
    switch (In.Id) {
    case PCI_CAPABILITY_ID_PCI_EXPRESS:
      return layouts::PcieRegisters();
    case kCapabilityPowerManagement:
      return layouts::PowerManagementRegisters();
    case kCapabilityMsi:
      return (Read16(Space, In.Offset + 2U) & 0x80) != 0 ? layouts::Msi64Registers() : layouts::Msi32Registers();
    default:
      return {};
    }
  }
  switch (In.Id) {
  case kExtAer:
    return layouts::AerRegisters();
  case kExtDsn:
    return layouts::DeviceSerialNumberRegisters();
  case kExtAcs:
    return layouts::AcsRegisters();
  case kExtPowerBudgeting:
    return layouts::PowerBudgetingRegisters();
  case kExtLtr:
    return layouts::LtrRegisters();
  case kExtL1Substates:
    return layouts::L1SubstatesRegisters();
  case kExtVendor:
    return layouts::VendorSpecificRegisters();
  case kExtVc:
  case kExtVc2:
    return layouts::VirtualChannelPortRegisters();
  default:
    return {};
  }
}

const Field *FieldAt(std::span<const Field> Fields, unsigned Offset) {
  for (const Field &Candidate : Fields) {
    if (Offset >= Candidate.Offset && Offset < Candidate.Offset + Candidate.Width) {
      return &Candidate;
    }
  }
  return nullptr;
}

// PCI Express Base Specification 4.0, section 7.5.3: which register blocks a
// function of each device/port type implements; the rest are reserved.
struct RegisterBlock {
  unsigned First;
  unsigned End;
};
constexpr RegisterBlock kLinkRegisters = {PCIE_LINK_CAPABILITIES_OFFSET, PCIE_LINK_STATUS_OFFSET + 2};
constexpr RegisterBlock kSlotRegisters = {0x14, 0x1C};  // SltCap, SltCtl, SltSta
constexpr RegisterBlock kRootRegisters = {0x1C, 0x24};  // RootCtl, RootCap, RootSta
constexpr RegisterBlock kLink2Registers = {0x2C, 0x34}; // LnkCap2, LnkCtl2, LnkSta2
constexpr RegisterBlock kSlot2Registers = {0x34, 0x3C}; // SltCap2, SltCtl2, SltSta2

std::string PcieReserved(const ConfigSpace &Space, const Capability &In, unsigned Inside) {
  const UINT16 ExpCap = Read16(Space, In.Offset + PCIE_CAPABILITIES_OFFSET);
  const UINT8 Type = PciePortType(ExpCap);
  const auto Within = [Inside](const RegisterBlock &Block) { return Inside >= Block.First && Inside < Block.End; };
  const bool Link = Within(kLinkRegisters) || Within(kLink2Registers);
  const bool Slot = Within(kSlotRegisters) || Within(kSlot2Registers);
  const bool Root = Within(kRootRegisters);
  const std::string Who = "reserved in a " + PortTypeName(Type) + " (port type " + std::to_string(Type) + ")";
  if (Link && !HasLink(Type)) {
    return Who + ": it has no link";
  }
  if (Slot && ((Type != PCIE_PORT_TYPE_ROOT_PORT && Type != PCIE_PORT_TYPE_SWITCH_DOWNSTREAM) ||
               (ExpCap & kExpCapSlotImplemented) == 0)) {
    return Type == PCIE_PORT_TYPE_ROOT_PORT || Type == PCIE_PORT_TYPE_SWITCH_DOWNSTREAM
               ? "reserved: the port implements no slot (ExpCap bit 8 clear)"
               : Who + ": only ports with a slot implement it";
  }
  if (Root && Type != PCIE_PORT_TYPE_ROOT_PORT && Type != kPortTypeEventCollector) {
    return Who + ": only root ports and event collectors implement it";
  }
  return "";
}

void NameInside(const ConfigSpace &Space, const Capability &In, unsigned Offset, RegisterName &Name) {
  const unsigned Inside = Offset - In.Offset;
  Name.Setpci = In.Setpci + "+" + HexDigits(Inside, 2);
  Name.In = In;
  if (const Field *Register = FieldAt(RegistersOf(Space, In), Inside)) {
    Name.Short = Register->Name;
    Name.RegisterOffset = In.Offset + Register->Offset;
    Name.RegisterWidth = Register->Width;
    Name.WriteOneToClear = Register->WriteOneToClear;
  }
  if (!In.Extended && In.Id == PCI_CAPABILITY_ID_PCI_EXPRESS) {
    Name.Reserved = PcieReserved(Space, In, Inside);
  }
}

std::string Payload(UINT32 Code) { return std::to_string(128U << (Code & 7)) + " bytes"; }

std::string DecodeLinkControl(UINT32 Value) {
  static const char *const Aspm[] = {"ASPM off", "ASPM L0s", "ASPM L1", "ASPM L0s L1"};
  std::string Text = Aspm[Value & 3];
  Text += (Value & PCIE_LINK_CONTROL_RETRAIN) != 0 ? ", RetrainLnk" : "";
  Text += (Value & PCIE_LINK_CONTROL_COMMON_CLOCK) != 0 ? ", CommClk" : "";
  Text += (Value & 0x80) != 0 ? ", ExtSynch" : "";
  return Text;
}

} // namespace

UINT16 Read16(const ConfigSpace &Space, UINT32 Offset) {
  return static_cast<UINT16>(Space[Offset] | (Space[Offset + 1] << 8));
}
UINT32 Read32(const ConfigSpace &Space, UINT32 Offset) {
  return Read16(Space, Offset) | (static_cast<UINT32>(Read16(Space, Offset + 2)) << 16);
}
UINT32 ReadWidth(const ConfigSpace &Space, UINT32 Offset, unsigned Width) {
  return Width == 1 ? Space[Offset] : Width == 2 ? Read16(Space, Offset) : Read32(Space, Offset);
}

UINT8 HeaderLayout(const ConfigSpace &Space) { return Space[PCI_HEADER_TYPE_OFFSET] & PCI_HEADER_TYPE_LAYOUT_MASK; }
bool IsPciBridge(const ConfigSpace &Space) { return HeaderLayout(Space) == PCI_HEADER_TYPE_PCI_TO_PCI_BRIDGE; }
bool IsPresent(const ConfigSpace &Space) { return Read16(Space, 0) != 0xFFFF; }

std::vector<Capability> Capabilities(const ConfigSpace &Space, unsigned Length) {
  std::vector<Capability> Found;
  for (const sim::CapabilityEntry &Entry : sim::ListCapabilities(Space, {true, true, Length})) {
    Found.push_back(Describe(Space, Entry));
  }
  return Found;
}

std::optional<Capability> FindCapability(const ConfigSpace &Space, UINT8 Id) {
  for (const Capability &Each : Capabilities(Space)) {
    if (!Each.Extended && Each.Id == Id) {
      return Each;
    }
  }
  return std::nullopt;
}

std::optional<UINT8> PortType(const ConfigSpace &Space) {
  const auto Found = FindCapability(Space, PCI_CAPABILITY_ID_PCI_EXPRESS);
  if (!Found) {
    return std::nullopt;
  }
  return static_cast<UINT8>((Space[Found->Offset + PCIE_CAPABILITIES_OFFSET] >> PCIE_PORT_TYPE_SHIFT) &
                            PCIE_PORT_TYPE_MASK);
}

std::string PortTypeName(UINT8 Type) {
  static const char *const Names[] = {"endpoint",
                                      "legacy endpoint",
                                      "reserved type 2",
                                      "reserved type 3",
                                      "root port",
                                      "switch upstream port",
                                      "switch downstream port",
                                      "PCI Express to PCI bridge",
                                      "PCI to PCI Express bridge",
                                      "root-complex integrated endpoint",
                                      "root-complex event collector"};
  return Type < std::size(Names) ? Names[Type] : "reserved type " + std::to_string(Type);
}

bool HasLink(UINT8 Type) { return Type != kPortTypeIntegratedEndpoint && Type != kPortTypeEventCollector; }

RegisterName NameRegister(const ConfigSpace &Space, unsigned Offset, unsigned Length) {
  RegisterName Name;
  for (const Capability &Each : Capabilities(Space, Length)) {
    if (Offset >= Each.Offset && Offset < Each.Offset + Each.Length) {
      NameInside(Space, Each, Offset, Name);
      return Name;
    }
  }
  const Field *Header = Offset < 0x40 ? FieldAt(layouts::HeaderRegisters(), Offset) : nullptr;
  if (Header != nullptr && Header->Offset == Offset) {
    Name.Setpci = Header->Name;
    Name.Short = Header->Name;
    Name.RegisterOffset = Offset;
    Name.RegisterWidth = Header->Width;
    Name.WriteOneToClear = Header->WriteOneToClear;
    return Name;
  }
  Name.Setpci = HexDigits(Offset, Offset >= kExtendedStart ? 3 : 2);
  return Name;
}

std::string RegisterBit(const RegisterName &Name, unsigned Bit) {
  for (const layouts::BitField &Each : layouts::BitFields()) {
    if (Name.Short == Each.Register && Bit >= Each.Low && Bit <= Each.High) {
      const std::string Span =
          Each.Low == Each.High ? "" : ", bits " + std::to_string(Each.High) + ":" + std::to_string(Each.Low);
      return "bit " + std::to_string(Bit) + " (" + Each.Name + Span + ")";
    }
  }
  return "bit " + std::to_string(Bit);
}

std::string SetpciRegister(const ConfigSpace &Space, unsigned Offset, unsigned Width) {
  return NameRegister(Space, Offset).Setpci + (Width == 1 ? ".b" : Width == 2 ? ".w" : ".l");
}

std::string AccessRegister(const ConfigSpace &Space, unsigned Offset, unsigned Width, bool Window) {
  return Window ? HexDigits(Offset, Offset >= kExtendedStart ? 3 : 2) + (Width == 1   ? ".b"
                                                                         : Width == 2 ? ".w"
                                                                                      : ".l")
                : SetpciRegister(Space, Offset, Width);
}

// The registers a window access covers, byte by byte: "CAP_PM+06 (PMCSR_BSE)
// and CAP_PM+07 (Data)".
std::string CoveredRegisters(const ConfigSpace &Space, unsigned Offset, unsigned Width) {
  std::string Text;
  std::string Last;
  for (unsigned Byte = Offset; Byte < Offset + Width; ++Byte) {
    const RegisterName Name = NameRegister(Space, Byte);
    const std::string Each = Name.Short.empty() ? Name.Setpci : Name.Setpci + " (" + Name.Short + ")";
    if (Name.In && (Name.Short.empty() || Name.Short != Last)) {
      Text += (Text.empty() ? "" : " and ") + Each;
    }
    Last = Name.Short;
  }
  return Text;
}

std::string AccessMeaning(const ConfigSpace &Space, unsigned Offset, unsigned Width, UINT32 Value, bool Window) {
  const RegisterName Name = NameRegister(Space, Offset);
  if (!Window) {
    const std::string Decoded = DecodeAccess(Name, Offset, Width, Value);
    return Decoded == Name.Setpci ? "" : Decoded;
  }
  const std::string Covered = CoveredRegisters(Space, Offset, Width);
  return Covered.empty() ? "chipset window register" : "chipset window register, over " + Covered;
}

std::string RegisterPart(const RegisterName &Name, unsigned Offset, unsigned Width) {
  if (Name.Short.empty() || Offset < Name.RegisterOffset) {
    return "";
  }
  const unsigned First = Offset - Name.RegisterOffset;
  if (First == 0 && Width >= Name.RegisterWidth) {
    return Name.Short;
  }
  const unsigned Last = std::min(First + Width, Name.RegisterWidth) - 1;
  return Name.Short + (First == Last ? " byte " + std::to_string(First)
                                     : " bytes " + std::to_string(First) + "-" + std::to_string(Last));
}

std::string DecodeAccess(const RegisterName &Name, unsigned Offset, unsigned Width, UINT32 Value) {
  if (Offset == Name.RegisterOffset && Name.Short == "LnkCtl") {
    return "LnkCtl: " + DecodeLinkControl(Value);
  }
  if (Offset == Name.RegisterOffset && Name.Short == "DevCtl") {
    return "DevCtl: MaxPayload " + Payload(Value >> PCIE_DEVICE_CONTROL_MAX_PAYLOAD_SHIFT) +
           (Width >= 2 ? ", MaxReadReq " + Payload(Value >> 12) : "");
  }
  return RegisterPart(Name, Offset, Width);
}

} // namespace pciplat
