// The firmware as the test application reaches it: the tables it was started
// with and a few lookups built on the boot services.
#pragma once

#include "tests/e2e/common/E2eUefi.h"

namespace e2e {

extern EFI_HANDLE gImageHandle;
extern EFI_SYSTEM_TABLE *gSystemTable;
extern EFI_BOOT_SERVICES *gBootServices;
extern EFI_RUNTIME_SERVICES *gRuntimeServices;

void InitFirmware(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);

// The handles carrying Protocol (all handles when Protocol is null), in the
// firmware's order. Owns its pool buffer.
class HandleList {
public:
  explicit HandleList(const EFI_GUID *Protocol);
  ~HandleList();
  HandleList(const HandleList &) = delete;
  HandleList &operator=(const HandleList &) = delete;

  [[nodiscard]] EFI_STATUS Status() const { return mStatus; }
  [[nodiscard]] UINTN Count() const { return mCount; }
  [[nodiscard]] EFI_HANDLE operator[](UINTN Index) const { return mHandles[Index]; }
  [[nodiscard]] bool Contains(EFI_HANDLE Handle) const;

private:
  EFI_STATUS mStatus = EFI_NOT_FOUND;
  UINTN mCount = 0;
  EFI_HANDLE *mHandles = nullptr;
};

template <typename Interface> Interface *HandleInterface(EFI_HANDLE Handle, const EFI_GUID &Protocol) {
  VOID *Found = nullptr;
  if (EFI_ERROR(gBootServices->HandleProtocol(Handle, &Protocol, &Found))) {
    return nullptr;
  }
  return static_cast<Interface *>(Found);
}

template <typename Interface> Interface *LocateInterface(const EFI_GUID &Protocol) {
  VOID *Found = nullptr;
  if (EFI_ERROR(gBootServices->LocateProtocol(&Protocol, nullptr, &Found))) {
    return nullptr;
  }
  return static_cast<Interface *>(Found);
}

bool BytesEqual(const VOID *Left, const VOID *Right, UINTN Length);

// The named block of the configuration-block provider, or null when there is
// no provider or no such block.
const UINT8 *ConfigBlock(const CHAR16 *Name);

// Replaces a pointer in a firmware service table and keeps the table's CRC
// valid, as the UEFI specification requires of anyone changing a table.
template <typename Slot> void PatchServiceTable(EFI_TABLE_HEADER *Table, UINTN TableSize, Slot *Member, Slot Value) {
  *Member = Value;
  Table->CRC32 = 0;
  UINT32 Crc = 0;
  if (!EFI_ERROR(CalculateCrc32(gBootServices)(Table, TableSize, &Crc))) {
    Table->CRC32 = Crc;
  }
}

} // namespace e2e
