// Addresses in the EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_PCI_ADDRESS form: register in
// bits 7-0, function 15-8, device 23-16, bus 31-24; the extended register bits
// 63-32 stay 0.
#pragma once

#include "base/Protocols.h"

// Address of a function with register 0.
constexpr UINT64 PciFunctionAddress(UINT8 Bus, UINT8 Device, UINT8 Function) {
  return ((((static_cast<UINT64>(Bus) * 256) + Device) * 256) + Function) * 256;
}

// Address of a register of a function: the offset is added to the function's
// address, as every walk forms it.
constexpr UINT64 PciRegisterAddress(UINT64 FunctionAddress, UINT32 Register) { return FunctionAddress + Register; }

// The address of the function an address points into, with register 0 and
// the extended register bits cleared.
constexpr UINT64 PciFunctionAddressOf(UINT64 Address) { return Address & 0xFFFFFF00ULL; }

// The address as one number. Always inlined: the compiler drops a call whose
// value only a decision record takes (nothing in the shipped image) only where
// it sees the body, and then the value is a single load.
[[gnu::always_inline]] constexpr UINT64 PciAddressValue(const EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_PCI_ADDRESS &Address) {
  return (static_cast<UINT64>(Address.ExtendedRegister) << 32) | (static_cast<UINT64>(Address.Bus) << 24) |
         (static_cast<UINT64>(Address.Device) << 16) | (static_cast<UINT64>(Address.Function) << 8) | Address.Register;
}
