// PCI_CALLBACK_PROTOCOL through the real firmware: registrations, the two
// walks over QEMU's hierarchy compared with the firmware's PCI I/O handles,
// and the prepare-controller dispatch.
#include "CallbackLog.h"
#include "Checks.h"
#include "Firmware.h"
#include "PhasePlay.h"

namespace e2e {
namespace {

constexpr UINT32 kMaskPrepController = 0x1;
constexpr UINT32 kMaskBeginAllocation = 0x2;
constexpr UINT32 kMaskEndAllocation = 0x4;
// Bit 3 selects nothing; it is kept, and only the prepare-controller bit counts.
constexpr UINT32 kMaskPrepControllerAndUnused = 0x9;
constexpr UINT32 kMaskUnusedOnly = 0x8;

// The Status register reflects live device state; everything else in the
// header must read the same through the firmware's PCI I/O and the driver.
constexpr UINTN kStatusOffset = 0x06;
constexpr UINTN kAbsentProbeBytes = 4;

bool HeaderMatches(const UINT8 *Got, const UINT8 *Want, UINTN From = 0) {
  for (UINTN Offset = From; Offset < kPciHeaderBytes; ++Offset) {
    if (Offset != kStatusOffset && Offset != kStatusOffset + 1 && Got[Offset] != Want[Offset]) {
      return false;
    }
  }
  return true;
}

EFI_STATUS Register(const Scenario &Run, PCI_CALLBACK_FUNCTION *Callback, UINT32 Mask) {
  return Run.Callback->RegisterCallback(Run.Callback, Callback, Mask);
}

// The device record every call receives: the one in the driver's image.
const PCI_DEVICE_RECORD *gRecord = nullptr;

// For every function in walk order, the first callback then the one
// registered for both walks, each with the walk's mask bit and a record
// holding the function's header and the located services.
void CheckWalk(const Scenario &Run, const char *Name, const PhaseCall &Call, UINT32 Mask, CallbackId First) {
  Check Result(Name);
  const bool Complete =
      Result.ExpectEqual(Call.CallbackCount, 2 * Run.Pci.WalkCount, "callback calls") &&
      Result.Expect(Call.CallbackFirst + Call.CallbackCount <= kCallbackCallCapacity, "callback log overflow") &&
      Result.Expect(Run.Pci.WalkCount == Run.Pci.Count, "a PCI I/O handle not reachable from bus 0");
  if (Complete) {
    if (gRecord == nullptr) {
      gRecord = CallbackCallAt(Call.CallbackFirst).Record;
    }
    Result.Expect(Run.Driver.Contains(gRecord), "the device record lies outside the driver image");
    UINTN Index = Call.CallbackFirst;
    for (UINTN Step = 0; Step < Run.Pci.WalkCount; ++Step) {
      const PciFunctionView &Function = Run.Pci.Functions[Run.Pci.WalkOrder[Step]];
      const CallbackId Order[] = {First, CallbackId::BothWalks};
      for (const CallbackId Id : Order) {
        const CallbackCall &Got = CallbackCallAt(Index);
        Result.ExpectEqualAt(static_cast<UINT64>(Got.Id), static_cast<UINT64>(Id), "callback, call", Index);
        Result.ExpectEqualAt(Got.PciAddress, Function.Address(), "address, call", Index);
        Result.ExpectEqualAt(Got.Mask, Mask, "mask, call", Index);
        Result.Expect(Got.RootBridgeHandle == Run.RootBridgeHandle, "not the recorded root bridge handle");
        Result.Expect(Got.Record == gRecord, "callbacks got different records");
        Result.Expect(HeaderMatches(Got.Copy.Header, Function.Header), "record header differs from PCI I/O's");
        Result.Expect(Got.Copy.RootBridgeIo == Run.RootBridgeIo, "record RootBridgeIo is not the root bridge");
        Result.Expect(Got.Copy.CpuIo == Run.Report->CpuIo, "record CpuIo is not the located CPU I/O");
        ++Index;
      }
    }
  }
  Result.Report();
}

struct PrepCall {
  EFI_PCI_CONTROLLER_RESOURCE_ALLOCATION_PHASE Phase;
  EFI_PCI_EXECUTION_PHASE ChipsetPhase;
};
constexpr PrepCall kPrepCalls[] = {{EfiPciBeforeChildBusEnumeration, ChipsetEntry},
                                   {EfiPciBeforeChildBusEnumeration, ChipsetExit},
                                   {EfiPciBeforeResourceCollection, ChipsetEntry},
                                   {EfiPciBeforeResourceCollection, ChipsetExit}};

// Only the entry call before child-bus enumeration dispatches: the
// prepare-controller callback alone, with the address as passed, the first
// root bridge ever named rather than this call's, and the record as the last
// walk left it: the last header read, its first four bytes overwritten by the
// probes of the absent functions 4-7 of QEMU's device 31 that followed.
void CheckPrepDispatch(const Scenario &Run) {
  Check Result("prep.dispatch");
  const EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_PCI_ADDRESS Address = {0x00, 0, 0, 4, 0};
  const UINT64 AddressValue = static_cast<UINT64>(Address.Bus) << 24;
  EFI_HANDLE OtherRootBridge = Run.DriverHandle;
  const UINTN First = CallbackCallCount();
  for (const PrepCall &Call : kPrepCalls) {
    Result.ExpectStatus(Run.Platform->PlatformPrepController(Run.Platform, Run.HostBridgeHandle, OtherRootBridge,
                                                             Address, Call.Phase, Call.ChipsetPhase),
                        EFI_SUCCESS, "PlatformPrepController");
  }
  if (Result.ExpectEqual(CallbackCallCount() - First, 1, "callback calls")) {
    const CallbackCall &Got = CallbackCallAt(First);
    const PciFunctionView &Last = Run.Pci.Functions[Run.Pci.WalkOrder[Run.Pci.WalkCount - 1]];
    Result.ExpectEqual(static_cast<UINT64>(Got.Id), static_cast<UINT64>(CallbackId::PrepController), "callback");
    Result.ExpectEqual(Got.PciAddress, AddressValue, "address");
    Result.ExpectEqual(Got.Mask, kMaskPrepController, "mask");
    Result.Expect(Got.RootBridgeHandle == Run.RootBridgeHandle, "not the first root bridge handle");
    Result.Expect(Got.Record == gRecord, "not the walks' record");
    for (UINTN Offset = 0; Offset < kAbsentProbeBytes; ++Offset) {
      Result.ExpectEqualAt(Got.Copy.Header[Offset], 0xFF, "record header byte", Offset);
    }
    Result.Expect(HeaderMatches(Got.Copy.Header, Last.Header, kAbsentProbeBytes),
                  "record header is not the last one the walk read");
    Result.Expect(Got.Copy.RootBridgeIo == Run.RootBridgeIo, "record RootBridgeIo is not the root bridge");
    Result.Expect(Got.Copy.CpuIo == Run.Report->CpuIo, "record CpuIo is not the located CPU I/O");
  }
  Result.Report();
}

} // namespace

void RunCallbackRegistrationChecks(Scenario &Run) {
  if (Run.Callback == nullptr) {
    Check Accepts("callback.register-accepts");
    Accepts.Expect(false, "no PCI_CALLBACK_PROTOCOL");
    Accepts.Report();
    Check Refuses("callback.register-refuses");
    Refuses.Expect(false, "no PCI_CALLBACK_PROTOCOL");
    Refuses.Report();
    return;
  }
  Check Accepts("callback.register-accepts");
  Accepts.ExpectStatus(Register(Run, CallbackFunction(CallbackId::BeginWalk), kMaskBeginAllocation), EFI_SUCCESS,
                       "begin-allocation callback");
  Accepts.ExpectStatus(Register(Run, CallbackFunction(CallbackId::EndWalk), kMaskEndAllocation), EFI_SUCCESS,
                       "end-allocation callback");
  Accepts.ExpectStatus(
      Register(Run, CallbackFunction(CallbackId::BothWalks), kMaskBeginAllocation | kMaskEndAllocation), EFI_SUCCESS,
      "callback for both walks");
  Accepts.ExpectStatus(Register(Run, CallbackFunction(CallbackId::PrepController), kMaskPrepControllerAndUnused),
                       EFI_SUCCESS, "prepare-controller callback with an unused bit");
  Accepts.Report();

  // A refused registration must not be called later: the walks and the
  // dispatch check every call's callback.
  Check Refuses("callback.register-refuses");
  Refuses.ExpectStatus(Register(Run, CallbackFunction(CallbackId::BeginWalk), kMaskEndAllocation), EFI_UNSUPPORTED,
                       "the same callback again");
  Refuses.ExpectStatus(Register(Run, nullptr, kMaskBeginAllocation), EFI_INVALID_PARAMETER, "a null callback");
  Refuses.ExpectStatus(Register(Run, CallbackFunction(CallbackId::Refused), 0), EFI_INVALID_PARAMETER, "mask 0");
  Refuses.ExpectStatus(Register(Run, CallbackFunction(CallbackId::Refused), kMaskUnusedOnly), EFI_INVALID_PARAMETER,
                       "a mask selecting no point");
  Refuses.Report();
}

void RunWalkChecks(Scenario &Run) {
  CheckWalk(Run, "walk.begin-allocation", FindPhaseCall(EfiPciHostBridgeBeginResourceAllocation, ChipsetExit),
            kMaskBeginAllocation, CallbackId::BeginWalk);
  CheckWalk(Run, "walk.end-allocation", FindPhaseCall(EfiPciHostBridgeEndResourceAllocation, ChipsetExit),
            kMaskEndAllocation, CallbackId::EndWalk);
  CheckPrepDispatch(Run);
}

} // namespace e2e
