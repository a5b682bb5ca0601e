// Properties every run of the driver must keep, whatever the board does:
// writes only to registers the driver owns, read-modify-writes that keep the
// bits they do not own, a bounded amount of work, pool memory either freed or
// handed to its documented owner, and records laid out as other drivers read
// them. Each check returns one line per violation; an empty result is a pass.
// The unit tests, the allocation-failure sweep and the fuzzers share them.
#pragma once

#include "published/Published.h"

#include "sim/Machine.h"

#include <bitset>
#include <set>
#include <string>
#include <vector>

namespace sim {

// The PCI Express capabilities of every function as the board lays them out
// before a run: what a sound capability search can find, so the only places
// where link control and device control can be. Taken before the run because
// the driver's own writes may change what the list looks like afterwards.
class RegisterOwnership {
public:
  static RegisterOwnership Of(const PciBus &Bus);

  bool HasPcieCapability(Bdf Where) const { return CapabilitiesOf(Where) != nullptr; }
  bool IsLinkControl(Bdf Where, UINT32 Register) const;
  bool IsDeviceControl(Bdf Where, UINT32 Register) const;
  // Register is Offset into one of Where's PCI Express capabilities.
  bool IsCapabilityRegister(Bdf Where, UINT32 Register, UINT32 Offset) const;

private:
  struct Function {
    UINT32 Key;                 // bus, device and function packed in that order
    std::vector<UINT8> Offsets; // offsets holding ID 0x10 in the list, in list order
  };
  static UINT32 KeyOf(Bdf Where) { return Where.Bus << 16U | Where.Device << 8U | Where.Function; }
  // Null where the function has no PCI Express capability.
  const std::vector<UINT8> *CapabilitiesOf(Bdf Where) const;

  // Sorted by key: the checks look a function up for every read of a run.
  std::vector<Function> Functions;
  // Offsets where any function has one, so that most reads (headers, other
  // capabilities) are told apart without a lookup.
  std::bitset<256> AnyCapabilityAt;
};

// Configuration writes: only the link control low byte (never while
// "DisableASPM" exists) and device control of a PCI Express capability, each
// right after a read of the same register, setting only common clock, L1 and
// retrain in link control and changing only the payload field of device
// control.
std::vector<std::string> CheckConfigurationWrites(const AccessLog &Log, const RegisterOwnership &Owned,
                                                  bool AspmDisabled);

// No configuration write derived from a failed read: a write of common clock
// or L1 into link control (any but the one that requests a retrain) follows
// successful reads of what a link qualifies on. The latest link-capabilities
// read (the child's), the two latest link-status reads (the port's and the
// child's) and the latest link-capabilities read of the written function
// itself, where there was one, must all have succeeded.
std::vector<std::string> CheckLinkWritesFollowReads(const AccessLog &Log, const RegisterOwnership &Owned);

// Window writes: none while "DisableASPM" exists; otherwise only register
// 0x174 (8 bits, toggling bit 2) and 0x56 (16 bits, setting bit 12) of
// functions with a PCI Express capability, each right after a read of it, and
// every link-setup bit that was set is cleared again by the end of the run.
std::vector<std::string> CheckWindowWrites(const AccessLog &Log, const RegisterOwnership &Owned, bool AspmDisabled);

// Memory writes through CPU I/O: only the index and data registers of the
// three I/O APICs, 32 bits at a time.
std::vector<std::string> CheckMemoryWrites(const AccessLog &Log);

// Work done, counted in accesses and stalls rather than wall time.
struct RunBudget {
  size_t Accesses;
  size_t Stalls;
  UINT64 StallMicroseconds; // the retrain waits' budget the README states, per begin-allocation pass
};

// The bound the README states for all retrain waits of one pass: 2 s.
inline constexpr UINT64 kRetrainWaitBudgetMicroseconds = published::kRetrainWaitBudgetMicroseconds;
// The most a sound driver needs for Enumerations full enumerations plus
// Requests option ROM requests on this board: linear in the number of
// functions and buses, whatever the bus numbers and capability lists say.
RunBudget BudgetFor(const PciBus &Bus, size_t Enumerations, size_t Requests);
std::vector<std::string> CheckBudget(const Machine &Board, const RunBudget &Budget);

// An image GetPciRom handed to its caller, who owns it from then on.
struct ReturnedImage {
  VOID *Image;
  UINTN Size;
};

// Pool memory whose owner is documented, built up by the checks below.
using PoolOwners = std::set<const VOID *>;

// Every PCI_OPTION_ROM_SET installed on a handle: Count 2 to 4 in the first
// byte, the other seven bytes zero, an array of exactly Count entries, every
// entry a live, non-empty image of the size it states. The set, its array and its images
// are added to Owners.
std::vector<std::string> CheckOptionRomSets(Machine &Board, PoolOwners *Owners);

// Images returned to the caller are live, of the size returned, and owned by
// the caller from then on (added to Owners).
std::vector<std::string> CheckReturnedImages(Machine &Board, const std::vector<ReturnedImage> &Images,
                                             PoolOwners *Owners);

// A registration as the driver's callback list holds it.
struct RegisteredCallback {
  PCI_CALLBACK_FUNCTION *Callback;
  UINT32 Mask;
};

// The callback list: a sound doubly linked ring from the driver's list head
// through live pool entries of the documented size, each signed "Pcic", with
// a distinct non-null callback and a mask selecting at least one point. The
// registrations go to Found in list order, the entries to Owners.
std::vector<std::string> CheckCallbackEntries(Machine &Board, std::vector<RegisteredCallback> *Found,
                                              PoolOwners *Owners);

// No double or foreign free, and every live allocation has an owner.
std::vector<std::string> CheckPoolAccounting(Machine &Board, const PoolOwners &Owners);

} // namespace sim
