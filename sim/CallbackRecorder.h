// Stand-ins for the other drivers that register with PCI_CALLBACK_PROTOCOL: a
// fixed set of distinct EFIAPI callbacks ("slots") that record every call they
// receive and can then act on it, the way a real client would: change the
// device record, register further callbacks, return an error.
#pragma once

#include "PciCallback.h"

#include <cstddef>
#include <functional>
#include <vector>

namespace sim {

// One call of a slot callback, with a copy of the record as it was handed over.
struct CallbackCall {
  size_t Slot;
  EFI_HANDLE RootBridgeHandle;
  UINT64 PciAddress;
  UINT32 Mask;
  PCI_DEVICE_RECORD *Record;
  PCI_DEVICE_RECORD Contents;

  UINT8 Bus() const { return static_cast<UINT8>(PciAddress >> 24); }
  UINT8 Device() const { return static_cast<UINT8>(PciAddress >> 16); }
  UINT8 Function() const { return static_cast<UINT8>(PciAddress >> 8); }
  UINT16 VendorId() const { return static_cast<UINT16>(Contents.Header[0] | (Contents.Header[1] << 8)); }
};

class CallbackRecorder {
public:
  static constexpr size_t kSlots = 8;
  // Runs after the call has been recorded; Record is the driver's record.
  using Action = std::function<void(const CallbackCall &Call, PCI_DEVICE_RECORD *Record)>;

  // The recorder becomes the one the slot callbacks report to; only one exists
  // at a time.
  CallbackRecorder();
  ~CallbackRecorder();
  CallbackRecorder(const CallbackRecorder &) = delete;
  CallbackRecorder &operator=(const CallbackRecorder &) = delete;

  static CallbackRecorder &Current();

  // The callback of a slot: the same function for the same slot, a different
  // one for every slot.
  static PCI_CALLBACK_FUNCTION *Function(size_t Slot);
  // Registers the slot's callback through Protocol.
  static EFI_STATUS Register(PCI_CALLBACK_PROTOCOL *Protocol, size_t Slot, UINT32 Mask);

  void SetAction(size_t Slot, Action Run);
  // The status the slot's callback returns (EFI_SUCCESS unless set).
  void SetStatus(size_t Slot, EFI_STATUS Status);

  const std::vector<CallbackCall> &Calls() const { return AllCalls; }
  std::vector<CallbackCall> CallsOf(size_t Slot) const;
  // Calls whose Mask argument is Mask.
  std::vector<CallbackCall> CallsWithMask(UINT32 Mask) const;
  void Clear() { AllCalls.clear(); }

  // Called by the slot callbacks.
  EFI_STATUS OnCall(size_t Slot, EFI_HANDLE RootBridgeHandle, UINT64 PciAddress, UINT32 Mask,
                    PCI_DEVICE_RECORD *Record);

private:
  std::vector<CallbackCall> AllCalls;
  std::vector<Action> Actions = std::vector<Action>(kSlots);
  std::vector<EFI_STATUS> Statuses = std::vector<EFI_STATUS>(kSlots, EFI_SUCCESS);
};

} // namespace sim
