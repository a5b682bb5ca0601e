#include "sim/PciBus.h"

#include "published/PciLayout.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

namespace sim {

using namespace published::layout;

namespace {
constexpr UINT8 kCapabilityListStart = 0x40;
constexpr UINT8 kPcieCapabilityLength = 0x3C;
constexpr UINT8 kLinkControlRetrain = 0x20;
constexpr UINT8 kLinkStatusTrainingHigh = 0x08; // bit 11, in the register's high byte
} // namespace

std::string FormatBdf(const Bdf &Location) {
  char Text[16];
  std::snprintf(Text, sizeof(Text), "%02x:%02x.%x", Location.Bus, Location.Device, Location.Function);
  return Text;
}

PciFunction::PciFunction(Bdf Location) : Where(Location) {
  Writable.fill(0xFF);
  // Identity, status, header type and capability pointer are read-only.
  SetReadOnly(PCI_VENDOR_ID_OFFSET, 4);
  SetReadOnly(PCI_STATUS_OFFSET, 2);
  SetReadOnly(PCI_REVISION_ID_OFFSET, 4);
  SetReadOnly(PCI_HEADER_TYPE_OFFSET, 1);
  SetReadOnly(PCI_CAPABILITY_POINTER_OFFSET, 1);
}

UINT16 PciFunction::Peek16(UINT32 Offset) const {
  return static_cast<UINT16>(Config[Offset] | (Config[Offset + 1] << 8));
}
UINT32 PciFunction::Peek32(UINT32 Offset) const { return Peek16(Offset) | (UINT32{Peek16(Offset + 2)} << 16); }
void PciFunction::Poke16(UINT32 Offset, UINT16 Value) {
  Config[Offset] = static_cast<UINT8>(Value);
  Config[Offset + 1] = static_cast<UINT8>(Value >> 8);
}
void PciFunction::Poke32(UINT32 Offset, UINT32 Value) {
  Poke16(Offset, static_cast<UINT16>(Value));
  Poke16(Offset + 2, static_cast<UINT16>(Value >> 16));
}
void PciFunction::SetReadOnly(UINT32 Offset, UINT32 Length) {
  std::fill_n(Writable.begin() + Offset, Length, UINT8{0});
}

UINT8 PciFunction::SoftwareRead8(UINT32 Offset) {
  const UINT8 Value = Config[Offset];
  if (PcieCap && Offset == TrainingByte()) {
    OnLinkStatusRead();
  }
  return Value;
}

namespace {

// A copy of one register element; a fixed size per case keeps each copy a
// single move instead of a library call.
void CopyElement(UINT8 *Out, const UINT8 *In, UINT8 Width) {
  switch (Width) {
  case 1:
    *Out = *In;
    break;
  case 2:
    std::memcpy(Out, In, 2);
    break;
  case 4:
    std::memcpy(Out, In, 4);
    break;
  default:
    std::memcpy(Out, In, 8);
    break;
  }
}

// The value of one element, zero-extended, loaded at its width.
UINT64 ElementValue(const UINT8 *In, UINT8 Width) {
  switch (Width) {
  case 1:
    return *In;
  case 2: {
    UINT16 Value;
    std::memcpy(&Value, In, 2);
    return Value;
  }
  case 4: {
    UINT32 Value;
    std::memcpy(&Value, In, 4);
    return Value;
  }
  default: {
    UINT64 Value;
    std::memcpy(&Value, In, 8);
    return Value;
  }
  }
}

constexpr UINT8 kAllOnes[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

} // namespace

void PciFunction::SoftwareRead(UINT32 Offset, UINT8 Width, UINT8 *Out) {
  CopyElement(Out, &Config[Offset], Width);
  if (ReadHasEffect(Offset, Width)) {
    OnLinkStatusRead();
  }
}

void PciFunction::SoftwareWrite8(UINT32 Offset, UINT8 Value) {
  Config[Offset] = static_cast<UINT8>((Config[Offset] & ~Writable[Offset]) | (Value & Writable[Offset]));
  if (PcieCap && Offset == *PcieCap + PCIE_LINK_CONTROL_OFFSET) {
    OnLinkControlWrite(Value);
  }
}

// Retrain Link reads as 0 (PCI Express Base Specification 4.0, section 7.5.3.7):
// the write starts training, the bit itself is never stored.
void PciFunction::OnLinkControlWrite(UINT8 Value) {
  Config[*PcieCap + PCIE_LINK_CONTROL_OFFSET] &= static_cast<UINT8>(~kLinkControlRetrain);
  if ((Value & kLinkControlRetrain) == 0) {
    return;
  }
  Polls.push_back(0);
  TrainingLeft = TrainingReads;
  if (TrainingReads != 0) {
    Config[TrainingByte()] |= kLinkStatusTrainingHigh;
  }
}

void PciFunction::OnLinkStatusRead() {
  if (!Polls.empty()) {
    ++Polls.back();
  }
  if (TrainingLeft > 0 && --TrainingLeft == 0) {
    Config[TrainingByte()] &= static_cast<UINT8>(~kLinkStatusTrainingHigh);
  }
}

PciFunction &PciFunction::Ids(UINT16 VendorId, UINT16 DeviceId) {
  Poke16(PCI_VENDOR_ID_OFFSET, VendorId);
  Poke16(PCI_DEVICE_ID_OFFSET, DeviceId);
  return *this;
}
PciFunction &PciFunction::Revision(UINT8 RevisionId) {
  Poke8(PCI_REVISION_ID_OFFSET, RevisionId);
  return *this;
}
PciFunction &PciFunction::ClassCode(UINT8 BaseClass, UINT8 SubClass, UINT8 ProgrammingInterface) {
  Poke8(PCI_CLASS_CODE_OFFSET + 1, BaseClass);
  Poke8(PCI_CLASS_CODE_OFFSET, SubClass);
  Poke8(PCI_CLASS_CODE_OFFSET - 1, ProgrammingInterface);
  return *this;
}
PciFunction &PciFunction::MultiFunction(bool Multi) {
  const UINT8 Layout = Peek8(PCI_HEADER_TYPE_OFFSET) & PCI_HEADER_TYPE_LAYOUT_MASK;
  Poke8(PCI_HEADER_TYPE_OFFSET, static_cast<UINT8>(Layout | (Multi ? PCI_HEADER_TYPE_MULTI_FUNCTION : 0)));
  return *this;
}
PciFunction &PciFunction::Bridge(UINT8 Primary, UINT8 Secondary, UINT8 Subordinate) {
  const UINT8 Multi = Peek8(PCI_HEADER_TYPE_OFFSET) & PCI_HEADER_TYPE_MULTI_FUNCTION;
  Poke8(PCI_HEADER_TYPE_OFFSET, static_cast<UINT8>(Multi | PCI_HEADER_TYPE_PCI_TO_PCI_BRIDGE));
  Poke8(0x18, Primary);
  Poke8(PCI_BRIDGE_SECONDARY_BUS_OFFSET, Secondary);
  Poke8(0x1A, Subordinate);
  if (Peek8(PCI_CLASS_CODE_OFFSET + 1) == 0) {
    ClassCode(0x06, 0x04);
  }
  return *this;
}

PciFunction &PciFunction::NextCapabilityAt(UINT8 Offset) {
  NextCapability = Offset;
  return *this;
}

UINT8 PciFunction::AddCapability(UINT8 Id, UINT8 Length) {
  UINT8 Offset = kCapabilityListStart;
  if (NextCapability) {
    Offset = *NextCapability;
    NextCapability.reset();
  } else if (!Capabilities.empty()) {
    Offset = static_cast<UINT8>(Capabilities.back() + Length);
  }
  if (Capabilities.empty()) {
    Poke8(PCI_CAPABILITY_POINTER_OFFSET, Offset);
  } else {
    Poke8(Capabilities.back() + PCI_CAPABILITY_NEXT_OFFSET, Offset);
  }
  Poke8(PCI_STATUS_OFFSET, Peek8(PCI_STATUS_OFFSET) | PCI_STATUS_CAPABILITY_LIST);
  Poke8(Offset, Id);
  Poke8(Offset + PCI_CAPABILITY_NEXT_OFFSET, PCI_CAPABILITY_POINTER_NONE);
  SetReadOnly(Offset, 2);
  Capabilities.push_back(Offset);
  return Offset;
}

PciFunction &PciFunction::PcieCapability(const PcieCapabilityConfig &Settings) {
  const UINT8 Offset = AddCapability(PCI_CAPABILITY_ID_PCI_EXPRESS, kPcieCapabilityLength);
  PcieCap = Offset;
  Poke16(Offset + PCIE_CAPABILITIES_OFFSET, static_cast<UINT16>(0x0002 | (Settings.PortType << 4)));
  Poke32(Offset + PCIE_DEVICE_CAPABILITIES_OFFSET, Settings.MaxPayloadSupported & 0x7U);
  Poke16(Offset + PCIE_DEVICE_CONTROL_OFFSET, static_cast<UINT16>((Settings.MaxPayload & 0x7U) << 5));
  Poke32(Offset + PCIE_LINK_CAPABILITIES_OFFSET,
         (Settings.L1Supported ? 0x800U : 0U) | 0x10U | (Settings.MaxLinkSpeed & 0xFU));
  Poke16(Offset + PCIE_LINK_STATUS_OFFSET,
         static_cast<UINT16>((Settings.SlotClock ? 0x1000 : 0) | 0x0010 | (Settings.LinkSpeed & 0xF)));
  ProtectPcieRegisters(Offset);
  TrainingReads = Settings.TrainingReads;
  return *this;
}

void PciFunction::ProtectPcieRegisters(UINT8 Offset) {
  SetReadOnly(Offset + PCIE_CAPABILITIES_OFFSET, 2);
  SetReadOnly(Offset + PCIE_DEVICE_CAPABILITIES_OFFSET, 4);
  SetReadOnly(Offset + PCIE_LINK_CAPABILITIES_OFFSET, 4);
  SetReadOnly(Offset + PCIE_LINK_STATUS_OFFSET, 2);
}

PciFunction &PciFunction::LoadConfiguration(const std::array<UINT8, kConfigSpaceSize> &Space) {
  Config = Space;
  Capabilities.clear();
  PcieCap.reset();
  if ((Peek8(PCI_STATUS_OFFSET) & PCI_STATUS_CAPABILITY_LIST) == 0) {
    return *this;
  }
  UINT8 Pointer = Peek8(PCI_CAPABILITY_POINTER_OFFSET);
  // Bounded like any capability walk: a dump may hold a looping list.
  for (UINT32 Entry = 0; Entry < PCI_CAPABILITY_LIST_MAX_ENTRIES; ++Entry) {
    if (Pointer == PCI_CAPABILITY_POINTER_NONE || Pointer == PCI_CAPABILITY_POINTER_INVALID) {
      break;
    }
    Capabilities.push_back(Pointer);
    SetReadOnly(Pointer, 2);
    if (Peek8(Pointer) == PCI_CAPABILITY_ID_PCI_EXPRESS && !PcieCap) {
      PcieCap = Pointer;
      ProtectPcieRegisters(Pointer);
    }
    Pointer = Peek8(Pointer + PCI_CAPABILITY_NEXT_OFFSET);
  }
  return *this;
}

UINT16 PciFunction::LinkControl() const { return PcieCap ? Peek16(*PcieCap + PCIE_LINK_CONTROL_OFFSET) : 0; }
UINT16 PciFunction::LinkStatus() const { return PcieCap ? Peek16(*PcieCap + PCIE_LINK_STATUS_OFFSET) : 0; }
UINT16 PciFunction::DeviceControl() const { return PcieCap ? Peek16(*PcieCap + PCIE_DEVICE_CONTROL_OFFSET) : 0; }

void PciFunction::ReleaseLists() {
  std::vector<UINT8>().swap(Capabilities);
  std::vector<unsigned>().swap(Polls);
}

namespace {
// Bus tables of buses gone, kept for the same reason as their functions.
constexpr size_t kMostSpareTables = 256;
} // namespace

std::vector<std::unique_ptr<PciBus::BusTable>> &PciBus::SpareTables() {
  static std::vector<std::unique_ptr<BusTable>> Spares;
  return Spares;
}

PciBus::BusTable &PciBus::TableFor(UINT8 Bus) {
  auto &Table = Tables[Bus];
  if (!Table) {
    auto &Spares = SpareTables();
    if (Spares.empty()) {
      Table = std::make_unique<BusTable>();
    } else {
      Table = std::move(Spares.back());
      Spares.pop_back();
      *Table = BusTable{};
    }
  }
  return *Table;
}

namespace {

// The storage of functions whose bus is gone. Benches, tests and fuzzers lay
// boards out thousands of times; a fresh function is two 4 KiB arrays whose
// pages fault in each time (the allocator trims, ASan keeps freed memory
// aside), while a recycled one is rebuilt in place in memory already touched.
// A recycled function is constructed afresh: nothing of its past survives.
constexpr size_t kMostSpareFunctions = 1024;

std::vector<std::unique_ptr<PciFunction>> &SpareFunctions() {
  static std::vector<std::unique_ptr<PciFunction>> Spares;
  return Spares;
}

std::unique_ptr<PciFunction> NewFunction(Bdf Where) {
  auto &Spares = SpareFunctions();
  if (Spares.empty()) {
    return std::make_unique<PciFunction>(Where);
  }
  std::unique_ptr<PciFunction> Function = std::move(Spares.back());
  Spares.pop_back();
  Function->~PciFunction();
  new (Function.get()) PciFunction(Where);
  return Function;
}

} // namespace

PciBus::~PciBus() {
  for (auto &Table : Tables) {
    if (Table != nullptr && SpareTables().size() < kMostSpareTables) {
      SpareTables().push_back(std::move(Table));
    }
  }
  auto &Spares = SpareFunctions();
  for (auto &[Where, Function] : All) {
    if (Function != nullptr && Spares.size() < kMostSpareFunctions) {
      Function->ReleaseLists();
      Spares.push_back(std::move(Function));
    }
  }
}

PciFunction &PciBus::Add(Bdf Where) {
  auto &Owner = All[Where];
  // A function laid out again at the same location replaces the first one,
  // which is kept for reuse like any other.
  if (Owner != nullptr && SpareFunctions().size() < kMostSpareFunctions) {
    Owner->ReleaseLists();
    SpareFunctions().push_back(std::move(Owner));
  }
  Owner = NewFunction(Where);
  if (Indexed(Where)) {
    TableFor(Where.Bus).Functions[SlotOf(Where)] = Owner.get();
  }
  return *Owner;
}
PciFunction *PciBus::Find(Bdf Where) {
  return const_cast<PciFunction *>(static_cast<const PciBus *>(this)->Find(Where));
}
const PciFunction *PciBus::Find(Bdf Where) const {
  if (Indexed(Where)) {
    const BusTable *Table = Tables[Where.Bus].get();
    return Table != nullptr ? Table->Functions[SlotOf(Where)] : nullptr;
  }
  const auto Found = All.find(Where);
  return Found == All.end() ? nullptr : Found->second.get();
}
void PciBus::Remove(Bdf Where) {
  All.erase(Where);
  if (Indexed(Where) && Tables[Where.Bus]) {
    Tables[Where.Bus]->Functions[SlotOf(Where)] = nullptr;
  }
}

void PciBus::FailReads(Bdf Where, std::optional<UINT16> Register) {
  SomeReadsFail = true;
  if (Register) {
    FailingRegisters.insert({Where, *Register});
  } else {
    FailingFunctions.insert(Where);
  }
  if (Indexed(Where)) {
    BusTable &Table = TableFor(Where.Bus);
    (Register ? Table.FailsSome : Table.FailsAll).set(SlotOf(Where));
  }
}

void PciBus::FailReadsAt(Bdf Where, UINT16 Register) {
  SomeReadsFail = true;
  FailingStarts.insert({Where, Register});
  if (Indexed(Where)) {
    TableFor(Where.Bus).FailsSome.set(SlotOf(Where));
  }
}

bool PciBus::NoReadFails(Bdf Where) const {
  if (FailingFunctions.empty() && FailingRegisters.empty() && FailingStarts.empty()) {
    return true;
  }
  if (Indexed(Where)) {
    const BusTable *Table = Tables[Where.Bus].get();
    return Table == nullptr || !(Table->FailsAll[SlotOf(Where)] || Table->FailsSome[SlotOf(Where)]);
  }
  return false;
}

bool PciBus::ReadFails(Bdf Where, UINT32 Register, UINT8 Width) const {
  if (NoReadFails(Where)) {
    return false;
  }
  if (FailingFunctions.count(Where) != 0 || FailingStarts.count({Where, static_cast<UINT16>(Register)}) != 0) {
    return true;
  }
  // Most functions have no failing register: one lookup settles it.
  const auto First = FailingRegisters.lower_bound({Where, 0});
  if (First == FailingRegisters.end() || First->first != Where) {
    return false;
  }
  for (UINT32 Byte = Register; Byte < Register + Width; ++Byte) {
    if (FailingRegisters.count({Where, static_cast<UINT16>(Byte)}) != 0) {
      return true;
    }
  }
  return false;
}

UINT64 PciBus::ReadBytes(Bdf Where, UINT32 Register, UINT8 Width) {
  PciFunction *Target = Find(Where);
  if (Target == nullptr) {
    return Width == 8 ? ~0ULL : ((1ULL << (Width * 8)) - 1);
  }
  UINT64 Value = 0;
  for (UINT8 Byte = 0; Byte < Width; ++Byte) {
    Value |= static_cast<UINT64>(Target->SoftwareRead8(Register + Byte)) << (8 * Byte);
  }
  return Value;
}

void PciBus::WriteBytes(Bdf Where, UINT32 Register, UINT8 Width, UINT64 Value) {
  PciFunction *Target = Find(Where);
  if (Target == nullptr) {
    return;
  }
  for (UINT8 Byte = 0; Byte < Width; ++Byte) {
    Target->SoftwareWrite8(Register + Byte, static_cast<UINT8>(Value >> (8 * Byte)));
  }
}

namespace {

struct DecodedAddress {
  Bdf Where;
  UINT32 Register;
};

std::optional<DecodedAddress> Decode(UINT64 Address, UINT8 Width) {
  const auto Device = static_cast<UINT8>(Address >> 16);
  const auto Function = static_cast<UINT8>(Address >> 8);
  const auto Extended = static_cast<UINT32>(Address >> 32);
  const UINT32 Register = Extended != 0 ? Extended : static_cast<UINT32>(Address & 0xFF);
  if (Device > PCI_MAX_DEVICE || Function > PCI_MAX_FUNCTION || Register + Width > kConfigSpaceSize) {
    return std::nullopt;
  }
  return DecodedAddress{{static_cast<UINT8>(Address >> 24), Device, Function}, Register};
}

} // namespace

EFI_STATUS PciBus::ConfigRead(UINT64 Address, UINT8 Width, UINT64 *Value) {
  const auto Decoded = Decode(Address, Width);
  if (!Decoded) {
    return EFI_INVALID_PARAMETER;
  }
  if (ReadFails(Decoded->Where, Decoded->Register, Width)) {
    return EFI_DEVICE_ERROR;
  }
  *Value = ReadBytes(Decoded->Where, Decoded->Register, Width);
  return EFI_SUCCESS;
}

EFI_STATUS PciBus::ConfigReadElements(UINT64 Address, UINT8 Width, UINTN Count, UINT8 *Buffer, UINT64 *First) {
  *First = 0;
  // Element by element when an element could fail, or when the elements run
  // past the register byte of the address (into the function number) or use
  // its extended register (which every element then names).
  const bool OneFunction = (Address >> 32) == 0 && (Address & 0xFF) + Count * Width <= 0x100;
  const auto Decoded = Decode(Address, Width);
  if (!OneFunction || !Decoded || !NoReadFails(Decoded->Where)) {
    EFI_STATUS Status = EFI_SUCCESS;
    for (UINTN Index = 0; Index < Count && !EFI_ERROR(Status); ++Index) {
      UINT64 Value = 0;
      Status = ConfigRead(Address + Index * Width, Width, &Value);
      if (!EFI_ERROR(Status)) {
        std::memcpy(Buffer + Index * Width, &Value, Width);
      }
      if (Index == 0) {
        *First = Value;
      }
    }
    return Status;
  }
  PciFunction *Target = Find(Decoded->Where);
  if (Count != 0) {
    *First = ElementValue(Target == nullptr ? kAllOnes : &Target->Bytes()[Decoded->Register], Width);
  }
  for (UINTN Index = 0; Index < Count; ++Index) {
    UINT8 *Element = Buffer + Index * Width;
    if (Target == nullptr) {
      CopyElement(Element, kAllOnes, Width);
    } else {
      Target->SoftwareRead(Decoded->Register + static_cast<UINT32>(Index * Width), Width, Element);
    }
  }
  return EFI_SUCCESS;
}

EFI_STATUS PciBus::ConfigWrite(UINT64 Address, UINT8 Width, UINT64 Value) {
  const auto Decoded = Decode(Address, Width);
  if (!Decoded) {
    return EFI_INVALID_PARAMETER;
  }
  WriteBytes(Decoded->Where, Decoded->Register, Width, Value);
  return EFI_SUCCESS;
}

bool PciBus::InWindow(UINT64 PhysicalAddress) {
  return PhysicalAddress >= kEcamBase && PhysicalAddress < kEcamBase + kEcamSize;
}

namespace {
DecodedAddress DecodeWindow(UINT64 PhysicalAddress) {
  const UINT64 Offset = PhysicalAddress - kEcamBase;
  return {{static_cast<UINT8>(Offset >> 20), static_cast<UINT8>((Offset >> 15) & 0x1F),
           static_cast<UINT8>((Offset >> 12) & 0x7)},
          static_cast<UINT32>(Offset & 0xFFF)};
}
} // namespace

UINT64 PciBus::WindowRead(UINT64 PhysicalAddress, UINT8 Width) {
  const DecodedAddress Decoded = DecodeWindow(PhysicalAddress);
  if (Decoded.Register + Width > kConfigSpaceSize) {
    return ~0ULL >> (64 - 8 * Width);
  }
  return ReadBytes(Decoded.Where, Decoded.Register, Width);
}

void PciBus::WindowWrite(UINT64 PhysicalAddress, UINT8 Width, UINT64 Value) {
  const DecodedAddress Decoded = DecodeWindow(PhysicalAddress);
  if (Decoded.Register + Width <= kConfigSpaceSize) {
    WriteBytes(Decoded.Where, Decoded.Register, Width, Value);
  }
}

} // namespace sim
