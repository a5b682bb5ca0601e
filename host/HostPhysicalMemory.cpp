// The host build's side of the physical-memory seam: every load and store the
// driver makes at a physical address reaches the attached target.
#include "base/PhysicalMemory.h"
#include "host/HostSeam.h"

#include <cstdio>
#include <cstdlib>

namespace {

host::SeamTarget *Attached = nullptr;

} // namespace

namespace host {

void AttachSeamTarget(SeamTarget *Target) { Attached = Target; }

SeamTarget &AttachedSeamTarget() {
  if (Attached == nullptr) {
    std::fprintf(stderr, "host seam: the driver reached physical memory or recorded a decision with no target\n");
    std::abort();
  }
  return *Attached;
}

} // namespace host

UINT8 PhysicalRead8(UINT64 Address) { return static_cast<UINT8>(host::AttachedSeamTarget().PhysicalRead(Address, 1)); }

UINT16 PhysicalRead16(UINT64 Address) {
  return static_cast<UINT16>(host::AttachedSeamTarget().PhysicalRead(Address, 2));
}

void PhysicalWrite8(UINT64 Address, UINT8 Value) { host::AttachedSeamTarget().PhysicalWrite(Address, 1, Value); }

void PhysicalWrite16(UINT64 Address, UINT16 Value) { host::AttachedSeamTarget().PhysicalWrite(Address, 2, Value); }
