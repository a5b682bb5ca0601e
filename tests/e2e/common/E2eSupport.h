// What the test-support driver (E2eSupportDxe.efi) offers the test application:
// the contents of the option ROM files in its in-memory volume, the two
// configuration blocks it provides, and a report of what the driver under test
// did through the interfaces it installed.
#pragma once

#include "E2eUefi.h"

namespace e2e {

// --- Option ROM files of the in-memory volume -----------------------------------

struct TestRomFile {
  EFI_GUID FileGuid;
  UINT32 Size;
  UINT8 Seed;
};

// The two files the board's option ROM table names for device 31, function 2:
// the first serves 8086:2681 and 8086:2682, the second 8086:2682 only.
inline constexpr TestRomFile kSharedRomFile = {
    {0x52A0547A, 0x9ED6, 0x4F7C, {0x9C, 0x1F, 0x40, 0x91, 0x1E, 0x1C, 0xB0, 0x25}}, 3 * 512, 0x21};
inline constexpr TestRomFile kSecondRomFile = {
    {0xE8441378, 0x54D5, 0x4D9D, {0xB2, 0x38, 0x82, 0x34, 0x3E, 0x6B, 0xA5, 0x81}}, 4 * 512, 0x6B};
inline constexpr const TestRomFile *kTestRomFiles[] = {&kSharedRomFile, &kSecondRomFile};

// A legacy option ROM header (0x55 0xAA, length in 512-byte units), then a
// pattern that differs per file and per offset, so a swapped, truncated or
// shifted image shows.
constexpr UINT8 TestRomByte(const TestRomFile &File, UINTN Offset) {
  switch (Offset) {
  case 0:
    return 0x55;
  case 1:
    return 0xAA;
  case 2:
    return static_cast<UINT8>(File.Size / 512);
  default:
    return static_cast<UINT8>(File.Seed + Offset * 7 + (Offset >> 8));
  }
}

// --- Configuration blocks ---------------------------------------------------------

inline constexpr const CHAR16 *kDepConfBlockName = u"QMX_DEP_CONF";
inline constexpr const CHAR16 *kConfBlockName = u"QMX_CONF";
// Larger than anything the driver may write, and filled before the driver
// runs, so writes outside the expected bytes show.
inline constexpr UINTN kDepConfBlockSize = 32;
inline constexpr UINTN kConfBlockSize = 448;
inline constexpr UINT8 kConfigBlockFill = 0xA5;

// --- Report -------------------------------------------------------------------------

// Test-only protocol on the support driver's handle.
inline constexpr EFI_GUID kSupportReportGuid = {
    0x28E05274, 0xC208, 0x4866, {0x82, 0x94, 0x19, 0xE0, 0x56, 0x41, 0x9E, 0x11}};

struct MemoryAccess {
  UINT64 Address;
  UINT32 Value;
  UINT8 Width;
  BOOLEAN IsWrite;
};

inline constexpr UINTN kMemoryLogCapacity = 64;

inline constexpr UINTN kUnfittedIoApicCapacity = 4;

struct SupportReport {
  // The Framework-era CPU I/O interface the support driver installed.
  EFI_CPU_IO_PROTOCOL *CpuIo;
  // Firmware volumes given the Framework-era interface: the firmware's own,
  // then the in-memory test volume.
  UINTN FirmwareVolumeCount;
  EFI_HANDLE TestVolumeHandle;
  // Memory accesses made through the Framework-era CPU I/O interface while
  // MemoryLogArmed is set; MemoryLogCount keeps counting past the capacity.
  BOOLEAN MemoryLogArmed;
  UINTN MemoryLogCount;
  MemoryAccess MemoryLog[kMemoryLogCapacity];
  // ReadSection calls the in-memory volume answered with an image.
  UINTN TestVolumeImagesServed;
  // I/O APIC bases the boot marked as not fitted (QEMU fw_cfg file
  // "opt/pciplat/unfitted-ioapics"): their 4 KiB page reads all ones and
  // ignores writes, as on a board without that I/O APIC.
  UINTN UnfittedIoApicCount;
  UINT32 UnfittedIoApics[kUnfittedIoApicCapacity];
};

} // namespace e2e
