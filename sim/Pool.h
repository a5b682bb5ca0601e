// Boot-services pool with ownership tracking and fault injection: fail the Nth
// allocation from now on, and report double frees and frees of memory the
// pool never handed out instead of corrupting anything.
#pragma once

#include "base/Uefi.h"

#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace sim {

class Pool {
public:
  struct Allocation {
    UINTN Size;
    EFI_MEMORY_TYPE Type;
    size_t Sequence; // 1-based number of the allocation since the pool was made
  };

  Pool() = default;
  Pool(const Pool &) = delete;
  Pool &operator=(const Pool &) = delete;
  ~Pool();

  EFI_STATUS Allocate(EFI_MEMORY_TYPE Type, UINTN Size, VOID **Buffer);
  EFI_STATUS Free(VOID *Buffer);

  // The Nth allocation request from now (1 = the next one) fails with
  // EFI_OUT_OF_RESOURCES; 0 cancels.
  void FailAllocation(size_t Nth);
  // The Nth allocation request from now reports EFI_SUCCESS but hands back
  // no buffer, as a broken pool might; 0 cancels.
  void SucceedWithoutBuffer(size_t Nth);
  // Every allocation from now on fails while set.
  void FailAllAllocations(bool Fail) { FailAll = Fail; }

  bool IsLive(const VOID *Buffer) const { return Live.count(const_cast<VOID *>(Buffer)) != 0; }
  const std::map<VOID *, Allocation> &LiveAllocations() const { return Live; }
  size_t LiveCount() const { return Live.size(); }
  size_t AllocationRequests() const { return Requests; }
  size_t FailedAllocations() const { return Failed; }
  const std::vector<std::string> &Faults() const { return FaultLog; }

  // Poison written into fresh allocations, so that memory used without the
  // zero fill the driver promises shows up in tests.
  static constexpr UINT8 kFreshPoison = 0xAF;

private:
  std::map<VOID *, Allocation> Live;
  std::set<VOID *> Freed;
  std::vector<std::string> FaultLog;
  size_t Requests = 0;
  size_t Failed = 0;
  size_t FailAt = 0;
  size_t NullAt = 0;
  bool FailAll = false;
};

} // namespace sim
