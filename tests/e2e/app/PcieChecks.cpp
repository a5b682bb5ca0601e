// Link tuning at the begin of resource allocation, as far as QEMU shows it:
// its PCI Express registers ignore writes and no link reports the slot clock,
// so what is checked is what the driver writes, against what the firmware's
// PCI I/O handles report.
#include "Checks.h"
#include "PhasePlay.h"

namespace e2e {
namespace {

constexpr UINT32 kDeviceCapabilitiesMaxPayloadMask = 0x7;
constexpr UINT16 kDeviceControlMaxPayloadMask = 0x00E0;
constexpr UINT32 kDeviceControlMaxPayloadShift = 5;
constexpr UINT32 kDeviceControlOffset = 0x08;
constexpr UINT32 kLinkControlOffset = 0x10;

UINT64 FunctionOf(UINT64 Address) { return Address & 0xFFFFFF00ULL; }
UINT64 RegisterOf(UINT64 Address) { return (Address & 0xFF) | (Address >> 32); }

const PciFunctionView *PcieFunctionAt(const PciView &View, UINT64 Address) {
  for (UINTN Index = 0; Index < View.Count; ++Index) {
    if (View.Functions[Index].Address() == FunctionOf(Address) && View.Functions[Index].PcieCap != 0) {
      return &View.Functions[Index];
    }
  }
  return nullptr;
}

UINT32 SmallestSupportedPayload(const PciView &View) {
  UINT32 Smallest = kDeviceCapabilitiesMaxPayloadMask;
  for (UINTN Index = 0; Index < View.Count; ++Index) {
    const PciFunctionView &Function = View.Functions[Index];
    if (Function.PcieCap != 0 && (Function.DeviceCapabilities & kDeviceCapabilitiesMaxPayloadMask) < Smallest) {
      Smallest = Function.DeviceCapabilities & kDeviceCapabilitiesMaxPayloadMask;
    }
  }
  return Smallest;
}

// Every PCI Express function, in walk order, gets one 16-bit Device Control
// write carrying the smallest supported payload code and its other bits as
// they were.
void CheckMaxPayload(const Scenario &Run, const PhaseCall &Call) {
  Check Result("pcie.max-payload");
  const UINT32 Code = SmallestSupportedPayload(Run.Pci);
  UINTN Write = Call.ConfigWriteFirst;
  const UINTN End = Call.ConfigWriteFirst + Call.ConfigWriteCount;
  UINTN PcieFunctions = 0;
  for (UINTN Step = 0; Step < Run.Pci.WalkCount; ++Step) {
    const PciFunctionView &Function = Run.Pci.Functions[Run.Pci.WalkOrder[Step]];
    if (Function.PcieCap == 0) {
      continue;
    }
    ++PcieFunctions;
    while (Write < End && RegisterOf(ConfigWriteAt(Write).Address) != Function.PcieCap + kDeviceControlOffset) {
      ++Write;
    }
    if (!Result.Expect(Write < End, "a PCI Express function's Device Control was not written")) {
      break;
    }
    const ConfigWrite &Written = ConfigWriteAt(Write++);
    const UINT32 Want = (Function.DeviceControl & ~kDeviceControlMaxPayloadMask) | Code
                                                                                       << kDeviceControlMaxPayloadShift;
    Result.ExpectEqualAt(FunctionOf(Written.Address), Function.Address(), "Device Control write, function", Step);
    Result.ExpectEqualAt(Written.Width, EfiPciWidthUint16, "Device Control write width, function", Step);
    Result.ExpectEqualAt(Written.Value, Want, "Device Control value, function", Step);
  }
  Result.Expect(PcieFunctions > 0, "no PCI Express function in the firmware's view");
  Result.Report();
}

void CheckLinksLeftAlone(const Scenario &Run, const PhaseCall &Call) {
  Check Result("pcie.aspm-no-qualifying-link");
  for (UINTN Index = 0; Index < Call.ConfigWriteCount; ++Index) {
    const ConfigWrite &Written = ConfigWriteAt(Call.ConfigWriteFirst + Index);
    const PciFunctionView *Function = PcieFunctionAt(Run.Pci, Written.Address);
    Result.Expect(Function == nullptr || RegisterOf(Written.Address) != Function->PcieCap + kLinkControlOffset,
                  "Link Control written, but no QEMU link reports the slot clock");
  }
  Result.Report();
}

} // namespace

void RunPcieChecks(Scenario &Run) {
  const PhaseCall &Call = FindPhaseCall(EfiPciHostBridgeBeginResourceAllocation, ChipsetExit);
  CheckMaxPayload(Run, Call);
  CheckLinksLeftAlone(Run, Call);
}

} // namespace e2e
