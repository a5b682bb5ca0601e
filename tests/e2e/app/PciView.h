// The PCI hierarchy as QEMU's firmware reports it: one entry per PCI I/O
// handle, with its location and configuration header read through that
// handle, and the order in which a depth-first walk from bus 0 meets them.
#pragma once

#include "tests/e2e/common/E2eUefi.h"

namespace e2e {

inline constexpr UINTN kPciHeaderBytes = 64;

struct PciFunctionView {
  EFI_HANDLE Handle;
  UINTN Segment;
  UINTN Bus;
  UINTN Device;
  UINTN Function;
  UINT8 Header[kPciHeaderBytes];
  // Offset of the PCI Express capability, 0 without one, and two of its
  // registers as they read before the test changed anything.
  UINT8 PcieCap;
  UINT32 DeviceCapabilities;
  UINT16 DeviceControl;

  // In the EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_PCI_ADDRESS form, register 0.
  [[nodiscard]] UINT64 Address() const { return (Bus << 24) | (Device << 16) | (Function << 8); }
};

struct PciView {
  static constexpr UINTN kCapacity = 64;
  EFI_STATUS Status = EFI_NOT_FOUND;
  UINTN Count = 0;
  PciFunctionView Functions[kCapacity] = {};
  // Indexes into Functions, in walk order; WalkCount < Count when some
  // function is not reachable from bus 0.
  UINTN WalkOrder[kCapacity] = {};
  UINTN WalkCount = 0;

  [[nodiscard]] const PciFunctionView *Find(EFI_HANDLE Handle) const;
  [[nodiscard]] const PciFunctionView *At(UINTN Bus, UINTN Device, UINTN Function) const;
};

// Reads every PCI I/O handle's location and header and works out the walk
// order: buses in depth-first order from bus 0, devices 0-31 and functions 0-7
// ascending, functions 1-7 only behind a multi-function or absent function 0,
// and a bridge's secondary bus right after the bridge.
void TakePciView(PciView &View);
// One INFO line per function in walk order, for the console log.
void PrintPciView(const PciView &View);

} // namespace e2e
