// Framework-era CPU I/O over the firmware's PI CPU I/O 2: the two tables have
// the same layout and argument lists, so each member forwards as it stands.
// Memory accesses are logged for the report. An I/O APIC the boot marks as
// not fitted reads all ones, as a real board's unclaimed addresses do (QEMU's
// read 0).
#include "Support.h"

namespace e2e::support {
namespace {

constinit EFI_CPU_IO2_PROTOCOL *gCpuIo2 = nullptr;

constexpr const char kUnfittedIoApicsFile[] = "opt/pciplat/unfitted-ioapics";
constexpr UINT64 kIoApicPageMask = ~UINT64{0xFFF};

// "0xfec80000,0xfec90000": hexadecimal bases, separated by anything else.
void ParseUnfittedIoApics(const char *Text, UINTN Length) {
  UINT32 Value = 0;
  bool InNumber = false;
  for (UINTN Index = 0; Index <= Length; ++Index) {
    const char Character = Index < Length ? Text[Index] : ',';
    const bool Prefix = InNumber && Value == 0 && (Character == 'x' || Character == 'X');
    const int Digit = Character >= '0' && Character <= '9'   ? Character - '0'
                      : Character >= 'a' && Character <= 'f' ? Character - 'a' + 10
                      : Character >= 'A' && Character <= 'F' ? Character - 'A' + 10
                                                             : -1;
    if (Digit >= 0 || Prefix) {
      Value = Prefix ? 0 : Value << 4 | static_cast<UINT32>(Digit);
      InNumber = true;
    } else if (InNumber) {
      if (gReport.UnfittedIoApicCount < kUnfittedIoApicCapacity) {
        gReport.UnfittedIoApics[gReport.UnfittedIoApicCount++] = Value;
      }
      Value = 0;
      InNumber = false;
    }
  }
}

bool Unfitted(UINT64 Address) {
  for (UINTN Index = 0; Index < gReport.UnfittedIoApicCount; ++Index) {
    if ((Address & kIoApicPageMask) == gReport.UnfittedIoApics[Index]) {
      return true;
    }
  }
  return false;
}

UINTN WidthBytes(EFI_CPU_IO_PROTOCOL_WIDTH Width) { return UINTN{1} << (static_cast<UINTN>(Width) & 3); }

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
  EFI_STATUS Status = EFI_SUCCESS;
  if (Unfitted(Address) && Buffer != nullptr) {
    gBootServices->SetMem(Buffer, WidthBytes(Width) * Count, 0xFF);
  } else {
    Status = gCpuIo2->Mem.Read(gCpuIo2, Width, Address, Count, Buffer);
  }
  LogMemoryAccess(Width, Address, Count, Buffer, false);
  return Status;
}

EFI_STATUS EFIAPI MemWrite(EFI_CPU_IO_PROTOCOL * /*This*/, EFI_CPU_IO_PROTOCOL_WIDTH Width, UINT64 Address, UINTN Count,
                           VOID *Buffer) {
  LogMemoryAccess(Width, Address, Count, Buffer, true);
  return Unfitted(Address) ? EFI_SUCCESS : gCpuIo2->Mem.Write(gCpuIo2, Width, Address, Count, Buffer);
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
  char List[64];
  ParseUnfittedIoApics(List, ReadFwCfgFile(gCpuIo2, kUnfittedIoApicsFile, List, sizeof(List)));
  EFI_HANDLE Handle = nullptr;
  Status =
      gBootServices->InstallProtocolInterface(&Handle, &kFrameworkCpuIoProtocolGuid, EFI_NATIVE_INTERFACE, &gCpuIo);
  if (!EFI_ERROR(Status)) {
    gReport.CpuIo = &gCpuIo;
  }
  return Status;
}

} // namespace e2e::support
