// The board's PCI hierarchy: functions keyed by bus/device/function, each with a
// 4 KiB configuration space and the write behaviour of real hardware
// (read-only identity and capability registers, a self-clearing retrain bit, a
// link-training model). Absent functions read all ones. Both views of
// configuration space, the root bridge's and the memory-mapped window at
// 0xE0000000, reach the same bytes.
#pragma once

#include "base/Uefi.h"
#include "published/PciLayout.h"

#include <array>
#include <bitset>
#include <compare>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace sim {

inline constexpr UINT64 kEcamBase = 0xE0000000;
inline constexpr UINT64 kEcamSize = 0x10000000;
inline constexpr UINT32 kConfigSpaceSize = 4096;
// Link-training setting: the link never finishes training after a retrain.
inline constexpr int kTrainsNever = -1;

struct Bdf {
  UINT8 Bus;
  UINT8 Device;
  UINT8 Function;
  auto operator<=>(const Bdf &) const = default;
};
std::string FormatBdf(const Bdf &Location);

// What a PCI Express capability reports, as the builder lays it out.
struct PcieCapabilityConfig {
  UINT8 PortType = 0;            // capabilities register bits 7-4: 0 endpoint, 4 root port, 5/6 switch ports
  UINT8 MaxPayloadSupported = 0; // device capabilities bits 2-0
  UINT8 MaxPayload = 0;          // device control bits 7-5 at power-on
  bool L1Supported = false;      // link capabilities bit 11
  bool SlotClock = false;        // link status bit 12
  UINT8 LinkSpeed = 1;           // link status bits 3-0 (1 = 2.5 GT/s)
  UINT8 MaxLinkSpeed = 1;        // link capabilities bits 3-0
  int TrainingReads = 0;         // link-status reads that report training after a retrain; kTrainsNever
};

class PciFunction {
public:
  explicit PciFunction(Bdf Where);

  Bdf Location() const { return Where; }

  // Raw access for builders and tests: no write masks, no behaviour, no log.
  UINT8 Peek8(UINT32 Offset) const { return Config[Offset]; }
  UINT16 Peek16(UINT32 Offset) const;
  UINT32 Peek32(UINT32 Offset) const;
  void Poke8(UINT32 Offset, UINT8 Value) { Config[Offset] = Value; }
  void Poke16(UINT32 Offset, UINT16 Value);
  void Poke32(UINT32 Offset, UINT32 Value);
  const std::array<UINT8, kConfigSpaceSize> &Bytes() const { return Config; }
  void SetWritableMask(UINT32 Offset, UINT8 Mask) { Writable[Offset] = Mask; }
  void SetReadOnly(UINT32 Offset, UINT32 Length);

  // Software access, as the root bridge or the window performs it.
  UINT8 SoftwareRead8(UINT32 Offset);
  void SoftwareWrite8(UINT32 Offset, UINT8 Value);
  // Width bytes from Offset into Out, as that many SoftwareRead8 calls in
  // ascending order would read them (a read's only effect, on the link status
  // training state, follows the byte it reads).
  void SoftwareRead(UINT32 Offset, UINT8 Width, UINT8 *Out);
  // Whether a software read of Width bytes at Offset has an effect (it reads
  // the link status byte that reports training); one that has none reads as
  // Peek at that width.
  bool ReadHasEffect(UINT32 Offset, UINT8 Width) const {
    return PcieCap && TrainingByte() >= Offset && TrainingByte() < Offset + Width;
  }
  UINT64 PeekElement(UINT32 Offset, UINT8 Width) const;

