#include "Registers.h"

#include "TextFormat.h"

#include <algorithm>
#include <set>

namespace pciplat {

namespace {

constexpr unsigned kMaxCapabilities = 48; // (256 - 64) / 4: more means a loop

struct Field {
  UINT8 Offset;
  UINT8 Width;
  const char *Name;
  bool WriteOneToClear = false;
};

// PCI Express Base Specification 4.0, section 7.5.3.
constexpr Field kPcieRegisters[] = {
    {0x00, 1, "CapId"},         {0x01, 1, "NextCap"},      {0x02, 2, "ExpCap"},        {0x04, 4, "DevCap"},
    {0x08, 2, "DevCtl"},        {0x0A, 2, "DevSta", true}, {0x0C, 4, "LnkCap"},        {0x10, 2, "LnkCtl"},
    {0x12, 2, "LnkSta", true},  {0x14, 4, "SltCap"},       {0x18, 2, "SltCtl"},        {0x1A, 2, "SltSta", true},
    {0x1C, 2, "RootCtl"},       {0x1E, 2, "RootCap"},      {0x20, 4, "RootSta", true}, {0x24, 4, "DevCap2"},
    {0x28, 2, "DevCtl2"},       {0x2A, 2, "DevSta2"},      {0x2C, 4, "LnkCap2"},       {0x30, 2, "LnkCtl2"},
    {0x32, 2, "LnkSta2", true}, {0x34, 4, "SltCap2"},      {0x38, 2, "SltCtl2"},       {0x3A, 2, "SltSta2"},
};
// PCI Bus Power Management Interface 1.2, chapter 3.
constexpr Field kPowerManagementRegisters[] = {
    {0x00, 1, "CapId"},       {0x01, 1, "NextCap"},   {0x02, 2, "PMC"},
    {0x04, 2, "PMCSR", true}, {0x06, 1, "PMCSR_BSE"}, {0x07, 1, "Data"},
};
// PCI Local Bus 3.0, section 6.8.1: the layout follows the 64-bit and
// per-vector masking bits of the message control register.
constexpr Field kMsi32Registers[] = {{0x00, 1, "CapId"},      {0x01, 1, "NextCap"}, {0x02, 2, "MsgCtl"},
                                     {0x04, 4, "MsgAddr"},    {0x08, 2, "MsgData"}, {0x0C, 4, "MaskBits"},
                                     {0x10, 4, "PendingBits"}};
constexpr Field kMsi64Registers[] = {{0x00, 1, "CapId"},     {0x01, 1, "NextCap"},    {0x02, 2, "MsgCtl"},
                                     {0x04, 4, "MsgAddrLo"}, {0x08, 4, "MsgAddrHi"},  {0x0C, 2, "MsgData"},
                                     {0x10, 4, "MaskBits"},  {0x14, 4, "PendingBits"}};
// The header registers setpci knows by name (PCI Local Bus 3.0, section 6.1).
constexpr Field kHeaderRegisters[] = {
    {0x00, 2, "VENDOR_ID"},
    {0x02, 2, "DEVICE_ID"},
    {0x04, 2, "COMMAND"},
    {0x06, 2, "STATUS", true},
    {0x08, 1, "REVISION"},
    {0x09, 1, "CLASS_PROG"},
    {0x0A, 2, "CLASS_DEVICE"},
    {0x0C, 1, "CACHE_LINE_SIZE"},
    {0x0D, 1, "LATENCY_TIMER"},
    {0x0E, 1, "HEADER_TYPE"},
    {0x0F, 1, "BIST"},
    {0x18, 1, "PRIMARY_BUS"},
    {0x19, 1, "SECONDARY_BUS"},
    {0x1A, 1, "SUBORDINATE_BUS"},
    {0x34, 1, "CAPABILITY_POINTER"},
    {0x3C, 1, "INTERRUPT_LINE"},
    {0x3D, 1, "INTERRUPT_PIN"},
    {0x3E, 2, "BRIDGE_CONTROL"},
};

template <size_t Count> const Field *FieldAt(const Field (&Fields)[Count], unsigned Offset) {
  for (const Field &Candidate : Fields) {
    if (Offset >= Candidate.Offset && Offset < Candidate.Offset + Candidate.Width) {
      return &Candidate;
    }
  }
  return nullptr;
}

bool IsMsi64(const ConfigSpace &Space, const Capability &Msi) { return (Read16(Space, Msi.Offset + 2) & 0x80) != 0; }

UINT8 MsiLength(UINT16 Control) {
  const bool Wide = (Control & 0x80) != 0;
  const bool Masking = (Control & 0x100) != 0;
  return static_cast<UINT8>(Wide ? (Masking ? 0x18 : 0x0E) : (Masking ? 0x14 : 0x0A));
}

std::optional<Capability> Describe(const ConfigSpace &Space, UINT8 Id, UINT8 Offset) {
  switch (Id) {
  case PCI_CAPABILITY_ID_PCI_EXPRESS:
    // Version 1 structures end after the slot registers.
    return Capability{Id, Offset, static_cast<UINT8>((Space[Offset + 2] & 0xF) >= 2 ? 0x3C : 0x24), "CAP_EXP",
                      "PCI Express"};
  case kCapabilityPowerManagement:
    return Capability{Id, Offset, 8, "CAP_PM", "power management"};
  case kCapabilityMsi:
    return Capability{Id, Offset, MsiLength(Read16(Space, Offset + 2U)), "CAP_MSI", "MSI"};
  default:
    return std::nullopt;
  }
}

const Field *CapabilityField(const ConfigSpace &Space, const Capability &In, unsigned Inside) {
  switch (In.Id) {
  case PCI_CAPABILITY_ID_PCI_EXPRESS:
    return FieldAt(kPcieRegisters, Inside);
  case kCapabilityPowerManagement:
    return FieldAt(kPowerManagementRegisters, Inside);
  default:
    return IsMsi64(Space, In) ? FieldAt(kMsi64Registers, Inside) : FieldAt(kMsi32Registers, Inside);
  }
}

std::string Payload(UINT32 Code) { return std::to_string(128U << (Code & 7)) + " bytes"; }

std::string DecodeLinkControl(UINT32 Value) {
  static const char *const Aspm[] = {"ASPM off", "ASPM L0s", "ASPM L1", "ASPM L0s L1"};
  std::string Text = Aspm[Value & 3];
  Text += (Value & 0x20) != 0 ? ", RetrainLnk" : "";
  Text += (Value & 0x40) != 0 ? ", CommClk" : "";
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

std::vector<Capability> StandardCapabilities(const ConfigSpace &Space) {
  std::vector<Capability> Found;
  if ((Space[PCI_STATUS_OFFSET] & PCI_STATUS_CAPABILITY_LIST) == 0) {
    return Found;
  }
  std::set<UINT8> Visited;
  UINT8 Pointer = Space[PCI_CAPABILITY_POINTER_OFFSET] & 0xFC;
  while (Pointer >= 0x40 && Visited.insert(Pointer).second && Visited.size() <= kMaxCapabilities) {
    if (const auto Named = Describe(Space, Space[Pointer], Pointer)) {
      Found.push_back(*Named);
    }
    Pointer = Space[Pointer + 1U] & 0xFC;
  }
  return Found;
}

std::optional<Capability> FindCapability(const ConfigSpace &Space, UINT8 Id) {
  for (const Capability &Each : StandardCapabilities(Space)) {
    if (Each.Id == Id) {
      return Each;
    }
  }
  return std::nullopt;
}

RegisterName NameRegister(const ConfigSpace &Space, unsigned Offset) {
  RegisterName Name;
  for (const Capability &Each : StandardCapabilities(Space)) {
    if (Offset < Each.Offset || Offset >= Each.Offset + Each.Length) {
      continue;
    }
    const unsigned Inside = Offset - Each.Offset;
    Name.Setpci = std::string(Each.Setpci) + "+" + HexDigits(Inside, 2);
    Name.In = Each;
    if (const Field *Register = CapabilityField(Space, Each, Inside)) {
      Name.Short = Register->Name;
      Name.RegisterOffset = Each.Offset + Register->Offset;
      Name.RegisterWidth = Register->Width;
      Name.WriteOneToClear = Register->WriteOneToClear;
    }
    return Name;
  }
  const Field *Header = Offset < 0x40 ? FieldAt(kHeaderRegisters, Offset) : nullptr;
  if (Header != nullptr && Header->Offset == Offset) {
    Name.Setpci = Header->Name;
    Name.Short = Header->Name;
    Name.RegisterOffset = Offset;
    Name.RegisterWidth = Header->Width;
    Name.WriteOneToClear = Header->WriteOneToClear;
    return Name;
  }
  Name.Setpci = HexDigits(Offset, 2);
  return Name;
}

std::string SetpciRegister(const ConfigSpace &Space, unsigned Offset, unsigned Width) {
  return NameRegister(Space, Offset).Setpci + (Width == 1 ? ".b" : Width == 2 ? ".w" : ".l");
}

std::string AccessRegister(const ConfigSpace &Space, unsigned Offset, unsigned Width, bool Window) {
  return Window ? HexDigits(Offset, 2) + (Width == 1   ? ".b"
                                          : Width == 2 ? ".w"
                                                       : ".l")
                : SetpciRegister(Space, Offset, Width);
}

std::string AccessMeaning(const ConfigSpace &Space, unsigned Offset, unsigned Width, UINT32 Value, bool Window) {
  const RegisterName Name = NameRegister(Space, Offset);
  const std::string Decoded = DecodeAccess(Name, Offset, Width, Value);
  if (!Window) {
    return Decoded == Name.Setpci ? "" : Decoded;
  }
  return Name.In ? "chipset window register, inside " + Name.Setpci + (Decoded.empty() ? "" : ": " + Decoded)
                 : "chipset window register";
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
    return "DevCtl: MaxPayload " + Payload(Value >> 5) + (Width >= 2 ? ", MaxReadReq " + Payload(Value >> 12) : "");
  }
  return RegisterPart(Name, Offset, Width);
}

} // namespace pciplat
