// The board's I/O APICs and the programming of their IDs. Each I/O APIC is an
// indirect register file: a register is selected by writing its number to the
// index register at the base and then read or written through the data window.
#pragma once

#include "base/Protocols.h"

inline constexpr UINT32 IOAPIC_INDEX_OFFSET = 0x00;
inline constexpr UINT32 IOAPIC_DATA_OFFSET = 0x10;
// Nothing decodes the address: the read floats to all ones.
inline constexpr UINT32 IOAPIC_ABSENT = 0xFFFFFFFF;

// Register 0: the ID in bits 31-24, all other bits reserved (written as 0).
inline constexpr UINT32 IOAPIC_ID_REGISTER = 0;
inline constexpr UINT32 IOAPIC_ID_SHIFT = 24;
// Register 3, the chipset's boot configuration: 1 selects interrupt delivery
// over the system bus instead of the serial APIC bus.
inline constexpr UINT32 IOAPIC_BOOT_CONFIG_REGISTER = 3;
inline constexpr UINT32 IOAPIC_BOOT_CONFIG_SYSTEM_BUS_DELIVERY = 1;

inline constexpr UINT32 FIRST_IOAPIC_BASE = 0xFEC00000;
inline constexpr UINT8 FIRST_IOAPIC_ID = 8;
inline constexpr UINT32 SECOND_IOAPIC_BASE = 0xFEC80000;
inline constexpr UINT8 SECOND_IOAPIC_ID = 9;
inline constexpr UINT32 THIRD_IOAPIC_BASE = 0xFEC90000;
inline constexpr UINT8 THIRD_IOAPIC_ID = 10;

struct IOAPIC_ASSIGNMENT {
  UINT32 Base;
  UINT8 Id;
};

// Programmed in this order at the end of resource allocation.
inline constexpr IOAPIC_ASSIGNMENT mIoApicTable[] = {
    {FIRST_IOAPIC_BASE, FIRST_IOAPIC_ID},
    {SECOND_IOAPIC_BASE, SECOND_IOAPIC_ID},
    {THIRD_IOAPIC_BASE, THIRD_IOAPIC_ID},
};

// Gives the I/O APIC at Base the ID Id and selects system-bus delivery, through
// CpuIo. An address where nothing answers, or whose
// probe read fails, is left untouched.
void ProgramIoApicId(EFI_CPU_IO_PROTOCOL *CpuIo, UINT32 Base, UINT8 Id);
