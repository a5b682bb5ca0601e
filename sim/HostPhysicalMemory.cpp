// The host build's side of the physical-memory seam: every load and store the
// driver makes at a physical address reaches the current machine.
#include "base/Decisions.h"
#include "base/PhysicalMemory.h"
#include "sim/Machine.h"

UINT8 PhysicalRead8(UINT64 Address) { return static_cast<UINT8>(sim::Machine::Current().PhysicalRead(Address, 1)); }

UINT16 PhysicalRead16(UINT64 Address) { return static_cast<UINT16>(sim::Machine::Current().PhysicalRead(Address, 2)); }

void PhysicalWrite8(UINT64 Address, UINT8 Value) { sim::Machine::Current().PhysicalWrite(Address, 1, Value); }

void PhysicalWrite16(UINT64 Address, UINT16 Value) { sim::Machine::Current().PhysicalWrite(Address, 2, Value); }

// The other seam of the host build: the driver's decision records go to the
// current machine too.
void RecordDecision(const DECISION &Decision) { sim::Machine::Current().RecordDecision(Decision); }
