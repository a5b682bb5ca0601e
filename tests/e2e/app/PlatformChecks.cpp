// The chipset configuration blocks written at begin-enumeration and the I/O
// APIC IDs programmed at the end of resource allocation.
#include "Checks.h"
#include "Firmware.h"
#include "PhasePlay.h"
#include "TestSetup.h"
#include "platform/ConfigBlockProtocol.h"

namespace e2e {
namespace {

constexpr UINTN kDepConfIoApicOffset = 14;
constexpr UINT32 kThirdIoApicBase = 0xFEC90000;

struct IoApic {
  UINT32 Base;
  UINT8 Id;
};
constexpr IoApic kIoApics[] = {{0xFEC00000, 8}, {0xFEC80000, 9}, {0xFEC90000, 10}};
constexpr UINT32 kIoApicIndex = 0x00;
constexpr UINT32 kIoApicData = 0x10;
constexpr UINT32 kIoApicIdRegister = 0;
constexpr UINT32 kIoApicBootConfigRegister = 3;
constexpr UINT32 kIoApicIdShift = 24;
// QEMU's I/O APIC keeps four ID bits.
constexpr UINT32 kIoApicIdMask = 0x0F;

void CheckDepConf() {
  Check Result("config-blocks.dep-conf");
  const UINT8 *Block = ConfigBlock(kDepConfBlockName);
  if (Result.Expect(Block != nullptr, "block not found")) {
    for (UINTN Offset = 0; Offset < kDepConfBlockSize; ++Offset) {
      const bool InField = Offset >= kDepConfIoApicOffset && Offset < kDepConfIoApicOffset + 4;
      const UINT8 Want =
          InField ? static_cast<UINT8>(kThirdIoApicBase >> (8 * (Offset - kDepConfIoApicOffset))) : kConfigBlockFill;
      Result.ExpectEqualAt(Block[Offset], Want, "QMX_DEP_CONF byte", Offset);
    }
  }
  Result.Report();
}

void CheckConf() {
  Check Result("config-blocks.conf");
  const UINT8 *Block = ConfigBlock(kConfBlockName);
  if (Result.Expect(Block != nullptr, "block not found")) {
    for (UINTN Offset = 0; Offset < kConfBlockSize; ++Offset) {
      const UINT8 Want = Offset < kSetupConfLength ? SetupByte(kSetupConfOffset + Offset) : kConfigBlockFill;
      Result.ExpectEqualAt(Block[Offset], Want, "QMX_CONF byte", Offset);
    }
  }
  Result.Report();
}

// Through the firmware's own CPU I/O 2, not the support driver's shim.
UINT32 ReadIoApicRegister(UINT32 Base, UINT32 Register) {
  auto *CpuIo = LocateInterface<EFI_CPU_IO2_PROTOCOL>(kCpuIo2ProtocolGuid);
  UINT32 Value = 0xFFFFFFFF;
  if (CpuIo == nullptr || EFI_ERROR(CpuIo->Mem.Write(CpuIo, EfiCpuIoWidthUint32, Base + kIoApicIndex, 1, &Register)) ||
      EFI_ERROR(CpuIo->Mem.Read(CpuIo, EfiCpuIoWidthUint32, Base + kIoApicData, 1, &Value))) {
    return 0xFFFFFFFF;
  }
  return Value;
}

// Per I/O APIC: probe the index register, select register 0, write the ID,
// select register 3, write 1.
void CheckIoApicWrites(const Scenario &Run) {
  Check Result("ioapic.write-sequence");
  const PhaseCall &Call = FindPhaseCall(EfiPciHostBridgeEndResourceAllocation, ChipsetExit);
  constexpr UINTN kAccessesPerIoApic = 5;
  if (Result.ExpectEqual(Call.MemoryCount, kAccessesPerIoApic * 3, "CPU I/O memory accesses") &&
      Result.Expect(Call.MemoryFirst + Call.MemoryCount <= kMemoryLogCapacity, "memory log overflow")) {
    UINTN Index = Call.MemoryFirst;
    for (const IoApic &Apic : kIoApics) {
      const struct {
        bool IsWrite;
        UINT32 Address;
        UINT32 Value;
      } Expected[kAccessesPerIoApic] = {{false, Apic.Base, 0},
                                        {true, Apic.Base + kIoApicIndex, kIoApicIdRegister},
                                        {true, Apic.Base + kIoApicData, static_cast<UINT32>(Apic.Id) << kIoApicIdShift},
                                        {true, Apic.Base + kIoApicIndex, kIoApicBootConfigRegister},
                                        {true, Apic.Base + kIoApicData, 1}};
      for (const auto &Want : Expected) {
        const MemoryAccess &Got = Run.Report->MemoryLog[Index];
        Result.ExpectEqualAt(Got.IsWrite, Want.IsWrite ? 1 : 0, "access is a write, access", Index);
        Result.ExpectEqualAt(Got.Address, Want.Address, "address, access", Index);
        Result.ExpectEqualAt(Got.Width, EfiCpuIoWidthUint32, "width, access", Index);
        if (Want.IsWrite) {
          Result.ExpectEqualAt(Got.Value, Want.Value, "value written, access", Index);
        }
        ++Index;
      }
    }
  }
  Result.Report();
}

void CheckIoApicId(const Scenario &Run) {
  Check Result("ioapic.id-register");
  const UINT32 Id = ReadIoApicRegister(kIoApics[0].Base, kIoApicIdRegister) >> kIoApicIdShift & kIoApicIdMask;
  Result.Expect(Run.IoApicIdBefore != kIoApics[0].Id, "the I/O APIC had ID 8 before the test");
  Result.ExpectEqual(Id, kIoApics[0].Id, "ID of the I/O APIC at 0xFEC00000");
  Result.Report();
}

} // namespace

void RecordPlatformStateBeforePhases(Scenario &Run) {
  Run.IoApicIdBefore = ReadIoApicRegister(kIoApics[0].Base, kIoApicIdRegister) >> kIoApicIdShift & kIoApicIdMask;
  Line().Text("INFO ioapic: ID before the phases ").Decimal(Run.IoApicIdBefore).Print();
}

void RunPlatformChecks(Scenario &Run) {
  CheckDepConf();
  CheckConf();
  CheckIoApicWrites(Run);
  CheckIoApicId(Run);
}

} // namespace e2e
