#include "sim/StackProbe.h"

#include <cstdio>
#include <cstdlib>

namespace sim {

namespace {
StackProbe *Active = nullptr;
} // namespace

StackProbe::StackProbe(Machine &Target) : RootBridge(*Target.RootBridgeIo()), Forward(RootBridge.Pci) {
  if (Active != nullptr) {
    std::fprintf(stderr, "sim::StackProbe: only one probe may exist at a time\n");
    std::abort();
  }
  Active = this;
  RootBridge.Pci = {Read, Write};
}

StackProbe::~StackProbe() {
  RootBridge.Pci = Forward;
  Active = nullptr;
}

// The frame of the service itself stands for the firmware's: what the
// driver used lies above it.
__attribute__((noinline)) void StackProbe::Note() {
  const auto Here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  if (Here < Active->Lowest) {
    Active->Lowest = Here;
  }
}

EFI_STATUS EFIAPI StackProbe::Read(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *This, EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_WIDTH Width,
                                   UINT64 Address, UINTN Count, VOID *Buffer) {
  Note();
  return Active->Forward.Read(This, Width, Address, Count, Buffer);
}

EFI_STATUS EFIAPI StackProbe::Write(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *This, EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_WIDTH Width,
                                    UINT64 Address, UINTN Count, VOID *Buffer) {
  Note();
  return Active->Forward.Write(This, Width, Address, Count, Buffer);
}

__attribute__((noinline)) size_t StackProbe::Measure(const std::function<void()> &Body) {
  const auto Top = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  Lowest = UINTPTR_MAX;
  Body();
  return Lowest == UINTPTR_MAX || Lowest > Top ? 0 : Top - Lowest;
}

} // namespace sim
