// QEMU's firmware configuration device (fw_cfg), read by port I/O through the
// firmware's CPU I/O 2: lets a boot's command line (-fw_cfg name=...,string=...)
// shape what the support driver presents, as its devices shape the hierarchy.
#include "Support.h"

namespace e2e::support {
namespace {

constexpr UINT64 kFwCfgSelectorPort = 0x510; // 16-bit selector
constexpr UINT64 kFwCfgDataPort = 0x511;     // 8-bit data, auto-incrementing
constexpr UINT16 kFwCfgFileDirectory = 0x19;
constexpr UINTN kFwCfgFileNameBytes = 56;

struct FwCfgPorts {
  EFI_CPU_IO2_PROTOCOL *CpuIo;

  bool Select(UINT16 Key) const {
    return !EFI_ERROR(CpuIo->Io.Write(CpuIo, EfiCpuIoWidthUint16, kFwCfgSelectorPort, 1, &Key));
  }
  UINT8 Byte() const {
    UINT8 Value = 0;
    return EFI_ERROR(CpuIo->Io.Read(CpuIo, EfiCpuIoWidthUint8, kFwCfgDataPort, 1, &Value)) ? 0 : Value;
  }
  // fw_cfg's directory fields are big-endian.
  UINT32 BigEndian(UINTN Bytes) const {
    UINT32 Value = 0;
    for (UINTN Index = 0; Index < Bytes; ++Index) {
      Value = Value << 8 | Byte();
    }
    return Value;
  }
};

bool NamesEqual(const char *Entry, const char *Name) {
  UINTN Index = 0;
  for (; Index < kFwCfgFileNameBytes && Name[Index] != '\0'; ++Index) {
    if (Entry[Index] != Name[Index]) {
      return false;
    }
  }
  return Index < kFwCfgFileNameBytes && Entry[Index] == '\0';
}

} // namespace

UINTN ReadFwCfgFile(EFI_CPU_IO2_PROTOCOL *CpuIo, const char *Name, char *Buffer, UINTN Capacity) {
  const FwCfgPorts Ports = {CpuIo};
  if (!Ports.Select(kFwCfgFileDirectory)) {
    return 0;
  }
  const UINT32 Count = Ports.BigEndian(4);
  for (UINT32 File = 0; File < Count; ++File) {
    const UINT32 Size = Ports.BigEndian(4);
    const UINT16 Key = static_cast<UINT16>(Ports.BigEndian(2));
    Ports.BigEndian(2); // reserved
    char Entry[kFwCfgFileNameBytes];
    for (char &Character : Entry) {
      Character = static_cast<char>(Ports.Byte());
    }
    if (NamesEqual(Entry, Name)) {
      const UINTN Length = Size < Capacity ? Size : Capacity;
      if (!Ports.Select(Key)) {
        return 0;
      }
      for (UINTN Index = 0; Index < Length; ++Index) {
        Buffer[Index] = static_cast<char>(Ports.Byte());
      }
      return Length;
    }
  }
  return 0;
}

} // namespace e2e::support