  // Builder steps; each returns the function for chaining.
  PciFunction &Ids(UINT16 VendorId, UINT16 DeviceId);
  PciFunction &Revision(UINT8 RevisionId);
  PciFunction &ClassCode(UINT8 BaseClass, UINT8 SubClass, UINT8 ProgrammingInterface = 0);
  PciFunction &MultiFunction(bool Multi = true);
  // Type 1 header with its bus numbers; the layout keeps the multi-function bit.
  PciFunction &Bridge(UINT8 Primary, UINT8 Secondary, UINT8 Subordinate);
  // Appends a capability of Length bytes to the list and returns its offset.
  UINT8 AddCapability(UINT8 Id, UINT8 Length);
  PciFunction &PcieCapability(const PcieCapabilityConfig &Settings);
  // Takes a whole configuration space as found (for example in a dump of a
  // real machine); the capability list in it gets the usual read-only
  // registers and the PCI Express capability its link behaviour.
  PciFunction &LoadConfiguration(const std::array<UINT8, kConfigSpaceSize> &Space);
  // Places the next capability at Offset instead of after the previous one.
  PciFunction &NextCapabilityAt(UINT8 Offset);

  std::optional<UINT8> PcieCapabilityOffset() const { return PcieCap; }
  UINT16 LinkControl() const;
  UINT16 LinkStatus() const;
  UINT16 DeviceControl() const;

  // Link training after retrains: one entry per retrain, the number of link
  // status reads made while that retrain was the latest.
  const std::vector<unsigned> &RetrainPolls() const { return Polls; }
  void SetTrainingReads(int Reads) { TrainingReads = Reads; }
  // Frees the lists the function grew, for a function kept to be reused: what
  // one run allocates is freed within it (libFuzzer reruns every input after
  // which more allocations than frees were counted, to look for a leak).
  void ReleaseLists();

private:
  UINT32 TrainingByte() const;
  void OnLinkControlWrite(UINT8 Value);
  void OnLinkStatusRead();
  void ProtectPcieRegisters(UINT8 Offset);

  Bdf Where;
  std::array<UINT8, kConfigSpaceSize> Config{};
  std::array<UINT8, kConfigSpaceSize> Writable{};
  std::optional<UINT8> PcieCap;
  std::vector<UINT8> Capabilities;
  std::optional<UINT8> NextCapability;
  int TrainingReads = 0;
  int TrainingLeft = 0;
  std::vector<unsigned> Polls;
};

class PciBus {
public:
  PciBus() = default;
  // The functions go on to the next bus made: see PciBus::Add.
  ~PciBus();
  PciBus(const PciBus &) = delete;
  PciBus &operator=(const PciBus &) = delete;
  PciBus(PciBus &&) = default;
  PciBus &operator=(PciBus &&) = default;

  PciFunction &Add(Bdf Where);
  PciFunction *Find(Bdf Where);
  const PciFunction *Find(Bdf Where) const;
  void Remove(Bdf Where);
  const std::map<Bdf, std::unique_ptr<PciFunction>> &Functions() const { return All; }

  // Reads of the function (every register, or the ones covering Register)
  // fail with EFI_DEVICE_ERROR, present or not.
  void FailReads(Bdf Where, std::optional<UINT16> Register = std::nullopt);
  // Reads of the function that start at Register fail; a wider read that only
  // covers it (the whole header) succeeds.
  void FailReadsAt(Bdf Where, UINT16 Register);

