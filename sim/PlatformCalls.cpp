#include "sim/PlatformCalls.h"

#include "sim/PciIoDevice.h"
#include "sim/Sequencer.h"

#include <cstdio>
#include <cstdlib>

namespace sim {

namespace {

PlatformCallRecorder *Active = nullptr;

} // namespace

const char *PlatformMemberName(PlatformMember Member) {
  switch (Member) {
  case PlatformMember::PlatformNotify:
    return "PlatformNotify";
  case PlatformMember::PlatformPrepController:
    return "PlatformPrepController";
  case PlatformMember::GetPlatformPolicy:
    return "GetPlatformPolicy";
  case PlatformMember::GetPciRom:
    return "GetPciRom";
  }
  return "?";
}

std::string FormatPlatformCall(const PlatformCall &Call) {
  if (Call.Member == PlatformMember::GetPciRom) {
    return std::string("GetPciRom(") + (Call.Location ? FormatBdf(*Call.Location) : "") + ")";
  }
  return FormatDriverCall(
      {PlatformMemberName(Call.Member), Call.Phase, Call.ChipsetPhase, Call.Location.value_or(Bdf{}), Call.Status});
}

std::vector<CallMark> CallMarks(const std::vector<PlatformCall> &Calls) {
  std::vector<CallMark> Marks;
  Marks.reserve(Calls.size());
  for (const PlatformCall &Call : Calls) {
    Marks.push_back({Call.FirstAccess, FormatPlatformCall(Call)});
  }
  return Marks;
}

PlatformCallRecorder::PlatformCallRecorder(Machine &Target, EFI_PCI_PLATFORM_PROTOCOL &DriverProtocol)
    : Board(Target), Driver(DriverProtocol), Interposed{Notify, PrepController, PlatformPolicy, PciRom} {
  if (Active != nullptr) {
    std::fprintf(stderr, "sim::PlatformCallRecorder: only one may exist at a time\n");
    std::abort();
  }
  Active = this;
}

PlatformCallRecorder::~PlatformCallRecorder() { Active = nullptr; }

size_t PlatformCallRecorder::Begin(PlatformMember Member, UINT32 Phase, UINT32 ChipsetPhase,
                                   std::optional<Bdf> Location) {
  PlatformCall Call{Member, Phase, ChipsetPhase, Location};
  Call.FirstAccess = Board.Log().All().size();
  Call.MadeByKind = Board.Log().RecordedByKind(); // until Finish: the counts as the call began
  Recorded.push_back(Call);
  return Recorded.size() - 1;
}

EFI_STATUS PlatformCallRecorder::Finish(size_t Index, EFI_STATUS Status) {
  PlatformCall &Call = Recorded[Index];
  Call.EndAccess = Board.Log().All().size();
  for (size_t Kind = 0; Kind < kAccessKinds; ++Kind) {
    Call.MadeByKind[Kind] = Board.Log().RecordedByKind()[Kind] - Call.MadeByKind[Kind];
  }
  Call.Status = Status;
  return Status;
}

EFI_STATUS EFIAPI PlatformCallRecorder::Notify(EFI_PCI_PLATFORM_PROTOCOL * /*This*/, EFI_HANDLE HostBridge,
                                               EFI_PCI_HOST_BRIDGE_RESOURCE_ALLOCATION_PHASE Phase,
                                               EFI_PCI_EXECUTION_PHASE ChipsetPhase) {
  const size_t Index = Active->Begin(PlatformMember::PlatformNotify, Phase, ChipsetPhase);
  return Active->Finish(Index, Active->Driver.PlatformNotify(&Active->Driver, HostBridge, Phase, ChipsetPhase));
}

EFI_STATUS EFIAPI PlatformCallRecorder::PrepController(EFI_PCI_PLATFORM_PROTOCOL * /*This*/, EFI_HANDLE HostBridge,
                                                       EFI_HANDLE RootBridge,
                                                       EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_PCI_ADDRESS PciAddress,
                                                       EFI_PCI_CONTROLLER_RESOURCE_ALLOCATION_PHASE Phase,
                                                       EFI_PCI_EXECUTION_PHASE ChipsetPhase) {
  const Bdf Location{PciAddress.Bus, PciAddress.Device, PciAddress.Function};
  const size_t Index = Active->Begin(PlatformMember::PlatformPrepController, Phase, ChipsetPhase, Location);
  return Active->Finish(Index, Active->Driver.PlatformPrepController(&Active->Driver, HostBridge, RootBridge,
                                                                     PciAddress, Phase, ChipsetPhase));
}

EFI_STATUS EFIAPI PlatformCallRecorder::PlatformPolicy(const EFI_PCI_PLATFORM_PROTOCOL * /*This*/,
                                                       EFI_PCI_PLATFORM_POLICY *PciPolicy) {
  const size_t Index = Active->Begin(PlatformMember::GetPlatformPolicy);
  return Active->Finish(Index, Active->Driver.GetPlatformPolicy(&Active->Driver, PciPolicy));
}

EFI_STATUS EFIAPI PlatformCallRecorder::PciRom(const EFI_PCI_PLATFORM_PROTOCOL * /*This*/, EFI_HANDLE PciHandle,
                                               VOID **RomImage, UINTN *RomSize) {
  // Looked up in the model, not through the protocol: the record makes no
  // access and no call the driver could see.
  const PciIoDevice *Device = Active->Board.PciIoDeviceOn(PciHandle);
  const auto Location = Device != nullptr ? std::optional<Bdf>(Device->Location()) : std::nullopt;
  const size_t Index = Active->Begin(PlatformMember::GetPciRom, 0, 0, Location);
  return Active->Finish(Index, Active->Driver.GetPciRom(&Active->Driver, PciHandle, RomImage, RomSize));
}

} // namespace sim
