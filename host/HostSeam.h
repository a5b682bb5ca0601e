// The host build's two seams in one place: the driver's physical loads and
// stores (base/PhysicalMemory.h) and its decision records (base/Decisions.h)
// reach whatever target is attached here. The firmware model attaches the
// machine the driver currently runs on; the driver library links this and
// nothing of the model.
#pragma once

#include "base/Decisions.h"

namespace host {

class SeamTarget {
public:
  virtual UINT64 PhysicalRead(UINT64 Address, UINT8 Width) = 0;
  virtual void PhysicalWrite(UINT64 Address, UINT8 Width, UINT64 Value) = 0;
  virtual void RecordDecision(const DECISION &Decision) = 0;

protected:
  SeamTarget() = default;
  ~SeamTarget() = default;
  SeamTarget(const SeamTarget &) = default;
  SeamTarget &operator=(const SeamTarget &) = default;
};

// Target receives every access and record from now on; null detaches it. An
// access with nothing attached is a fault of the host program: it aborts.
void AttachSeamTarget(SeamTarget *Target);

// The attached target; aborts when there is none.
SeamTarget &AttachedSeamTarget();

} // namespace host
