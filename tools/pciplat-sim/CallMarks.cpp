#include "CallMarks.h"

#include "sim/Sequencer.h"

namespace pciplat {

namespace {
MarkedPlatform *Active = nullptr;
} // namespace

MarkedPlatform::MarkedPlatform(EFI_PCI_PLATFORM_PROTOCOL &Driver, const sim::AccessLog &Log)
    : Driver(Driver), Log(Log) {
  Forwarder = {&Notify, &Prepare, &Policy, &Rom};
  Active = this;
}

MarkedPlatform::~MarkedPlatform() { Active = nullptr; }

EFI_STATUS EFIAPI MarkedPlatform::Notify(EFI_PCI_PLATFORM_PROTOCOL * /*This*/, EFI_HANDLE HostBridge,
                                         EFI_PCI_HOST_BRIDGE_RESOURCE_ALLOCATION_PHASE Phase,
                                         EFI_PCI_EXECUTION_PHASE ChipsetPhase) {
  Active->Mark(sim::FormatDriverCall({"PlatformNotify", Phase, ChipsetPhase, {}, EFI_SUCCESS}));
  return Active->Driver.PlatformNotify(&Active->Driver, HostBridge, Phase, ChipsetPhase);
}

EFI_STATUS EFIAPI MarkedPlatform::Prepare(EFI_PCI_PLATFORM_PROTOCOL * /*This*/, EFI_HANDLE HostBridge,
                                          EFI_HANDLE RootBridge, EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_PCI_ADDRESS PciAddress,
                                          EFI_PCI_CONTROLLER_RESOURCE_ALLOCATION_PHASE Phase,
                                          EFI_PCI_EXECUTION_PHASE ChipsetPhase) {
  const sim::Bdf Location{PciAddress.Bus, PciAddress.Device, PciAddress.Function};
  Active->Mark(sim::FormatDriverCall({"PlatformPrepController", Phase, ChipsetPhase, Location, EFI_SUCCESS}));
  return Active->Driver.PlatformPrepController(&Active->Driver, HostBridge, RootBridge, PciAddress, Phase,
                                               ChipsetPhase);
}

EFI_STATUS EFIAPI MarkedPlatform::Policy(const EFI_PCI_PLATFORM_PROTOCOL * /*This*/,
                                         EFI_PCI_PLATFORM_POLICY *PciPolicy) {
  Active->Mark("GetPlatformPolicy()");
  return Active->Driver.GetPlatformPolicy(&Active->Driver, PciPolicy);
}

EFI_STATUS EFIAPI MarkedPlatform::Rom(const EFI_PCI_PLATFORM_PROTOCOL * /*This*/, EFI_HANDLE PciHandle, VOID **RomImage,
                                      UINTN *RomSize) {
  return Active->Driver.GetPciRom(&Active->Driver, PciHandle, RomImage, RomSize);
}

} // namespace pciplat