  // One element of a root-bridge access; Address in the PCI address form.
  EFI_STATUS ConfigRead(UINT64 Address, UINT8 Width, UINT64 *Value);
  EFI_STATUS ConfigWrite(UINT64 Address, UINT8 Width, UINT64 Value);
  // Count elements of Width bytes from Address into Buffer, as Count calls of
  // ConfigRead would read them, stopping at the first that fails; *First gets
  // the first element's value. One lookup serves an access that stays within
  // one function's registers.
  EFI_STATUS ConfigReadElements(UINT64 Address, UINT8 Width, UINTN Count, UINT8 *Buffer, UINT64 *First);
  // One element read as ConfigRead would read it, for the reads that need
  // nothing but a lookup: no read of the board can fail and the read has no
  // effect. False, with nothing read, for every other read.
  bool ReadWithoutEffect(UINT64 Address, UINT8 Width, UINT64 *Value) const;
  // One access in the memory-mapped window.
  static bool InWindow(UINT64 PhysicalAddress);
  UINT64 WindowRead(UINT64 PhysicalAddress, UINT8 Width);
  void WindowWrite(UINT64 PhysicalAddress, UINT8 Width, UINT64 Value);

private:
  // Every access looks its function up, mostly to find nothing: software
  // probes all 256 device/function numbers of a bus. A table per bus in use
  // answers that directly; the map stays the owner and the ordered view.
  static constexpr unsigned kSlotsPerBus = 32 * 8;
  struct BusTable {
    std::array<PciFunction *, kSlotsPerBus> Functions{};
    std::bitset<kSlotsPerBus> FailsAll;  // in FailingFunctions
    std::bitset<kSlotsPerBus> FailsSome; // has entries in FailingRegisters
  };
  static std::vector<std::unique_ptr<BusTable>> &SpareTables();
  static bool Indexed(Bdf Where) { return Where.Device < 32 && Where.Function < 8; }
  static unsigned SlotOf(Bdf Where) { return Where.Device * 8U + Where.Function; }
  BusTable &TableFor(UINT8 Bus);

  bool ReadFails(Bdf Where, UINT32 Register, UINT8 Width) const;
  // True when no read of the function can fail (false: some may).
  bool NoReadFails(Bdf Where) const;
  UINT64 ReadBytes(Bdf Where, UINT32 Register, UINT8 Width);
  void WriteBytes(Bdf Where, UINT32 Register, UINT8 Width, UINT64 Value);

  std::map<Bdf, std::unique_ptr<PciFunction>> All;
  std::set<Bdf> FailingFunctions;
  std::set<std::pair<Bdf, UINT16>> FailingRegisters;
  std::set<std::pair<Bdf, UINT16>> FailingStarts;
  bool SomeReadsFail = false;
  std::array<std::unique_ptr<BusTable>, 256> Tables;
};

// Defined here so that the root bridge's read can answer most reads without a
// call (sim/Machine.cpp says why that matters).

inline UINT32 PciFunction::TrainingByte() const { return *PcieCap + published::layout::PCIE_LINK_STATUS_OFFSET + 1U; }

// Loaded at its width, as the little-endian host and the bus both order bytes.
[[gnu::always_inline]] inline UINT64 PciFunction::PeekElement(UINT32 Offset, UINT8 Width) const {
  const UINT8 *Element = &Config[Offset];
  switch (Width) {
  case 1:
    return *Element;
  case 2: {
    UINT16 Value;
    std::memcpy(&Value, Element, sizeof(Value));
    return Value;
  }
  case 4: {
    UINT32 Value;
    std::memcpy(&Value, Element, sizeof(Value));
    return Value;
  }
  default: {
    UINT64 Value;
    std::memcpy(&Value, Element, sizeof(Value));
    return Value;
  }
  }
}

[[gnu::always_inline]] inline bool PciBus::ReadWithoutEffect(UINT64 Address, UINT8 Width, UINT64 *Value) const {
  const auto Device = static_cast<UINT8>(Address >> 16);
  const auto Function = static_cast<UINT8>(Address >> 8);
  const auto Extended = static_cast<UINT32>(Address >> 32);
  const UINT32 Register = Extended != 0 ? Extended : static_cast<UINT32>(Address & 0xFF);
  if (SomeReadsFail || Device > published::layout::PCI_MAX_DEVICE || Function > published::layout::PCI_MAX_FUNCTION ||
      Register + Width > kConfigSpaceSize) {
    return false;
  }
  const BusTable *Table = Tables[static_cast<UINT8>(Address >> 24)].get();
  const PciFunction *Target = Table != nullptr ? Table->Functions[Device * 8U + Function] : nullptr;
  if (Target == nullptr) {
    *Value = Width == 8 ? ~0ULL : (1ULL << (Width * 8U)) - 1;
    return true;
  }
  if (Target->ReadHasEffect(Register, Width)) {
    return false;
  }
  *Value = Target->PeekElement(Register, Width);
  return true;
}

} // namespace sim
