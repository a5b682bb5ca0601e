#include "IoApic.h"

#include "core/Driver.h"

namespace {

[[nodiscard]] EFI_STATUS ReadIoApic32(UINT64 Address, UINT32 *Value) {
  return mCpuIo->Mem.Read(mCpuIo, EfiCpuIoWidthUint32, Address, 1, Value);
}

[[nodiscard]] EFI_STATUS WriteIoApic32(UINT64 Address, UINT32 Value) {
  return mCpuIo->Mem.Write(mCpuIo, EfiCpuIoWidthUint32, Address, 1, &Value);
}

bool IoApicAnswers(UINT32 Base) {
  UINT32 Index = IOAPIC_ABSENT;
  const EFI_STATUS Status = ReadIoApic32(static_cast<UINT64>(Base) + IOAPIC_INDEX_OFFSET, &Index);
  return !EFI_ERROR(Status) && Index != IOAPIC_ABSENT;
}

// When the selection fails the data window still points at whatever register
// was selected before, so the value is not written there.
void WriteIoApicRegister(UINT32 Base, UINT32 Register, UINT32 Value) {
  if (EFI_ERROR(WriteIoApic32(static_cast<UINT64>(Base) + IOAPIC_INDEX_OFFSET, Register))) {
    return;
  }
  (void)WriteIoApic32(static_cast<UINT64>(Base) + IOAPIC_DATA_OFFSET, Value);
}

} // namespace

void ProgramIoApicId(UINT32 Base, UINT8 Id) {
  if (!IoApicAnswers(Base)) {
    return;
  }
  WriteIoApicRegister(Base, IOAPIC_ID_REGISTER, static_cast<UINT32>(Id) << IOAPIC_ID_SHIFT);
  WriteIoApicRegister(Base, IOAPIC_BOOT_CONFIG_REGISTER, IOAPIC_BOOT_CONFIG_SYSTEM_BUS_DELIVERY);
}
