// The ordered log of every configuration, window and memory access the driver
// makes, so tests can assert exact sequences and reports can count accesses.
#pragma once

#include "base/Uefi.h"

#include <array>
#include <cstddef>
#include <string>
#include <vector>

namespace sim {

enum class AccessKind {
  ConfigRead,  // root bridge Pci.Read; Address in the PCI address form
  ConfigWrite, // root bridge Pci.Write
  WindowRead,  // physical load in the configuration window; Address physical
  WindowWrite, // physical store in the configuration window
  MemoryRead,  // CPU I/O Mem.Read; Address physical
  MemoryWrite, // CPU I/O Mem.Write
};

inline constexpr size_t kAccessKinds = 6;

const char *AccessKindName(AccessKind Kind);

struct Access {
  AccessKind Kind;
  UINT64 Address;
  UINT8 Width; // bytes per element
  UINTN Count;
  UINT64 Value; // first element, zero-extended
  EFI_STATUS Status;

  bool IsWrite() const;
  // For configuration and window accesses: the function and register reached.
  UINT8 Bus() const;
  UINT8 Device() const;
  UINT8 Function() const;
  UINT16 Register() const;
};

std::string FormatAccess(const Access &Entry);

// A log takes over the storage the previous one left behind (one machine
// follows another in every test, fuzz run and benchmark): a log that grows
// afresh each run spends most of its time copying itself into new memory and
// faulting those pages in, far more than recording accesses.
class AccessLog {
public:
  AccessLog();
  ~AccessLog();
  AccessLog(const AccessLog &Other) : Entries(Other.Entries), Recorded(Other.Recorded) {}
  AccessLog &operator=(const AccessLog &Other) = default;

  void Record(const Access &Entry) {
    Entries.push_back(Entry);
    ++Recorded[static_cast<size_t>(Entry.Kind)];
  }
  // Recording without growing the storage, for callers that must not call out
  // (sim/Machine.cpp); only when HasRoom().
  bool HasRoom() const { return Entries.size() != Entries.capacity(); }
  void RecordInRoom(const Access &Entry) {
    if (!HasRoom()) {
      __builtin_unreachable();
    }
    Entries.push_back(Entry);
    ++Recorded[static_cast<size_t>(Entry.Kind)];
  }
  // Entries of each kind recorded since the log was made, cleared or not: what
  // a span of the run recorded, without reading the entries again.
  const std::array<size_t, kAccessKinds> &RecordedByKind() const { return Recorded; }
  const std::vector<Access> &All() const { return Entries; }
  void Clear() { Entries.clear(); }
  size_t Count(AccessKind Kind) const;
  std::vector<Access> Writes() const;

private:
  std::vector<Access> Entries;
  std::array<size_t, kAccessKinds> Recorded{};
};

} // namespace sim
