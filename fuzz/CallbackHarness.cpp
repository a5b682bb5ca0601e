#include "fuzz/CallbackHarness.h"

#include "callbacks/PciCallbacks.h"
#include "driver/Driver.h"
#include "published/PciLayout.h"
#include "published/Published.h"

#include <cstdio>

namespace fuzz {

namespace {

std::string StatusText(EFI_STATUS Status) {
  char Text[32];
  std::snprintf(Text, sizeof(Text), "%#llx", static_cast<unsigned long long>(Status));
  return Text;
}

} // namespace

CallbackHarness::CallbackHarness(sim::Machine &Target, PCI_CALLBACK_PROTOCOL &Registry, std::vector<std::string> *Found)
    : Board(Target), Protocol(Registry), Violations(Found), Behaviours(sim::CallbackRecorder::kSlots) {
  for (size_t Slot = 0; Slot < sim::CallbackRecorder::kSlots; ++Slot) {
    Recorder.SetAction(Slot,
                       [this](const sim::CallbackCall &Call, PCI_DEVICE_RECORD *Record) { OnCall(Call, Record); });
  }
}

void CallbackHarness::SetBehaviour(size_t Slot, const SlotBehaviour &Behaviour) {
  Behaviours[Slot % sim::CallbackRecorder::kSlots] = Behaviour;
}

void CallbackHarness::Register(size_t Slot, UINT32 Mask) {
  Slot %= sim::CallbackRecorder::kSlots;
  Attempt(sim::CallbackRecorder::Function(Slot), Slot, Mask);
}

void CallbackHarness::RegisterNull(UINT32 Mask) { Attempt(nullptr, 0, Mask); }

void CallbackHarness::FailAllocation(size_t Nth) {
  Board.Memory().FailAllocation(Nth);
  AllocationsUntilFailure = Nth;
}

void CallbackHarness::Attempt(PCI_CALLBACK_FUNCTION *Function, size_t Slot, UINT32 Mask) {
  EFI_STATUS Expected = EFI_SUCCESS;
  bool Registered = false;
  for (const Registration &Entry : Model) {
    Registered = Registered || Entry.Slot == Slot;
  }
  if (Function == nullptr || (Mask & published::kCallbackPoints) == 0) {
    Expected = EFI_INVALID_PARAMETER;
  } else if (Registered) {
    Expected = EFI_UNSUPPORTED;
  } else if (AllocationsUntilFailure != 0 && --AllocationsUntilFailure == 0) {
    Expected = EFI_OUT_OF_RESOURCES;
  }
  const EFI_STATUS Status = Protocol.RegisterCallback(&Protocol, Function, Mask);
  if (Status != Expected) {
    Violations->push_back("RegisterCallback(slot " + std::to_string(Slot) + ", mask " + StatusText(Mask) +
                          ") answered " + StatusText(Status) + ", expected " + StatusText(Expected));
  }
  if (Status == EFI_SUCCESS) {
    Model.push_back({Slot, Mask, InCallback, Recorder.Calls().size()});
  }
}

void CallbackHarness::OnCall(const sim::CallbackCall &Call, PCI_DEVICE_RECORD *Record) {
  const auto &All = Recorder.Calls();
  const size_t Index = All.size() - 1;
  if (Index > DispatchStart &&
      (All[DispatchStart].Mask != Call.Mask || All[DispatchStart].PciAddress != Call.PciAddress)) {
    CheckDispatch(Index);
    DispatchStart = Index;
  }
  const bool Walk = Call.Mask == PCI_CALLBACK_BEGIN_ALLOCATION || Call.Mask == PCI_CALLBACK_END_ALLOCATION;
  if (!Walk && Call.Mask != PCI_CALLBACK_PREP_CONTROLLER) {
    Violations->push_back("callback called with mask " + StatusText(Call.Mask) + ", not one dispatch point");
  }
  if (Record != PciDeviceRecord() || Call.Contents.RootBridgeIo != LocatedRootBridgeIo() ||
      Call.Contents.CpuIo != LocatedCpuIo()) {
    Violations->emplace_back("callback handed another record, or one not pointing at the located services");
  }
  if (Walk && (Call.PciAddress & 0xFF) != 0) {
    Violations->emplace_back("a walk handed a callback an address with a register");
  }
  const SlotBehaviour &Behaviour = Behaviours[Call.Slot];
  if (Behaviour.SetsHeaderType) {
    Record->Header[published::layout::PCI_HEADER_TYPE_OFFSET] = Behaviour.HeaderType;
  }
  if (Behaviour.TogglesBridge) {
    Record->Header[published::layout::PCI_HEADER_TYPE_OFFSET] ^= published::layout::PCI_HEADER_TYPE_PCI_TO_PCI_BRIDGE;
  }
  if (Behaviour.RegistersSlot) {
    InCallback = true;
    Register(Behaviour.RegisteredSlot, Behaviour.RegisteredMask);
    InCallback = false;
  }
  if (Behaviour.CallsPlatform) {
    CallPlatform(Behaviour.PlatformCall);
  }
}

// A hook called from inside a dispatch acts on nothing: it makes no access,
// calls no callback and succeeds.
void CallbackHarness::CallPlatform(UINT8 Which) {
  EFI_PCI_PLATFORM_PROTOCOL *Platform = Board.PciPlatform();
  const size_t Accesses = Board.Log().All().size();
  const size_t Calls = Recorder.Calls().size();
  EFI_STATUS Status = EFI_SUCCESS;
  if (Which == 2) {
    EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_PCI_ADDRESS Address{};
    Status = Platform->PlatformPrepController(Platform, Board.HostBridgeHandle(), Board.RootBridgeHandle(), Address,
                                              EfiPciBeforeChildBusEnumeration, ChipsetEntry);
  } else {
    Status = Platform->PlatformNotify(
        Platform, Board.HostBridgeHandle(),
        Which == 0 ? EfiPciHostBridgeBeginResourceAllocation : EfiPciHostBridgeEndResourceAllocation, ChipsetExit);
  }
  if (Status != EFI_SUCCESS || Board.Log().All().size() != Accesses || Recorder.Calls().size() != Calls) {
    Violations->push_back("a platform hook called from a callback answered " + StatusText(Status) +
                          " or acted: accesses or callbacks followed");
  }
}

// One dispatch calls, in registration order, every registration selecting its
// bit that exists before the dispatch ends: one registered by a callback of
// the dispatch is appended and so reached by it.
void CallbackHarness::CheckDispatch(size_t End) {
  const auto &All = Recorder.Calls();
  if (DispatchStart >= End) {
    return;
  }
  const UINT32 Mask = All[DispatchStart].Mask;
  ExpectedSlots.clear();
  for (const Registration &Entry : Model) {
    // A callback's registration is appended behind the running dispatch and
    // reached by it; any other must come before the dispatch's first call.
    const bool Visible = Entry.DuringCall ? Entry.CallsBefore <= End : Entry.CallsBefore <= DispatchStart;
    if ((Entry.Mask & Mask) != 0 && Visible) {
      ExpectedSlots.push_back(Entry.Slot);
    }
  }
  bool AsExpected = End - DispatchStart == ExpectedSlots.size();
  for (size_t Index = DispatchStart; AsExpected && Index < End; ++Index) {
    AsExpected = All[Index].Slot == ExpectedSlots[Index - DispatchStart];
  }
  if (!AsExpected) {
    std::string Text = "dispatch of " + StatusText(Mask) + " called slots";
    for (size_t Index = DispatchStart; Index < End; ++Index) {
      Text += " " + std::to_string(All[Index].Slot);
    }
    Text += ", expected";
    for (const size_t Slot : ExpectedSlots) {
      Text += " " + std::to_string(Slot);
    }
    Violations->push_back(Text);
  }
}

void CallbackHarness::EndDispatch() {
  CheckDispatch(Recorder.Calls().size());
  DispatchStart = Recorder.Calls().size();
}

void CallbackHarness::CheckRegistry(sim::PoolOwners *Owners) {
  EndDispatch();
  std::vector<sim::RegisteredCallback> Found;
  for (std::string &Line : sim::CheckCallbackEntries(Board, &Found, Owners)) {
    Violations->push_back("registry: " + std::move(Line));
  }
  bool Same = Found.size() == Model.size();
  for (size_t Index = 0; Same && Index < Found.size(); ++Index) {
    Same = Found[Index].Callback == sim::CallbackRecorder::Function(Model[Index].Slot) &&
           Found[Index].Mask == Model[Index].Mask;
  }
  if (!Same) {
    Violations->push_back("registry holds " + std::to_string(Found.size()) + " registrations, not the " +
                          std::to_string(Model.size()) + " made, in order");
  }
}

} // namespace fuzz
