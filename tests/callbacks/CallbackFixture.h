// A driver loaded into a fresh machine, with recording callbacks standing in for
// the drivers that register with PCI_CALLBACK_PROTOCOL.
#pragma once

#include "support/DriverFixture.h"

#include "callbacks/PciCallbacks.h"
#include "pci/PciRegisters.h"
#include "sim/BoardBuilder.h"
#include "sim/CallbackRecorder.h"

#include <string>
#include <vector>

class CallbackFixture : public DriverFixture {
protected:
  void SetUp() override {
    DriverFixture::SetUp();
    LoadDriver();
    Protocol = Machine->PciCallback();
    ASSERT_NE(Protocol, nullptr);
  }

  // A new machine with the driver freshly loaded, no registrations, no calls.
  void Restart() {
    Machine = nullptr;
    Machine = std::make_unique<sim::Machine>();
    LoadDriver();
    Protocol = Machine->PciCallback();
    ASSERT_NE(Protocol, nullptr);
    Recorder.Clear();
    for (size_t Slot = 0; Slot < sim::CallbackRecorder::kSlots; ++Slot) {
      Recorder.SetAction(Slot, nullptr);
    }
  }

  EFI_STATUS Register(size_t Slot, UINT32 Mask) { return sim::CallbackRecorder::Register(Protocol, Slot, Mask); }

  void BeginEnumeration() { RunPhase(EfiPciHostBridgeBeginEnumeration); }
  void BeginAllocation() { RunPhase(EfiPciHostBridgeBeginResourceAllocation); }
  void EndAllocation() { RunPhase(EfiPciHostBridgeEndResourceAllocation); }
  // The one prepare-controller call that dispatches callbacks.
  void PrepareController(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_PCI_ADDRESS Address) {
    EXPECT_EQ(PrepController(Machine->RootBridgeHandle(), Address, EfiPciBeforeChildBusEnumeration, ChipsetEntry),
              EFI_SUCCESS);
  }

  // The registrations in list order.
  static std::vector<const PCI_CALLBACK_ENTRY *> Entries() {
    std::vector<const PCI_CALLBACK_ENTRY *> Found;
    for (LIST_ENTRY *Link = PciCallbackRegistrations()->ForwardLink; Link != PciCallbackRegistrations();
         Link = Link->ForwardLink) {
      Found.push_back(CallbackEntryFromLink(Link));
    }
    return Found;
  }

  // "bus:device.function" of each call, in call order.
  static std::vector<std::string> Visited(const std::vector<sim::CallbackCall> &Calls) {
    std::vector<std::string> Names;
    Names.reserve(Calls.size());
    for (const auto &Call : Calls) {
      Names.push_back(sim::FormatBdf({Call.Bus(), Call.Device(), Call.Function()}));
    }
    return Names;
  }

  sim::CallbackRecorder Recorder;
  PCI_CALLBACK_PROTOCOL *Protocol = nullptr;
};
