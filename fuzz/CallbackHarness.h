// Other drivers' callbacks, as hostile as the fuzzers make them, and a
// reference model of the registry they are registered with. Every
// RegisterCallback call (made directly or from inside a callback while a
// dispatch runs) is predicted by the model and its status compared; every
// dispatch is compared with the order the model says the registrations must
// run in. A dispatch is recognised by its calls: consecutive calls with the
// same mask and address (a prepared controller, or one function of a walk).
#pragma once

#include "PciCallback.h"
#include "checks/Invariants.h"
#include "sim/CallbackRecorder.h"

#include <cstddef>
#include <string>
#include <vector>

namespace fuzz {

class CallbackHarness {
public:
  // What a slot's callback does after the call is recorded.
  struct SlotBehaviour {
    bool RegistersSlot = false; // registers RegisteredSlot with RegisteredMask
    size_t RegisteredSlot = 0;
    UINT32 RegisteredMask = 0;
    bool SetsHeaderType = false; // writes HeaderType into the record's header-type byte
    UINT8 HeaderType = 0;
    bool TogglesBridge = false; // flips the record between a bridge and an endpoint
    // Calls back into the platform protocol while it runs: PlatformNotify at
    // the begin (or end) of resource allocation, or PlatformPrepController.
    // Each must act on nothing: no access, no callback, and EFI_SUCCESS.
    bool CallsPlatform = false;
    UINT8 PlatformCall = 0; // 0 begin allocation, 1 end allocation, 2 prepare controller
  };

  // Protocol is the driver's PCI_CALLBACK_PROTOCOL; Violations collects what
  // the model and the checks find.
  CallbackHarness(sim::Machine &Board, PCI_CALLBACK_PROTOCOL &Protocol, std::vector<std::string> *Violations);

  void SetBehaviour(size_t Slot, const SlotBehaviour &Behaviour);

  // RegisterCallback of Slot's callback (or a null callback), checked against
  // the model.
  void Register(size_t Slot, UINT32 Mask);
  void RegisterNull(UINT32 Mask);
  // The Nth pool allocation from now fails (1 = the next). Registrations are
  // the only allocations while callbacks run, so the model knows which one
  // answers EFI_OUT_OF_RESOURCES.
  void FailAllocation(size_t Nth);

  // Calls recorded so far; a caller that expects no dispatch compares them.
  size_t Calls() const { return Recorder.Calls().size(); }
  // Ends the dispatch in progress, for a caller that knows one ended (two
  // dispatches of the same mask and address in a row would look like one).
  void EndDispatch();

  // The registry after the run: the driver's list holds exactly the model's
  // registrations in order, each a well-formed live entry (added to Owners).
  void CheckRegistry(sim::PoolOwners *Owners);

private:
  struct Registration {
    size_t Slot;
    UINT32 Mask;
    bool DuringCall;    // made by a callback while it ran
    size_t CallsBefore; // calls recorded when it was made
  };

  void Attempt(PCI_CALLBACK_FUNCTION *Function, size_t Slot, UINT32 Mask);
  void OnCall(const sim::CallbackCall &Call, PCI_DEVICE_RECORD *Record);
  void CallPlatform(UINT8 Which);
  // Checks the dispatch that ended before call End.
  void CheckDispatch(size_t End);

  sim::Machine &Board;
  PCI_CALLBACK_PROTOCOL &Protocol;
  std::vector<std::string> *Violations;
  sim::CallbackRecorder Recorder;
  std::vector<SlotBehaviour> Behaviours;
  std::vector<Registration> Model;
  size_t AllocationsUntilFailure = 0; // 0: none fails
  size_t DispatchStart = 0;           // first call of the dispatch in progress
  std::vector<size_t> ExpectedSlots;  // the slots a dispatch should call, kept between dispatches
  bool InCallback = false;
};

} // namespace fuzz
