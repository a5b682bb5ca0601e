// The runs each fuzzer makes from one input, checked against the invariants
// of checks/Invariants.h. Each returns the violations found (empty: the input
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

// What a checked enumeration is asked to do besides the enumeration itself.
struct EnumerationOptions {
  bool AspmSwitchedOff = false;           // the board holds a "DisableASPM" the driver must honour
  size_t FailingAllocation = 0;           // the Nth allocation after loading fails (0: none)
  std::vector<HostileCallback> Callbacks; // registered before the enumeration
  bool RequestOptionRoms = false;         // then GetPciRom for every handle with PCI I/O
};

struct EnumerationResult {
  std::vector<std::string> Violations;
  // One per option ROM request, in handle order: its status, and whether an
  // allocation failed while it ran.
  struct Request {
    EFI_STATUS Status;
    bool AllocationFailed;
  };
  std::vector<Request> Requests;
  size_t Allocations; // allocation requests after the driver was loaded
};

// Loads the driver into a board built by the caller, registers the callbacks,
// runs one whole enumeration (and the option ROM requests) and checks every
// invariant of the run.
EnumerationResult EnumerateAndCheck(sim::Machine &Board, const EnumerationOptions &Options = {});

// GetPciRom over handles with and without PCI I/O, devices matching the option
// ROM table or not, firmware volumes holding some files or failing, and
// "Setup" variables of any length (layout in Scenarios.cpp).
std::vector<std::string> RunOptionRomRequests(const uint8_t *Data, size_t Size);

// Sequences of RegisterCallback calls, dispatches and failing allocations,
// compared with the registry's documented behaviour (layout in Scenarios.cpp).
std::vector<std::string> RunCallbackRegistrations(const uint8_t *Data, size_t Size);

} // namespace fuzz
