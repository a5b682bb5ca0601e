// How deep the driver's stack reaches: while a probe exists, the root bridge's
// configuration accesses note the lowest stack address they are called at,
// and Measure reports how far below its own call that lies. Every walk reads
// configuration space at every level it descends to, so the deepest access
// marks the deepest level of the deepest walk.
#pragma once

#include "sim/Machine.h"

#include <cstddef>
#include <cstdint>
#include <functional>

namespace sim {

class StackProbe {
public:
  explicit StackProbe(Machine &Target);
  ~StackProbe();
  StackProbe(const StackProbe &) = delete;
  StackProbe &operator=(const StackProbe &) = delete;

  // Runs Body, which calls into the driver, and returns the bytes of stack
  // between Measure's own frame and the deepest configuration access Body
  // led to; 0 when it made none.
  size_t Measure(const std::function<void()> &Body);

private:
  static EFI_STATUS EFIAPI Read(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *This, EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_WIDTH Width,
                                UINT64 Address, UINTN Count, VOID *Buffer);
  static EFI_STATUS EFIAPI Write(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *This, EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_WIDTH Width,
                                 UINT64 Address, UINTN Count, VOID *Buffer);
  static void Note();

  EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL &RootBridge;
  EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_ACCESS Forward;
  uintptr_t Lowest = UINTPTR_MAX;
};

} // namespace sim
