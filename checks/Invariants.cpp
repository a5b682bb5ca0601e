#include "checks/Invariants.h"

#include "PciOptionRomSet.h"
#include "callbacks/PciCallbacks.h"
#include "published/PciLayout.h"
#include "published/Published.h"
#include "sim/CapabilityList.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <utility>

namespace sim {

namespace {

constexpr UINT8 kLinkControlBitsTheDriverSets =
    published::kLinkControlCommonClock | published::kLinkControlAspmL1 | published::kLinkControlRetrain;

std::string Describe(const Access &Entry) { return FormatAccess(Entry); }

Bdf WhereOf(const Access &Entry) { return {Entry.Bus(), Entry.Device(), Entry.Function()}; }

// The access before Index, when it is a successful read of the same address
// and width: the read half of a read-modify-write.
const Access *PrecedingRead(const std::vector<Access> &All, size_t Index, AccessKind ReadKind) {
  if (Index == 0) {
    return nullptr;
  }
  const Access &Previous = All[Index - 1];
  const Access &Write = All[Index];
  if (Previous.Kind != ReadKind || Previous.Address != Write.Address || Previous.Width != Write.Width ||
      EFI_ERROR(Previous.Status)) {
    return nullptr;
  }
  return &Previous;
}

std::string Violation(const char *What, const Access &Entry) { return std::string(What) + ": " + Describe(Entry); }

} // namespace

RegisterOwnership RegisterOwnership::Of(const PciBus &Bus) {
  RegisterOwnership Result;
  for (const auto &[Where, Function] : Bus.Functions()) {
    // The status bit is not consulted: a failed status read counts as a list
    // being present, so a sound search may follow the list either way.
    std::vector<UINT8> Found;
    for (const CapabilityEntry &Each : ListCapabilities(Function->Bytes(), {false, false})) {
      if (!Each.Extended && Each.Id == published::kPciExpressCapabilityId &&
          Each.Offset + published::kPcieCapabilityBytesUsed <= published::kPciConfigSpaceSize) {
        Found.push_back(static_cast<UINT8>(Each.Offset));
      }
    }
    for (const UINT8 Offset : Found) {
      Result.AnyCapabilityAt.set(Offset);
    }
    if (!Found.empty()) {
      Result.Functions.push_back({KeyOf(Where), std::move(Found)});
    }
  }
  return Result;
}

const std::vector<UINT8> *RegisterOwnership::CapabilitiesOf(Bdf Where) const {
  const UINT32 Key = KeyOf(Where);
  const auto Found = std::lower_bound(Functions.begin(), Functions.end(), Key,
                                      [](const Function &Each, UINT32 Wanted) { return Each.Key < Wanted; });
  return Found == Functions.end() || Found->Key != Key ? nullptr : &Found->Offsets;
}

bool RegisterOwnership::IsLinkControl(Bdf Where, UINT32 Register) const {
  return IsCapabilityRegister(Where, Register, published::kPcieLinkControlOffset);
}

bool RegisterOwnership::IsCapabilityRegister(Bdf Where, UINT32 Register, UINT32 Offset) const {
  if (Register < Offset || Register - Offset >= AnyCapabilityAt.size() || !AnyCapabilityAt.test(Register - Offset)) {
    return false;
  }
  const std::vector<UINT8> *Offsets = CapabilitiesOf(Where);
  if (Offsets == nullptr) {
    return false;
  }
  for (const UINT8 Cap : *Offsets) {
    if (Register == Cap + Offset) {
      return true;
    }
  }
  return false;
}

bool RegisterOwnership::IsDeviceControl(Bdf Where, UINT32 Register) const {
  return IsCapabilityRegister(Where, Register, published::kPcieDeviceControlOffset);
}

std::vector<std::string> CheckConfigurationWrites(const AccessLog &Log, const RegisterOwnership &Owned,
                                                  bool AspmDisabled) {
  std::vector<std::string> Violations;
  const auto &All = Log.All();
  for (size_t Index = 0; Index < All.size(); ++Index) {
    const Access &Entry = All[Index];
    if (Entry.Kind != AccessKind::ConfigWrite) {
      continue;
    }
    if (Entry.Count != 1 || (Entry.Address >> 32) != 0) {
      Violations.push_back(Violation("configuration write of more than one register", Entry));
      continue;
    }
    const Bdf Where = WhereOf(Entry);
    const bool LinkControl = Entry.Width == 1 && Owned.IsLinkControl(Where, Entry.Register());
    const bool DeviceControl = Entry.Width == 2 && Owned.IsDeviceControl(Where, Entry.Register());
    if (!LinkControl && !DeviceControl) {
      Violations.push_back(Violation("configuration write to a register the driver does not own", Entry));
      continue;
    }
    if (LinkControl && AspmDisabled) {
      Violations.push_back(Violation("link control written while DisableASPM exists", Entry));
      continue;
    }
    const Access *Read = PrecedingRead(All, Index, AccessKind::ConfigRead);
    if (Read == nullptr) {
      Violations.push_back(Violation("configuration write without reading the register first", Entry));
      continue;
    }
    const UINT64 Changed = Read->Value ^ Entry.Value;
    const bool Kept = LinkControl ? (Entry.Value & Read->Value) == Read->Value &&
                                        (Changed & ~static_cast<UINT64>(kLinkControlBitsTheDriverSets)) == 0
                                  : (Changed & ~static_cast<UINT64>(published::kDeviceControlMaxPayloadMask)) == 0;
    if (!Kept) {
      Violations.push_back(Violation("write changes bits the driver does not own", Entry));
    }
  }
  return Violations;
}

namespace {

// What the link registers read last, as a log is followed.
struct LinkReads {
  bool LastCapabilities = true;       // the latest link-capabilities read succeeded
  bool LastStatus[2] = {true, true};  // the two latest link-status reads did
  std::map<Bdf, bool> CapabilitiesOf; // each function's latest link-capabilities read did

