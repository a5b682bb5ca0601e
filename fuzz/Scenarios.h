// The runs each fuzzer makes from one input, checked against the invariants
// of sim/Invariants.h. Each returns the violations found (empty: the input
// passed). The fuzz targets abort on a violation; the ordinary test suite
// replays the committed corpus and every regression input through the same
// functions.
#pragma once

#include "fuzz/HostileBoard.h"
#include "sim/Machine.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzz {

// A whole enumeration, as the PCI bus driver drives one, over a board decoded
// from the input (fuzz/HostileBoard.h), with the callbacks it describes.
std::vector<std::string> RunEnumeration(const uint8_t *Data, size_t Size);

// Loads the driver into a board built by the caller, registers Callbacks,
// makes the FailingAllocation-th allocation from then on fail (0: none), runs
// one whole enumeration and checks every invariant of the run.
// AspmSwitchedOff: the board holds a "DisableASPM" variable the driver must
// honour.
std::vector<std::string> EnumerateAndCheck(sim::Machine &Board, bool AspmSwitchedOff, size_t FailingAllocation = 0,
                                           const std::vector<HostileCallback> &Callbacks = {});

// GetPciRom over handles with and without PCI I/O, devices matching the option
// ROM table or not, firmware volumes holding some files or failing, and
// "Setup" variables of any length (layout in Scenarios.cpp).
std::vector<std::string> RunOptionRomRequests(const uint8_t *Data, size_t Size);

// Sequences of RegisterCallback calls, dispatches and failing allocations,
// compared with the registry's documented behaviour (layout in Scenarios.cpp).
std::vector<std::string> RunCallbackRegistrations(const uint8_t *Data, size_t Size);

} // namespace fuzz
