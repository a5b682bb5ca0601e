// Framework-era CPU I/O over the firmware's PI CPU I/O 2: the two tables have
// the same layout and argument lists, so each member forwards as it stands.
// Memory accesses are logged for the report.
#include "Support.h"

namespace e2e::support {
namespace {

constinit EFI_CPU_IO2_PROTOCOL *gCpuIo2 = nullptr;

void LogMemoryAccess(EFI_CPU_IO_PROTOCOL_WIDTH Width, UINT64 Address, UINTN Count, const VOID *Buffer, bool IsWrite) {
  if (!gReport.MemoryLogArmed) {
    return;
  }
  const UINTN Index = gReport.MemoryLogCount++;
  if (Index >= kMemoryLogCapacity) {
    return;
  }
  MemoryAccess &Entry = gReport.MemoryLog[Index];
  Entry.Address = Address;
  Entry.Width = static_cast<UINT8>(Width);
  Entry.IsWrite = IsWrite ? 1 : 0;
  // The driver makes single 32-bit accesses; anything else is logged without
  // a value and shows as a mismatch.
  Entry.Value = (Width == EfiCpuIoWidthUint32 && Count == 1 && Buffer != nullptr) ? *static_cast<const UINT32 *>(Buffer)
                                                                                  : 0xDEADBEEF;
}

EFI_STATUS EFIAPI MemRead(EFI_CPU_IO_PROTOCOL * /*This*/, EFI_CPU_IO_PROTOCOL_WIDTH Width, UINT64 Address, UINTN Count,
                          VOID *Buffer) {
  const EFI_STATUS Status = gCpuIo2->Mem.Read(gCpuIo2, Width, Address, Count, Buffer);
  LogMemoryAccess(Width, Address, Count, Buffer, false);
  return Status;
}

EFI_STATUS EFIAPI MemWrite(EFI_CPU_IO_PROTOCOL * /*This*/, EFI_CPU_IO_PROTOCOL_WIDTH Width, UINT64 Address, UINTN Count,
                           VOID *Buffer) {
  LogMemoryAccess(Width, Address, Count, Buffer, true);
  return gCpuIo2->Mem.Write(gCpuIo2, Width, Address, Count, Buffer);
}

EFI_STATUS EFIAPI IoRead(EFI_CPU_IO_PROTOCOL * /*This*/, EFI_CPU_IO_PROTOCOL_WIDTH Width, UINT64 Address, UINTN Count,
                         VOID *Buffer) {
  return gCpuIo2->Io.Read(gCpuIo2, Width, Address, Count, Buffer);
}

EFI_STATUS EFIAPI IoWrite(EFI_CPU_IO_PROTOCOL * /*This*/, EFI_CPU_IO_PROTOCOL_WIDTH Width, UINT64 Address, UINTN Count,
                          VOID *Buffer) {
  return gCpuIo2->Io.Write(gCpuIo2, Width, Address, Count, Buffer);
}

constinit EFI_CPU_IO_PROTOCOL gCpuIo = {{MemRead, MemWrite}, {IoRead, IoWrite}};

} // namespace

EFI_STATUS InstallCpuIoShim() {
  VOID *Interface = nullptr;
  EFI_STATUS Status = gBootServices->LocateProtocol(&kCpuIo2ProtocolGuid, nullptr, &Interface);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  gCpuIo2 = static_cast<EFI_CPU_IO2_PROTOCOL *>(Interface);
  EFI_HANDLE Handle = nullptr;
  Status =
      gBootServices->InstallProtocolInterface(&Handle, &kFrameworkCpuIoProtocolGuid, EFI_NATIVE_INTERFACE, &gCpuIo);
  if (!EFI_ERROR(Status)) {
    gReport.CpuIo = &gCpuIo;
  }
  return Status;
}

} // namespace e2e::support
