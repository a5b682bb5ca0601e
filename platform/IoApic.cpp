#include "IoApic.h"

#include "base/Decisions.h"

namespace {

[[nodiscard]] EFI_STATUS ReadIoApic32(EFI_CPU_IO_PROTOCOL *CpuIo, UINT64 Address, UINT32 *Value) {
  return CpuIo->Mem.Read(CpuIo, EfiCpuIoWidthUint32, Address, 1, Value);
}

[[nodiscard]] EFI_STATUS WriteIoApic32(EFI_CPU_IO_PROTOCOL *CpuIo, UINT64 Address, UINT32 Value) {
  return CpuIo->Mem.Write(CpuIo, EfiCpuIoWidthUint32, Address, 1, &Value);
}

bool IoApicAnswers(EFI_CPU_IO_PROTOCOL *CpuIo, UINT32 Base) {
  UINT32 Index = IOAPIC_ABSENT;
  const EFI_STATUS Status = ReadIoApic32(CpuIo, static_cast<UINT64>(Base) + IOAPIC_INDEX_OFFSET, &Index);
  return !EFI_ERROR(Status) && Index != IOAPIC_ABSENT;
}

// When the selection fails the data window still points at whatever register
// was selected before, so the value is not written there.
void WriteIoApicRegister(EFI_CPU_IO_PROTOCOL *CpuIo, UINT32 Base, UINT32 Register, UINT32 Value) {
  if (EFI_ERROR(WriteIoApic32(CpuIo, static_cast<UINT64>(Base) + IOAPIC_INDEX_OFFSET, Register))) {
    return;
  }
  (void)WriteIoApic32(CpuIo, static_cast<UINT64>(Base) + IOAPIC_DATA_OFFSET, Value);
}

} // namespace

void ProgramIoApicId(EFI_CPU_IO_PROTOCOL *CpuIo, UINT32 Base, UINT8 Id) {
  if (!IoApicAnswers(CpuIo, Base)) {
    Decide(DECISION_KIND::IoApic, DECISION_REASON::NoAnswer, DECISION_NOWHERE, Base, Id);
    return;
  }
  Decide(DECISION_KIND::IoApic, DECISION_REASON::IdProgrammed, DECISION_NOWHERE, Base, Id);
  WriteIoApicRegister(CpuIo, Base, IOAPIC_ID_REGISTER, static_cast<UINT32>(Id) << IOAPIC_ID_SHIFT);
  WriteIoApicRegister(CpuIo, Base, IOAPIC_BOOT_CONFIG_REGISTER, IOAPIC_BOOT_CONFIG_SYSTEM_BUS_DELIVERY);
}
