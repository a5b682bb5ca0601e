#include "sim/AccessAccounting.h"

#include "sim/Sequencer.h"

#include <cstdio>
#include <cstdlib>

namespace sim {

namespace {

PlatformCallAccounting *Active = nullptr;

} // namespace

size_t AccessCounts::Total() const {
  size_t Sum = 0;
  for (const size_t Count : ByKind) {
    Sum += Count;
  }
  return Sum;
}

AccessCounts &AccessCounts::operator+=(const AccessCounts &Other) {
  for (size_t Kind = 0; Kind < kAccessKinds; ++Kind) {
    ByKind[Kind] += Other.ByKind[Kind];
  }
  return *this;
}

AccessCounts CountAccesses(const AccessLog &Log, size_t From, size_t To) {
  AccessCounts Counts;
  const auto &All = Log.All();
  for (size_t Index = From; Index < To && Index < All.size(); ++Index) {
    ++Counts.ByKind[static_cast<size_t>(All[Index].Kind)];
  }
  return Counts;
}

std::string FormatCounts(const AccessCounts &Counts) {
  std::string Text;
  for (size_t Kind = 0; Kind < kAccessKinds; ++Kind) {
    Text += (Text.empty() ? "" : ", ") + std::string(AccessKindName(static_cast<AccessKind>(Kind))) + " " +
            std::to_string(Counts.ByKind[Kind]);
  }
  return Text;
}

PlatformCallAccounting::PlatformCallAccounting(Machine &Target, EFI_PCI_PLATFORM_PROTOCOL &DriverProtocol)
    : Board(Target), Driver(DriverProtocol), Interposed{Notify, PrepController, PlatformPolicy, PciRom} {
  if (Active != nullptr) {
    std::fprintf(stderr, "sim::PlatformCallAccounting: only one may exist at a time\n");
    std::abort();
  }
  Active = this;
}

PlatformCallAccounting::~PlatformCallAccounting() { Active = nullptr; }

AccessCounts PlatformCallAccounting::Total() const {
  AccessCounts Sum;
  for (const auto &[Call, Counted] : Counts) {
    Sum += Counted;
  }
  return Sum;
}

void PlatformCallAccounting::Charge(const std::string &Call, size_t From) {
  const AccessCounts Made = CountAccesses(Board.Log(), From);
  if (Made.Total() != 0) {
    Counts[Call] += Made;
  }
}

EFI_STATUS EFIAPI PlatformCallAccounting::Notify(EFI_PCI_PLATFORM_PROTOCOL *This, EFI_HANDLE HostBridge,
                                                 EFI_PCI_HOST_BRIDGE_RESOURCE_ALLOCATION_PHASE Phase,
                                                 EFI_PCI_EXECUTION_PHASE ChipsetPhase) {
  (void)This;
  const size_t From = Active->Board.Log().All().size();
  const EFI_STATUS Status = Active->Driver.PlatformNotify(&Active->Driver, HostBridge, Phase, ChipsetPhase);
  Active->Charge(HostBridgePhaseName(Phase), From);
  return Status;
}

EFI_STATUS EFIAPI PlatformCallAccounting::PrepController(EFI_PCI_PLATFORM_PROTOCOL *This, EFI_HANDLE HostBridge,
                                                         EFI_HANDLE RootBridge,
                                                         EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_PCI_ADDRESS PciAddress,
                                                         EFI_PCI_CONTROLLER_RESOURCE_ALLOCATION_PHASE Phase,
                                                         EFI_PCI_EXECUTION_PHASE ChipsetPhase) {
  (void)This;
  const size_t From = Active->Board.Log().All().size();
  const EFI_STATUS Status =
      Active->Driver.PlatformPrepController(&Active->Driver, HostBridge, RootBridge, PciAddress, Phase, ChipsetPhase);
  Active->Charge("PlatformPrepController", From);
  return Status;
}

EFI_STATUS EFIAPI PlatformCallAccounting::PlatformPolicy(const EFI_PCI_PLATFORM_PROTOCOL *This,
                                                         EFI_PCI_PLATFORM_POLICY *PciPolicy) {
  (void)This;
  const size_t From = Active->Board.Log().All().size();
  const EFI_STATUS Status = Active->Driver.GetPlatformPolicy(&Active->Driver, PciPolicy);
  Active->Charge("GetPlatformPolicy", From);
  return Status;
}

EFI_STATUS EFIAPI PlatformCallAccounting::PciRom(const EFI_PCI_PLATFORM_PROTOCOL *This, EFI_HANDLE PciHandle,
                                                 VOID **RomImage, UINTN *RomSize) {
  (void)This;
  const size_t From = Active->Board.Log().All().size();
  const EFI_STATUS Status = Active->Driver.GetPciRom(&Active->Driver, PciHandle, RomImage, RomSize);
  Active->Charge("GetPciRom", From);
  return Status;
}

} // namespace sim