  void Note(const Access &Entry, const RegisterOwnership &Owned) {
    const Bdf Where = WhereOf(Entry);
    const bool Read = !EFI_ERROR(Entry.Status);
    if (Entry.Width == 4 &&
        Owned.IsCapabilityRegister(Where, Entry.Register(), published::layout::PCIE_LINK_CAPABILITIES_OFFSET)) {
      LastCapabilities = Read;
      CapabilitiesOf[Where] = Read;
    } else if (Entry.Width == 2 &&
               Owned.IsCapabilityRegister(Where, Entry.Register(), published::kPcieLinkStatusOffset)) {
      LastStatus[0] = LastStatus[1];
      LastStatus[1] = Read;
    }
  }

  bool Qualified(Bdf Where) const {
    const auto Own = CapabilitiesOf.find(Where);
    return LastCapabilities && LastStatus[0] && LastStatus[1] && (Own == CapabilitiesOf.end() || Own->second);
  }
};

} // namespace

std::vector<std::string> CheckLinkWritesFollowReads(const AccessLog &Log, const RegisterOwnership &Owned) {
  std::vector<std::string> Violations;
  LinkReads Reads;
  const auto &All = Log.All();
  for (size_t Index = 0; Index < All.size(); ++Index) {
    const Access &Entry = All[Index];
    if (Entry.Kind == AccessKind::ConfigRead) {
      Reads.Note(Entry, Owned);
      continue;
    }
    if (Entry.Kind != AccessKind::ConfigWrite || Entry.Width != 1 ||
        !Owned.IsLinkControl(WhereOf(Entry), Entry.Register())) {
      continue;
    }
    const Access *Read = PrecedingRead(All, Index, AccessKind::ConfigRead);
    const bool RetrainRequest = Read != nullptr && (Entry.Value & ~Read->Value & published::kLinkControlRetrain) != 0;
    if (!RetrainRequest && !Reads.Qualified(WhereOf(Entry))) {
      Violations.push_back(Violation("link control written after a failed read of what the link qualifies on", Entry));
    }
  }
  return Violations;
}

std::vector<std::string> CheckWindowWrites(const AccessLog &Log, const RegisterOwnership &Owned, bool AspmDisabled) {
  std::vector<std::string> Violations;
  std::map<UINT64, UINT64> LastLinkSetup;
  const auto &All = Log.All();
  for (size_t Index = 0; Index < All.size(); ++Index) {
    const Access &Entry = All[Index];
    if (Entry.Kind != AccessKind::WindowWrite) {
      continue;
    }
    if (AspmDisabled) {
      Violations.push_back(Violation("window written while DisableASPM exists", Entry));
      continue;
    }
    const bool LinkSetup = Entry.Width == 1 && Entry.Register() == published::kWindowLinkSetupRegister;
    const bool PortControl = Entry.Width == 2 && Entry.Register() == published::kWindowPortControlRegister;
    if ((!LinkSetup && !PortControl) || !Owned.HasPcieCapability(WhereOf(Entry))) {
      Violations.push_back(Violation("window write to a register the driver does not own", Entry));
      continue;
    }
    const Access *Read = PrecedingRead(All, Index, AccessKind::WindowRead);
    if (Read == nullptr) {
      Violations.push_back(Violation("window write without reading the register first", Entry));
      continue;
    }
    const bool Kept =
        LinkSetup ? (Read->Value ^ Entry.Value) == published::kWindowLinkSetupActive || Read->Value == Entry.Value
                  : Entry.Value == (Read->Value | published::kWindowPortControlBit);
    if (!Kept) {
      Violations.push_back(Violation("window write changes bits the driver does not own", Entry));
    }
    if (LinkSetup) {
      LastLinkSetup[Entry.Address] = Entry.Value;
    }
  }
  for (const auto &[Address, Value] : LastLinkSetup) {
    if ((Value & published::kWindowLinkSetupActive) != 0) {
      char Text[96];
      std::snprintf(Text, sizeof(Text), "link-setup bit left set at %#llx", static_cast<unsigned long long>(Address));
      Violations.emplace_back(Text);
    }
  }
  return Violations;
}

std::vector<std::string> CheckMemoryWrites(const AccessLog &Log) {
  std::vector<std::string> Violations;
  for (const Access &Entry : Log.All()) {
    if (Entry.Kind != AccessKind::MemoryWrite) {
      continue;
    }
    bool Owned = false;
    for (const published::IoApicAssignment &IoApic : published::kIoApics) {
      Owned = Owned || Entry.Address == IoApic.Base || Entry.Address == IoApic.Base + published::kIoApicDataOffset;
    }
    if (!Owned || Entry.Width != 4 || Entry.Count != 1) {
      Violations.push_back(Violation("memory write outside the I/O APIC registers", Entry));
    }
  }
  return Violations;
}

RunBudget BudgetFor(const PciBus &Bus, size_t Enumerations, size_t Requests) {
  // Each walk enters every bus at most once and probes at most 256 functions
  // there; a present function costs its header, one capability search of at
  // most 48 entries and a few registers, and in the ASPM pass up to eight
  // child functions and one bounded retrain wait. Five walks per enumeration:
  // two callback walks, ASPM, and the two max payload walks.
  // The stalls of all retrain waits of one pass stay within the budget the
  // README states, however many links never train.
  constexpr size_t kWalksPerEnumeration = 5;
  constexpr size_t kAccessesPerBusScan = 2 * 256;
  constexpr size_t kPollsPerRetrain =
      published::kRetrainWaitMostMicroseconds / published::kRetrainPollIntervalMicroseconds + 1;
  constexpr size_t kAccessesPerFunction = 8 * 128 + kPollsPerRetrain + 256;
  constexpr size_t kAccessesPerRequest = 8;
  const size_t Functions = Bus.Functions().size();
  const size_t Buses = std::min<size_t>(256, Functions + 1);
  const size_t PerWalk = Buses * kAccessesPerBusScan + Functions * kAccessesPerFunction;
  constexpr size_t kStallsPerPass = kRetrainWaitBudgetMicroseconds / published::kRetrainPollIntervalMicroseconds;
  return {Enumerations * kWalksPerEnumeration * PerWalk + Requests * kAccessesPerRequest, Enumerations * kStallsPerPass,
          Enumerations * kRetrainWaitBudgetMicroseconds};
}

std::vector<std::string> CheckBudget(const Machine &Board, const RunBudget &Budget) {
  std::vector<std::string> Violations;
  if (Board.AccessesCounted() > Budget.Accesses) {
    Violations.push_back("made " + std::to_string(Board.AccessesCounted()) + " accesses, budget " +
                         std::to_string(Budget.Accesses));
  }
  if (Board.StallCalls() > Budget.Stalls) {
    Violations.push_back("stalled " + std::to_string(Board.StallCalls()) + " times, budget " +
                         std::to_string(Budget.Stalls));
  }
  if (Board.ElapsedMicroseconds() > Budget.StallMicroseconds) {
    Violations.push_back("retrain waits stalled " + std::to_string(Board.ElapsedMicroseconds()) +
                         " us, more than the stated budget of " + std::to_string(Budget.StallMicroseconds) + " us");
  }
  return Violations;
}

std::vector<std::string> CheckOptionRomSets(Machine &Board, PoolOwners *Owners) {
  std::vector<std::string> Violations;
  static constexpr EFI_GUID kSetGuid = published::kOptionRomSetGuid;
  const Pool &Memory = Board.Memory();
  for (const EFI_HANDLE Handle : Board.Handles().HandlesWith(kSetGuid)) {
    const auto *Set = static_cast<const PCI_OPTION_ROM_SET *>(Board.Handles().Find(Handle, kSetGuid));
    const auto Live = Memory.LiveAllocations().find(const_cast<PCI_OPTION_ROM_SET *>(Set));
    if (Live == Memory.LiveAllocations().end() || Live->second.Size != sizeof(PCI_OPTION_ROM_SET)) {
      Violations.emplace_back("installed option ROM set is not a live 16-byte pool allocation");
      continue;
    }
    Owners->insert(Set);
    bool ReservedZero = true;
    for (const UINT8 Byte : Set->Reserved) {
      ReservedZero = ReservedZero && Byte == 0;
    }
    if (Set->Count < published::kOptionRomSetMinImages || Set->Count > published::kOptionRomSetMaxImages ||
        !ReservedZero) {
      Violations.push_back("option ROM set count " + std::to_string(Set->Count) +
                           (ReservedZero ? "" : ", reserved not zero"));
      continue;
    }
    const auto Array = Memory.LiveAllocations().find(Set->Images);
    if (Array == Memory.LiveAllocations().end() || Array->second.Size != Set->Count * sizeof(PCI_OPTION_ROM_IMAGE)) {
      Violations.emplace_back("option ROM set array is not a live allocation of Count entries");
      continue;
    }
    Owners->insert(Set->Images);
    for (UINT8 Index = 0; Index < Set->Count; ++Index) {
      const PCI_OPTION_ROM_IMAGE &Entry = Set->Images[Index];
      if (Entry.Image == nullptr || Entry.Size == 0) {
        Violations.push_back("option ROM set entry " + std::to_string(Index) + " holds a null or empty image");
        continue;
      }
      const auto Image = Memory.LiveAllocations().find(Entry.Image);
      if (Image == Memory.LiveAllocations().end() || Image->second.Size != Entry.Size) {
        Violations.push_back("option ROM set entry " + std::to_string(Index) + " is not a live image of its size");
        continue;
      }
      Owners->insert(Entry.Image);
    }
  }
  return Violations;
}

std::vector<std::string> CheckReturnedImages(Machine &Board, const std::vector<ReturnedImage> &Images,
                                             PoolOwners *Owners) {
  std::vector<std::string> Violations;
  const auto &Live = Board.Memory().LiveAllocations();
  for (const ReturnedImage &Returned : Images) {
    const auto Found = Live.find(Returned.Image);
    if (Found == Live.end() || Found->second.Size != Returned.Size) {
      Violations.emplace_back("returned option ROM image is not a live allocation of the size returned");
      continue;
    }
    Owners->insert(Returned.Image);
  }
  return Violations;
}

std::vector<std::string> CheckCallbackEntries(Machine &Board, std::vector<RegisteredCallback> *Found,
                                              PoolOwners *Owners) {
  std::vector<std::string> Violations;
  const auto &Live = Board.Memory().LiveAllocations();
  const LIST_ENTRY *const Head = PciCallbackRegistrations();
  // A ring of n entries returns to its head after n steps; more means a cycle
  // that skips the head.
  const size_t MostSteps = Live.size() + 1;
  size_t Steps = 0;
  for (const LIST_ENTRY *Link = Head->ForwardLink; Link != Head; Link = Link->ForwardLink) {
    auto *Entry = CallbackEntryFromLink(Link);
    const auto Allocation = Live.find(const_cast<PCI_CALLBACK_ENTRY *>(Entry));
    if (++Steps > MostSteps || Allocation == Live.end() || Allocation->second.Size != sizeof(PCI_CALLBACK_ENTRY)) {
      Violations.emplace_back("callback list reaches memory that is no live entry");
      return Violations;
    }
    Owners->insert(Entry);
    if (Link->ForwardLink->BackLink != Link) {
      Violations.emplace_back("callback list links do not agree");
    }
    if (Entry->Signature != published::kCallbackEntrySignature || Entry->Callback == nullptr ||
        (Entry->Mask & published::kCallbackPoints) == 0) {
      Violations.emplace_back("callback entry without its signature, callback or a known point");
    }
    for (const RegisteredCallback &Earlier : *Found) {
      if (Earlier.Callback == Entry->Callback) {
        Violations.emplace_back("callback registered twice");
      }
    }
    Found->push_back({Entry->Callback, Entry->Mask});
  }
  if (Head->BackLink->ForwardLink != Head) {
    Violations.emplace_back("callback list head links do not agree");
  }
  return Violations;
}

std::vector<std::string> CheckPoolAccounting(Machine &Board, const PoolOwners &Owners) {
  const Pool &Memory = Board.Memory();
  std::vector<std::string> Violations = Memory.Faults();
  for (const auto &[Buffer, Info] : Memory.LiveAllocations()) {
    if (Owners.count(Buffer) == 0) {
      Violations.push_back("allocation " + std::to_string(Info.Sequence) + " of " + std::to_string(Info.Size) +
                           " bytes is neither freed nor owned");
    }
  }
  return Violations;
}

} // namespace sim
