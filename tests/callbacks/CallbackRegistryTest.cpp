// Registration through PCI_CALLBACK_PROTOCOL, the dispatch of registrations and
// the prepare-controller and allocation points that dispatch them.
#include "CallbackFixture.h"
#include "published/PciLayout.h"

#include "CConsumer.h"
#include "pci/PciAddress.h"

#include <cstring>

namespace {

using sim::CallbackCall;

class CallbackRegistryTest : public CallbackFixture {
protected:
  // A small hierarchy: a host bridge and two endpoints on bus 0.
  void AddThreeFunctions() {
    sim::AddHostBridge(Machine->Pci(), 0x8086, 0x29C0, 2);
    sim::AddConventionalFunction(Machine->Pci(), {0, 2, 0}, 0x1002, 0x0002);
    sim::AddConventionalFunction(Machine->Pci(), {0, 31, 0}, 0x8086, 0x2916);
  }
};

TEST_F(CallbackRegistryTest, InstallsTheProtocolOnTheDriverHandleBesideThePlatformProtocol) {
  EXPECT_EQ(Machine->Handles().Find(DriverHandle(), gPciCallbackProtocolGuid), PciCallbackProtocol());
  EXPECT_EQ(Machine->Handles().Find(DriverHandle(), EFI_PCI_PLATFORM_PROTOCOL_GUID), PciPlatformProtocol());
  EXPECT_EQ(PciCallbackProtocol()->RegisterCallback, &RegisterCallback);
  EXPECT_EQ(PciCallbackRegistrations()->ForwardLink, PciCallbackRegistrations());
  EXPECT_EQ(PciCallbackRegistrations()->BackLink, PciCallbackRegistrations());
}

TEST_F(CallbackRegistryTest, RegistrationChecksItsArgumentsAndAppendsOnlyOnSuccess) {
  struct Case {
    const char *Name;
    bool NullCallback;
    UINT32 Mask;
    EFI_STATUS Expected;
  };
  const Case Cases[] = {
      {"null callback", true, PCI_CALLBACK_BEGIN_ALLOCATION, EFI_INVALID_PARAMETER},
      {"mask 0", false, 0, EFI_INVALID_PARAMETER},
      {"mask 8 alone", false, 8, EFI_INVALID_PARAMETER},
      {"only unknown bits", false, 0xFFFFFFF8, EFI_INVALID_PARAMETER},
      {"mask 9", false, 9, EFI_SUCCESS},
      {"every point", false, 7, EFI_SUCCESS},
      {"unknown bits beside a point", false, 0x80000004, EFI_SUCCESS},
  };
  size_t Slot = 0;
  size_t Expected = 0;
  for (const auto &Test : Cases) {
    PCI_CALLBACK_FUNCTION *Callback = Test.NullCallback ? nullptr : sim::CallbackRecorder::Function(Slot);
    EXPECT_EQ(Protocol->RegisterCallback(Protocol, Callback, Test.Mask), Test.Expected) << Test.Name;
    if (Test.Expected == EFI_SUCCESS) {
      ++Expected;
      ASSERT_EQ(Entries().size(), Expected) << Test.Name;
      // Every bit of the mask is kept, the unknown ones included.
      EXPECT_EQ(Entries().back()->Mask, Test.Mask) << Test.Name;
      EXPECT_EQ(Entries().back()->Callback, Callback) << Test.Name;
      ++Slot;
    }
    EXPECT_EQ(Entries().size(), Expected) << Test.Name;
  }
}

TEST_F(CallbackRegistryTest, EntriesAreZeroFilledPoolRecordsSignedPcic) {
  const size_t LiveBefore = Machine->Memory().LiveCount();
  ASSERT_EQ(Register(0, PCI_CALLBACK_END_ALLOCATION), EFI_SUCCESS);
  ASSERT_EQ(Machine->Memory().LiveCount(), LiveBefore + 1);
  const PCI_CALLBACK_ENTRY *Entry = Entries().at(0);
  const auto &Allocation = Machine->Memory().LiveAllocations().at(const_cast<PCI_CALLBACK_ENTRY *>(Entry));
  EXPECT_EQ(Allocation.Type, EfiBootServicesData);
  EXPECT_EQ(Allocation.Size, sizeof(PCI_CALLBACK_ENTRY));
  EXPECT_EQ(std::memcmp(&Entry->Signature, "Pcic", 4), 0);
  // The padding shows the zero fill: fresh pool memory is poisoned.
  const auto *Bytes = reinterpret_cast<const UINT8 *>(Entry);
  for (size_t Offset = sizeof(UINT32); Offset < offsetof(PCI_CALLBACK_ENTRY, Link); ++Offset) {
    EXPECT_EQ(Bytes[Offset], 0) << "byte " << Offset;
  }
  for (size_t Offset = offsetof(PCI_CALLBACK_ENTRY, Mask) + sizeof(UINT32); Offset < sizeof(PCI_CALLBACK_ENTRY);
       ++Offset) {
    EXPECT_EQ(Bytes[Offset], 0) << "byte " << Offset;
  }
}

TEST_F(CallbackRegistryTest, ASecondRegistrationOfTheSameFunctionIsRefusedAndTheFirstMaskStays) {
  AddThreeFunctions();
  BeginEnumeration();
  ASSERT_EQ(Register(0, PCI_CALLBACK_BEGIN_ALLOCATION), EFI_SUCCESS);
  EXPECT_EQ(Register(0, PCI_CALLBACK_PREP_CONTROLLER), EFI_UNSUPPORTED);
  EXPECT_EQ(Register(0, PCI_CALLBACK_BEGIN_ALLOCATION), EFI_UNSUPPORTED);
  ASSERT_EQ(Entries().size(), 1U);
  EXPECT_EQ(Entries()[0]->Mask, PCI_CALLBACK_BEGIN_ALLOCATION);

  PrepareController({0, 0, 2, 0, 0});
  BeginAllocation();
  // Called once per function, not twice.
  EXPECT_EQ(Recorder.CallsWithMask(PCI_CALLBACK_BEGIN_ALLOCATION).size(), 3U);
  EXPECT_EQ(Recorder.Calls().size(), 3U);
}

TEST_F(CallbackRegistryTest, AFailedAllocationAppendsNothingAndLeavesTheFunctionFreeToRegister) {
  // A pool that reports success without a buffer has failed too.
  Machine->Memory().SucceedWithoutBuffer(1);
  EXPECT_EQ(Register(0, PCI_CALLBACK_PREP_CONTROLLER), EFI_OUT_OF_RESOURCES);
  Machine->Memory().FailAllocation(1);
  EXPECT_EQ(Register(0, PCI_CALLBACK_PREP_CONTROLLER), EFI_OUT_OF_RESOURCES);
  EXPECT_TRUE(Entries().empty());
  PrepareController({0, 0, 1, 0, 0});
  EXPECT_TRUE(Recorder.Calls().empty());

  EXPECT_EQ(Register(0, PCI_CALLBACK_PREP_CONTROLLER), EFI_SUCCESS);
  PrepareController({0, 0, 1, 0, 0});
  EXPECT_EQ(Recorder.Calls().size(), 1U);
}

TEST_F(CallbackRegistryTest, EachPointCallsExactlyTheRegistrationsWhoseMaskSelectsIt) {
  struct Case {
    UINT32 Mask;
    size_t PrepCalls;
    size_t BeginCalls;
    size_t EndCalls;
  };
  // Three present functions: once each per walk.
  const Case Cases[] = {
      {1, 1, 0, 0}, {2, 0, 3, 0}, {4, 0, 0, 3}, {6, 0, 3, 3}, {7, 1, 3, 3}, {9, 1, 0, 0},
  };
  AddThreeFunctions();
  for (size_t Slot = 0; Slot < std::size(Cases); ++Slot) {
    ASSERT_EQ(Register(Slot, Cases[Slot].Mask), EFI_SUCCESS);
  }
  BeginEnumeration();
  PrepareController({0, 0, 2, 0, 0});
  BeginAllocation();
  EndAllocation();
  for (size_t Slot = 0; Slot < std::size(Cases); ++Slot) {
    size_t Counts[8] = {};
    for (const CallbackCall &Call : Recorder.CallsOf(Slot)) {
      ASSERT_LT(Call.Mask, 8U);
      ++Counts[Call.Mask];
    }
    EXPECT_EQ(Counts[PCI_CALLBACK_PREP_CONTROLLER], Cases[Slot].PrepCalls) << "mask " << Cases[Slot].Mask;
    EXPECT_EQ(Counts[PCI_CALLBACK_BEGIN_ALLOCATION], Cases[Slot].BeginCalls) << "mask " << Cases[Slot].Mask;
    EXPECT_EQ(Counts[PCI_CALLBACK_END_ALLOCATION], Cases[Slot].EndCalls) << "mask " << Cases[Slot].Mask;
  }
  EXPECT_EQ(CurrentCallbackPoint(), PCI_CALLBACK_END_ALLOCATION);
}

TEST_F(CallbackRegistryTest, CallbacksRunInRegistrationOrderForEveryDeviceWhateverTheyReturn) {
  AddThreeFunctions();
  BeginEnumeration();
  for (size_t Slot : {2, 0, 1}) {
    ASSERT_EQ(Register(Slot, PCI_CALLBACK_BEGIN_ALLOCATION), EFI_SUCCESS);
  }
  // A failure status stops neither the dispatch nor the walk.
  Recorder.SetStatus(2, EFI_DEVICE_ERROR);
  BeginAllocation();
  const auto &Calls = Recorder.Calls();
  ASSERT_EQ(Calls.size(), 9U);
  for (size_t Index = 0; Index < Calls.size(); ++Index) {
    EXPECT_EQ(Calls[Index].Slot, (std::vector<size_t>{2, 0, 1})[Index % 3]) << "call " << Index;
    EXPECT_EQ(Calls[Index].PciAddress, Calls[Index - Index % 3].PciAddress) << "call " << Index;
  }
}

TEST_F(CallbackRegistryTest, ARegistrationMadeDuringADispatchIsCalledInThatDispatch) {
  AddThreeFunctions();
  BeginEnumeration();
  Recorder.SetAction(0, [this](const CallbackCall &, PCI_DEVICE_RECORD *) {
    (void)Register(1, PCI_CALLBACK_BEGIN_ALLOCATION | PCI_CALLBACK_PREP_CONTROLLER);
  });
  ASSERT_EQ(Register(0, PCI_CALLBACK_BEGIN_ALLOCATION | PCI_CALLBACK_PREP_CONTROLLER), EFI_SUCCESS);

  PrepareController({0, 0, 2, 0, 0});
  ASSERT_EQ(Recorder.Calls().size(), 2U);
  EXPECT_EQ(Recorder.Calls()[1].Slot, 1U);
  EXPECT_EQ(Recorder.Calls()[1].Mask, PCI_CALLBACK_PREP_CONTROLLER);

  Recorder.Clear();
  BeginAllocation();
  // The later attempts to register slot 1 again are refused; it stays once per device.
  EXPECT_EQ(Entries().size(), 2U);
  EXPECT_EQ(Recorder.CallsOf(0).size(), 3U);
  EXPECT_EQ(Recorder.CallsOf(1).size(), 3U);
}

// A callback that calls back into the platform protocol while callbacks run:
// the hooks act on nothing, succeed, and say so. No walk nests inside the
// running one, the point stays, and no root bridge is noted from inside.
TEST_F(CallbackRegistryTest, HooksCalledFromACallbackActOnNothingAndSaySo) {
  AddThreeFunctions();
  BeginEnumeration();
  std::vector<EFI_STATUS> Statuses;
  Recorder.SetAction(0, [this, &Statuses](const CallbackCall &, PCI_DEVICE_RECORD *) {
    Statuses.push_back(Notify(EfiPciHostBridgeBeginResourceAllocation, ChipsetExit));
    Statuses.push_back(Notify(EfiPciHostBridgeEndResourceAllocation, ChipsetExit));
    Statuses.push_back(
        PrepController(Machine->Handles().NewHandle(), {0, 0, 2, 0, 0}, EfiPciBeforeChildBusEnumeration, ChipsetEntry));
  });
  ASSERT_EQ(Register(0, PCI_CALLBACK_BEGIN_ALLOCATION | PCI_CALLBACK_PREP_CONTROLLER), EFI_SUCCESS);
  ASSERT_EQ(Register(1, PCI_CALLBACK_BEGIN_ALLOCATION | PCI_CALLBACK_END_ALLOCATION), EFI_SUCCESS);
  BeginAllocation();
  // Once per function, each time with the walk's own point.
  EXPECT_EQ(Visited(Recorder.CallsOf(0)), (std::vector<std::string>{"00:00.0", "00:02.0", "00:1f.0"}));
  EXPECT_EQ(Visited(Recorder.CallsOf(1)), (std::vector<std::string>{"00:00.0", "00:02.0", "00:1f.0"}));
  for (const CallbackCall &Call : Recorder.Calls()) {
    EXPECT_EQ(Call.Mask, PCI_CALLBACK_BEGIN_ALLOCATION);
  }
  EXPECT_EQ(Statuses, std::vector<EFI_STATUS>(9, EFI_SUCCESS));
  EXPECT_EQ(CurrentCallbackPoint(), PCI_CALLBACK_BEGIN_ALLOCATION);
  EXPECT_EQ(LocatedRootBridgeHandle(), nullptr) << "no root bridge is noted from inside a callback";
  size_t Refused = 0;
  for (const DECISION &Record : Machine->Decisions()) {
    if (Record.Kind == DECISION_KIND::Callback && Record.Reason == DECISION_REASON::ReEntered) {
      ++Refused;
      EXPECT_EQ(Record.Value, PCI_CALLBACK_BEGIN_ALLOCATION);
    }
  }
  EXPECT_EQ(Refused, 9U);
  // Outside a dispatch the hooks work again.
  Recorder.Clear();
  PrepareController({0, 0, 2, 0, 0});
  EXPECT_EQ(Recorder.CallsOf(0).size(), 1U);
  EXPECT_NE(LocatedRootBridgeHandle(), nullptr);
}

TEST_F(CallbackRegistryTest, ThePrepareControllerDispatchPassesTheControllerAsTheBusDriverNamedIt) {
  BeginEnumeration();
  ASSERT_EQ(Register(0, PCI_CALLBACK_PREP_CONTROLLER), EFI_SUCCESS);
  const EFI_HANDLE FirstRootBridge = Machine->RootBridgeHandle();
  const EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_PCI_ADDRESS Address{0x34, 2, 0x1C, 3, 0x1};
  // Only before-child-bus-enumeration at chipset entry dispatches; every call
  // records the first root bridge.
  EXPECT_EQ(PrepController(FirstRootBridge, Address, EfiPciBeforeResourceCollection, ChipsetEntry), EFI_SUCCESS);
  EXPECT_EQ(PrepController(Machine->Handles().NewHandle(), Address, EfiPciBeforeChildBusEnumeration, ChipsetExit),
            EFI_SUCCESS);
  EXPECT_EQ(PrepController(FirstRootBridge, Address, EfiPciBeforeResourceCollection, ChipsetExit), EFI_SUCCESS);
  EXPECT_TRUE(Recorder.Calls().empty());
  EXPECT_EQ(PrepController(Machine->Handles().NewHandle(), Address, EfiPciBeforeChildBusEnumeration, ChipsetEntry),
            EFI_SUCCESS);

  ASSERT_EQ(Recorder.Calls().size(), 1U);
  const CallbackCall &Call = Recorder.Calls()[0];
  EXPECT_EQ(Call.RootBridgeHandle, FirstRootBridge);
  EXPECT_EQ(Call.PciAddress, 0x1031C0234ULL);
  EXPECT_EQ(Call.Mask, PCI_CALLBACK_PREP_CONTROLLER);
  EXPECT_EQ(Call.Record, PciDeviceRecord());
  EXPECT_EQ(Call.Contents.RootBridgeIo, Machine->RootBridgeIo());
  EXPECT_EQ(Call.Contents.CpuIo, Machine->CpuIo());
  EXPECT_EQ(CurrentCallbackPoint(), PCI_CALLBACK_PREP_CONTROLLER);
  // Nothing is read for the controller.
  EXPECT_TRUE(Machine->Log().All().empty());
}

TEST_F(CallbackRegistryTest, ThePrepareControllerRecordHoldsWhatTheLastWalkLeft) {
  struct Case {
    const char *Name;
    bool LastFunctionPresent; // 0:31.0 present, so no absent probe follows the last header
  };
  for (const Case &Test : {Case{"absent probes follow", false}, Case{"last probe present", true}}) {
    SCOPED_TRACE(Test.Name);
    Restart();
    ASSERT_EQ(Register(0, PCI_CALLBACK_PREP_CONTROLLER), EFI_SUCCESS);
    sim::AddHostBridge(Machine->Pci(), 0x8086, 0x29C0, 2);
    auto &Last = Test.LastFunctionPresent ? sim::AddConventionalFunction(Machine->Pci(), {0, 31, 0}, 0x8086, 0x2916)
                                          : sim::AddConventionalFunction(Machine->Pci(), {0, 2, 0}, 0x1002, 0x0002);
    for (UINT32 Offset = 4; Offset < published::layout::PCI_HEADER_SIZE; ++Offset) {
      Last.Poke8(Offset, static_cast<UINT8>(0x40 + Offset));
    }

    BeginEnumeration();
    PrepareController({0, 0, 1, 0, 0});
    BeginAllocation();
    PrepareController({0, 0, 1, 0, 0});

    ASSERT_EQ(Recorder.Calls().size(), 2U);
    const PCI_DEVICE_RECORD &BeforeWalk = Recorder.Calls()[0].Contents;
    for (UINT8 Byte : BeforeWalk.Header) {
      ASSERT_EQ(Byte, 0);
    }
    const PCI_DEVICE_RECORD &AfterWalk = Recorder.Calls()[1].Contents;
    const UINT32 FirstDword = AfterWalk.Header[0] | (AfterWalk.Header[1] << 8) | (AfterWalk.Header[2] << 16) |
                              (static_cast<UINT32>(AfterWalk.Header[3]) << 24);
    EXPECT_EQ(FirstDword, Test.LastFunctionPresent ? Last.Peek32(0) : 0xFFFFFFFFU);
    EXPECT_EQ(std::memcmp(AfterWalk.Header + 4, Last.Bytes().data() + 4, published::layout::PCI_HEADER_SIZE - 4), 0);
  }
}

TEST_F(CallbackRegistryTest, TheCpuIoFieldIsSetAtBeginEnumerationAndNotRefreshedByDispatches) {
  ASSERT_EQ(Register(0, PCI_CALLBACK_PREP_CONTROLLER), EFI_SUCCESS);
  PrepareController({0, 0, 1, 0, 0});
  EXPECT_EQ(Recorder.Calls().back().Contents.CpuIo, nullptr);
  EXPECT_EQ(Recorder.Calls().back().Contents.RootBridgeIo, nullptr);

  BeginEnumeration();
  Recorder.SetAction(0, [](const CallbackCall &, PCI_DEVICE_RECORD *Record) {
    Record->RootBridgeIo = nullptr;
    Record->CpuIo = nullptr;
  });
  PrepareController({0, 0, 1, 0, 0});
  PrepareController({0, 0, 1, 0, 0});
  // RootBridgeIo is stored afresh by every dispatch; CpuIo only at begin-enumeration.
  EXPECT_EQ(Recorder.Calls().back().Contents.RootBridgeIo, Machine->RootBridgeIo());
  EXPECT_EQ(Recorder.Calls().back().Contents.CpuIo, nullptr);
  BeginEnumeration();
  EXPECT_EQ(PciDeviceRecord()->CpuIo, Machine->CpuIo());

  Machine->Handles().FailLocateProtocol(EFI_CPU_IO_PROTOCOL_GUID, EFI_NOT_FOUND);
  BeginEnumeration();
  EXPECT_EQ(PciDeviceRecord()->CpuIo, nullptr);
}

TEST_F(CallbackRegistryTest, WithoutARootBridgeTheWalksAreSkippedButControllersAreStillDispatched) {
  AddThreeFunctions();
  Machine->Handles().FailLocateProtocol(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_GUID, EFI_NOT_FOUND);
  BeginEnumeration();
  ASSERT_EQ(LocatedRootBridgeIo(), nullptr);
  ASSERT_EQ(Register(0, PCI_CALLBACK_KNOWN_POINTS), EFI_SUCCESS);

  BeginAllocation();
  EXPECT_EQ(CurrentCallbackPoint(), PCI_CALLBACK_BEGIN_ALLOCATION);
  EndAllocation();
  EXPECT_EQ(CurrentCallbackPoint(), PCI_CALLBACK_END_ALLOCATION);
  EXPECT_EQ(Machine->Log().Count(sim::AccessKind::ConfigRead), 0U);
  EXPECT_TRUE(Recorder.Calls().empty());

  PrepareController({0, 0, 2, 0, 0});
  ASSERT_EQ(Recorder.Calls().size(), 1U);
  EXPECT_EQ(Recorder.Calls()[0].Contents.RootBridgeIo, nullptr);
  EXPECT_EQ(Recorder.Calls()[0].Contents.CpuIo, Machine->CpuIo());
  EXPECT_EQ(Recorder.Calls()[0].RootBridgeHandle, Machine->RootBridgeHandle());
}

TEST_F(CallbackRegistryTest, AWalkBeforeAnyPrepareControllerCallHandsANullRootBridgeHandle) {
  AddThreeFunctions();
  BeginEnumeration();
  ASSERT_EQ(Register(0, PCI_CALLBACK_BEGIN_ALLOCATION | PCI_CALLBACK_END_ALLOCATION), EFI_SUCCESS);
  BeginAllocation();
  (void)PrepController(Machine->RootBridgeHandle(), {}, EfiPciBeforeResourceCollection, ChipsetExit);
  EndAllocation();
  for (const CallbackCall &Call : Recorder.CallsWithMask(PCI_CALLBACK_BEGIN_ALLOCATION)) {
    EXPECT_EQ(Call.RootBridgeHandle, nullptr);
  }
  for (const CallbackCall &Call : Recorder.CallsWithMask(PCI_CALLBACK_END_ALLOCATION)) {
    EXPECT_EQ(Call.RootBridgeHandle, Machine->RootBridgeHandle());
  }
  EXPECT_EQ(Recorder.Calls().size(), 6U);
}

TEST_F(CallbackRegistryTest, ReloadingForgetsEarlierRegistrationsAndTheRecord) {
  AddThreeFunctions();
  BeginEnumeration();
  ASSERT_EQ(Register(0, PCI_CALLBACK_BEGIN_ALLOCATION), EFI_SUCCESS);
  BeginAllocation();
  ASSERT_NE(PciDeviceRecord()->RootBridgeIo, nullptr);
  BeginCallbackPoint(PCI_CALLBACK_END_ALLOCATION);

  ASSERT_EQ(Machine->LoadDriver(), EFI_SUCCESS);
  EXPECT_TRUE(Entries().empty());
  EXPECT_EQ(CurrentCallbackPoint(), 0U);
  const PCI_DEVICE_RECORD Zero{};
  EXPECT_EQ(std::memcmp(PciDeviceRecord(), &Zero, sizeof(Zero)), 0);
  EXPECT_EQ(Register(0, PCI_CALLBACK_BEGIN_ALLOCATION), EFI_SUCCESS);
}

TEST_F(CallbackRegistryTest, ADriverWrittenInCRegistersThroughThePublicHeaderAndReadsTheRecord) {
  EXPECT_EQ(std::memcmp(CConsumerProtocolGuid(), &gPciCallbackProtocolGuid, sizeof(EFI_GUID)), 0);
  VOID *Located = nullptr;
  ASSERT_EQ(Machine->BootServices()->LocateProtocol(CConsumerProtocolGuid(), nullptr, &Located), EFI_SUCCESS);
  CConsumerReset();
  ASSERT_EQ(CConsumerRegister(static_cast<PCI_CALLBACK_PROTOCOL *>(Located), PCI_CALLBACK_END_ALLOCATION), EFI_SUCCESS);
  EXPECT_EQ(CConsumerRegister(static_cast<PCI_CALLBACK_PROTOCOL *>(Located), PCI_CALLBACK_END_ALLOCATION),
            EFI_UNSUPPORTED);
  AddThreeFunctions();
  Machine->Pci().Find({0, 31, 0})->MultiFunction();
  BeginEnumeration();
  EndAllocation();

  const C_CONSUMER_OBSERVATIONS *Seen = CConsumerObservations();
  EXPECT_EQ(Seen->Calls, 3U);
  EXPECT_EQ(Seen->LastAddress, PciFunctionAddress(0, 31, 0));
  EXPECT_EQ(Seen->LastMask, PCI_CALLBACK_END_ALLOCATION);
  EXPECT_EQ(Seen->LastVendorId, 0x8086);
  EXPECT_EQ(Seen->LastHeaderType, 0x80);
  EXPECT_EQ(Seen->LastRootBridgeIo, Machine->RootBridgeIo());
  EXPECT_EQ(Seen->LastCpuIo, Machine->CpuIo());
}

} // namespace
