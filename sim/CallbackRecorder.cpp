#include "sim/CallbackRecorder.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace sim {

namespace {

CallbackRecorder *CurrentRecorder = nullptr;

[[noreturn]] void Abort(const char *Message) {
  std::fprintf(stderr, "sim::CallbackRecorder: %s\n", Message);
  std::abort();
}

template <size_t Slot>
EFI_STATUS EFIAPI SlotCallback(EFI_HANDLE RootBridgeHandle, UINT64 PciAddress, UINT32 Mask, PCI_DEVICE_RECORD *Record) {
  return CallbackRecorder::Current().OnCall(Slot, RootBridgeHandle, PciAddress, Mask, Record);
}

template <size_t... Slots> constexpr auto MakeSlotTable(std::index_sequence<Slots...>) {
  return std::array<PCI_CALLBACK_FUNCTION *, sizeof...(Slots)>{&SlotCallback<Slots>...};
}

constexpr auto kSlotCallbacks = MakeSlotTable(std::make_index_sequence<CallbackRecorder::kSlots>());

void CheckSlot(size_t Slot) {
  if (Slot >= CallbackRecorder::kSlots) {
    Abort("no such slot");
  }
}

} // namespace

CallbackRecorder::CallbackRecorder() {
  if (CurrentRecorder != nullptr) {
    Abort("only one recorder may exist at a time");
  }
  CurrentRecorder = this;
}

CallbackRecorder::~CallbackRecorder() { CurrentRecorder = nullptr; }

CallbackRecorder &CallbackRecorder::Current() {
  if (CurrentRecorder == nullptr) {
    Abort("a slot callback was called with no recorder");
  }
  return *CurrentRecorder;
}

PCI_CALLBACK_FUNCTION *CallbackRecorder::Function(size_t Slot) {
  CheckSlot(Slot);
  return kSlotCallbacks[Slot];
}

EFI_STATUS CallbackRecorder::Register(PCI_CALLBACK_PROTOCOL *Protocol, size_t Slot, UINT32 Mask) {
  return Protocol->RegisterCallback(Protocol, Function(Slot), Mask);
}

void CallbackRecorder::SetAction(size_t Slot, Action Run) {
  CheckSlot(Slot);
  Actions[Slot] = std::move(Run);
}

void CallbackRecorder::SetStatus(size_t Slot, EFI_STATUS Status) {
  CheckSlot(Slot);
  Statuses[Slot] = Status;
}

std::vector<CallbackCall> CallbackRecorder::CallsOf(size_t Slot) const {
  std::vector<CallbackCall> Found;
  for (const auto &Call : AllCalls) {
    if (Call.Slot == Slot) {
      Found.push_back(Call);
    }
  }
  return Found;
}

std::vector<CallbackCall> CallbackRecorder::CallsWithMask(UINT32 Mask) const {
  std::vector<CallbackCall> Found;
  for (const auto &Call : AllCalls) {
    if (Call.Mask == Mask) {
      Found.push_back(Call);
    }
  }
  return Found;
}

EFI_STATUS CallbackRecorder::OnCall(size_t Slot, EFI_HANDLE RootBridgeHandle, UINT64 PciAddress, UINT32 Mask,
                                    PCI_DEVICE_RECORD *Record) {
  CallbackCall Call{Slot, RootBridgeHandle, PciAddress, Mask, Record, {}};
  if (Record != nullptr) {
    Call.Contents = *Record;
  }
  AllCalls.push_back(Call);
  // A copy: the action may replace the slot's own action.
  if (const Action Run = Actions[Slot]) {
    Run(Call, Record);
  }
  return Statuses[Slot];
}

} // namespace sim
