#include "sim/Machine.h"

#include "driver/Driver.h"
#include "driver/HostReset.h"
#include "sim/FirmwareVolume.h"
#include "sim/PciIoDevice.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {

namespace {

Machine *CurrentMachine = nullptr;

// --- Boot services ------------------------------------------------------------

EFI_STATUS EFIAPI AllocatePoolService(EFI_MEMORY_TYPE Type, UINTN Size, VOID **Buffer) {
  return Machine::Current().Memory().Allocate(Type, Size, Buffer);
}
EFI_STATUS EFIAPI FreePoolService(VOID *Buffer) { return Machine::Current().Memory().Free(Buffer); }
EFI_STATUS EFIAPI InstallProtocolInterfaceService(EFI_HANDLE *Handle, const EFI_GUID *Protocol, EFI_INTERFACE_TYPE Type,
                                                  VOID *Interface) {
  if (Protocol == nullptr || Type != EFI_NATIVE_INTERFACE) {
    return EFI_INVALID_PARAMETER;
  }
  return Machine::Current().Handles().Install(Handle, *Protocol, Interface);
}
EFI_STATUS EFIAPI UninstallProtocolInterfaceService(EFI_HANDLE Handle, const EFI_GUID *Protocol, VOID *Interface) {
  if (Protocol == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  return Machine::Current().Handles().Uninstall(Handle, *Protocol, Interface);
}
EFI_STATUS EFIAPI HandleProtocolService(EFI_HANDLE Handle, const EFI_GUID *Protocol, VOID **Interface) {
  if (Protocol == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  return Machine::Current().Handles().HandleProtocol(Handle, *Protocol, Interface);
}
EFI_STATUS EFIAPI StallService(UINTN Microseconds) {
  Machine::Current().Stall(Microseconds);
  return EFI_SUCCESS;
}
EFI_STATUS EFIAPI LocateHandleBufferService(EFI_LOCATE_SEARCH_TYPE SearchType, const EFI_GUID *Protocol,
                                            VOID *SearchKey, UINTN *Count, EFI_HANDLE **Buffer) {
  (void)SearchKey;
  return Machine::Current().Handles().LocateHandleBuffer(SearchType, Protocol, Count, Buffer);
}
EFI_STATUS EFIAPI LocateProtocolService(const EFI_GUID *Protocol, VOID *Registration, VOID **Interface) {
  (void)Registration;
  if (Protocol == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  return Machine::Current().Handles().LocateProtocol(*Protocol, Interface);
}
EFI_STATUS EFIAPI InstallMultipleProtocolInterfacesService(EFI_HANDLE *Handle, ...) {
  std::vector<std::pair<const EFI_GUID *, VOID *>> Pairs;
  __builtin_ms_va_list Arguments;
  __builtin_ms_va_start(Arguments, Handle);
  for (;;) {
    const auto *Protocol = __builtin_va_arg(Arguments, const EFI_GUID *);
    if (Protocol == nullptr) {
      break;
    }
    Pairs.emplace_back(Protocol, __builtin_va_arg(Arguments, VOID *));
  }
  __builtin_ms_va_end(Arguments);
  return Machine::Current().Handles().InstallMultiple(Handle, Pairs);
}
VOID EFIAPI CopyMemService(VOID *Destination, const VOID *Source, UINTN Length) {
  std::memmove(Destination, Source, Length);
}
VOID EFIAPI SetMemService(VOID *Buffer, UINTN Size, UINT8 Value) { std::memset(Buffer, Value, Size); }

// --- Runtime services ---------------------------------------------------------

EFI_STATUS EFIAPI GetVariableService(const CHAR16 *Name, const EFI_GUID *Vendor, UINT32 *Attributes, UINTN *DataSize,
                                     VOID *Data) {
  return Machine::Current().Variables().Get(Name, Vendor, Attributes, DataSize, Data);
}
EFI_STATUS EFIAPI SetVariableService(const CHAR16 *Name, const EFI_GUID *Vendor, UINT32 Attributes, UINTN DataSize,
                                     const VOID *Data) {
  return Machine::Current().Variables().SetFromService(Name, Vendor, Attributes, DataSize, Data);
}

// --- Root bridge I/O and CPU I/O ---------------------------------------------

[[gnu::noinline]] EFI_STATUS EFIAPI RootBridgeLoggedRead(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_WIDTH Width, UINT64 Address,
                                                         UINTN Count, VOID *Buffer) {
  return Machine::Current().RootBridgeAccess(false, Width, Address, Count, Buffer);
}

// The driver calls in with the UEFI calling convention, under which xmm6-xmm15
// survive a call: a call from here into ordinary code saves and restores all
// ten, on each of the thousands of reads of a run (a tenth of its time). Most
// reads, probes of absent functions among them, are answered here without a
// call; the rest take the full path through a function of the same convention.
EFI_STATUS EFIAPI RootBridgePciRead(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *This, EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_WIDTH Width,
                                    UINT64 Address, UINTN Count, VOID *Buffer) {
  (void)This;
  if (CurrentMachine != nullptr && CurrentMachine->ReadWithoutCall(Width, Address, Count, Buffer)) {
    return EFI_SUCCESS;
  }
  return RootBridgeLoggedRead(Width, Address, Count, Buffer);
}
EFI_STATUS EFIAPI RootBridgePciWrite(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *This, EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_WIDTH Width,
                                     UINT64 Address, UINTN Count, VOID *Buffer) {
  (void)This;
  return Machine::Current().RootBridgeAccess(true, Width, Address, Count, Buffer);
}
EFI_STATUS EFIAPI RootBridgeUnsupported(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *, EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_WIDTH,
                                        UINT64, UINTN, VOID *) {
  Machine::Current().RecordFault("root bridge memory or I/O space access");
  return EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI CpuMemRead(EFI_CPU_IO_PROTOCOL *This, EFI_CPU_IO_PROTOCOL_WIDTH Width, UINT64 Address, UINTN Count,
                             VOID *Buffer) {
  (void)This;
  return Machine::Current().CpuMemoryAccess(false, Width, Address, Count, Buffer);
}
EFI_STATUS EFIAPI CpuMemWrite(EFI_CPU_IO_PROTOCOL *This, EFI_CPU_IO_PROTOCOL_WIDTH Width, UINT64 Address, UINTN Count,
                              VOID *Buffer) {
  (void)This;
  return Machine::Current().CpuMemoryAccess(true, Width, Address, Count, Buffer);
}
EFI_STATUS EFIAPI CpuIoUnsupported(EFI_CPU_IO_PROTOCOL *, EFI_CPU_IO_PROTOCOL_WIDTH, UINT64, UINTN, VOID *) {
  Machine::Current().RecordFault("CPU I/O port access");
  return EFI_UNSUPPORTED;
}

UINT8 WidthBytes(UINT32 Width) { return static_cast<UINT8>(1U << (Width & 3)); }

void StoreElement(VOID *Buffer, UINT8 Width, UINT64 Value) {
  switch (Width) {
  case 1:
    *static_cast<UINT8 *>(Buffer) = static_cast<UINT8>(Value);
    break;
  case 2: {
    const auto Element = static_cast<UINT16>(Value);
    std::memcpy(Buffer, &Element, sizeof(Element));
    break;
  }
  case 4: {
    const auto Element = static_cast<UINT32>(Value);
    std::memcpy(Buffer, &Element, sizeof(Element));
    break;
  }
  default:
    std::memcpy(Buffer, &Value, sizeof(Value));
    break;
  }
}

} // namespace

Machine::Machine() {
  if (CurrentMachine != nullptr) {
    std::fprintf(stderr, "sim::Machine: only one machine may exist at a time\n");
    std::abort();
  }
  CurrentMachine = this;
  host::AttachSeamTarget(this);
  BuildServiceTables();
  HostBridge = Database.NewHandle();
  (void)Database.Install(&RootBridge, EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_GUID, &RootBridgeProtocol);
  (void)Database.Install(&CpuIoHandle, EFI_CPU_IO_PROTOCOL_GUID, &CpuIoProtocol);
}

Machine::~Machine() {
  host::AttachSeamTarget(nullptr);
  CurrentMachine = nullptr;
}

Machine &Machine::Current() {
  if (CurrentMachine == nullptr) {
    std::fprintf(stderr, "sim::Machine: a firmware service was called with no machine\n");
    std::abort();
  }
  return *CurrentMachine;
}

void Machine::BuildServiceTables() {
  Boot.Hdr.Signature = 0x56524553544f4f42ULL; // "BOOTSERV"
  Boot.Hdr.HeaderSize = sizeof(Boot);
  Boot.AllocatePool = AllocatePoolService;
  Boot.FreePool = FreePoolService;
  Boot.InstallProtocolInterface = InstallProtocolInterfaceService;
  Boot.UninstallProtocolInterface = reinterpret_cast<EFI_UNUSED_SERVICE>(UninstallProtocolInterfaceService);
  Boot.HandleProtocol = HandleProtocolService;
  Boot.Stall = StallService;
  Boot.LocateHandleBuffer = LocateHandleBufferService;
  Boot.LocateProtocol = LocateProtocolService;
  Boot.InstallMultipleProtocolInterfaces = InstallMultipleProtocolInterfacesService;
  Boot.CopyMem = CopyMemService;
  Boot.SetMem = SetMemService;

  Runtime.Hdr.Signature = 0x56524553544e5552ULL; // "RUNTSERV"
  Runtime.Hdr.HeaderSize = sizeof(Runtime);
  Runtime.GetVariable = GetVariableService;
  Runtime.SetVariable = reinterpret_cast<EFI_UNUSED_SERVICE>(SetVariableService);

  System.Hdr.Signature = 0x5453595320494249ULL; // "IBI SYST"
  System.Hdr.HeaderSize = sizeof(System);
  System.BootServices = &Boot;
  System.RuntimeServices = &Runtime;

  RootBridgeProtocol.Mem = {RootBridgeUnsupported, RootBridgeUnsupported};
  RootBridgeProtocol.Io = {RootBridgeUnsupported, RootBridgeUnsupported};
  RootBridgeProtocol.Pci = {RootBridgePciRead, RootBridgePciWrite};
  CpuIoProtocol.Mem = {CpuMemRead, CpuMemWrite};
  CpuIoProtocol.Io = {CpuIoUnsupported, CpuIoUnsupported};
}

FirmwareVolume &Machine::AddFirmwareVolume() {
  Volumes.push_back(std::make_unique<FirmwareVolume>(*this));
  return *Volumes.back();
}

PciIoDevice &Machine::AddPciIoDevice(Bdf Where, UINT32 Segment) {
  PciIoDevices.push_back(std::make_unique<PciIoDevice>(*this, Where, Segment));
  return *PciIoDevices.back();
}

const PciIoDevice *Machine::PciIoDeviceOn(EFI_HANDLE Handle) const {
  for (const auto &Device : PciIoDevices) {
    if (Device->Handle() == Handle) {
      return Device.get();
    }
  }
  return nullptr;
}

EFI_STATUS Machine::LoadDriver() {
  ResetDriverImage();
  ImageHandle = Database.NewHandle();
  return PciPlatformDriverEntry(ImageHandle, &System);
}

EFI_PCI_PLATFORM_PROTOCOL *Machine::PciPlatform() {
  VOID *Interface = nullptr;
  if (EFI_ERROR(Database.LocateProtocol(EFI_PCI_PLATFORM_PROTOCOL_GUID, &Interface))) {
    return nullptr;
  }
  return static_cast<EFI_PCI_PLATFORM_PROTOCOL *>(Interface);
}

PCI_CALLBACK_PROTOCOL *Machine::PciCallback() {
  VOID *Interface = nullptr;
  if (EFI_ERROR(Database.LocateProtocol(gPciCallbackProtocolGuid, &Interface))) {
    return nullptr;
  }
  return static_cast<PCI_CALLBACK_PROTOCOL *>(Interface);
}

std::vector<std::string> Machine::Faults() const {
  std::vector<std::string> All = PoolMemory.Faults();
  All.insert(All.end(), FaultLog.begin(), FaultLog.end());
  return All;
}

bool Machine::PastAccessLimit() {
  if (Counted == AccessLimit + 1) {
    RecordFault("access limit of " + std::to_string(AccessLimit) + " configuration and window accesses exceeded");
  }
  return true;
}

void Machine::Stall(UINTN Duration) {
  Microseconds += Duration;
  ++Stalls;
}

EFI_STATUS Machine::RootBridgeAccess(bool Write, EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_WIDTH Width, UINT64 Address,
                                     UINTN Count, VOID *Buffer) {
  if (Buffer == nullptr || Width > EfiPciWidthUint64) {
    return EFI_INVALID_PARAMETER;
  }
  if (!WithinAccessLimit()) {
    return EFI_DEVICE_ERROR;
  }
  const UINT8 Bytes = WidthBytes(Width);
  const UINT64 Register = (Address >> 32) != 0 ? Address >> 32 : Address & 0xFF;
  if (!UnalignedAllowed && Register % Bytes != 0) {
    Accesses.Record(
        {Write ? AccessKind::ConfigWrite : AccessKind::ConfigRead, Address, Bytes, Count, 0, EFI_INVALID_PARAMETER});
    return EFI_INVALID_PARAMETER;
  }
  auto *Elements = static_cast<UINT8 *>(Buffer);
  EFI_STATUS Status = EFI_SUCCESS;
  UINT64 First = 0;
  if (!Write) {
    Status = Bus.ConfigReadElements(Address, Bytes, Count, Elements, &First);
  }
  for (UINTN Index = 0; Write && Index < Count && !EFI_ERROR(Status); ++Index) {
    UINT64 Value = 0;
    std::memcpy(&Value, Elements + Index * Bytes, Bytes);
    Status = Bus.ConfigWrite(Address + Index * Bytes, Bytes, Value);
    if (Index == 0) {
      First = Value;
    }
  }
  Accesses.Record({Write ? AccessKind::ConfigWrite : AccessKind::ConfigRead, Address, Bytes, Count, First, Status});
  return Status;
}

[[gnu::always_inline]] inline bool Machine::ReadWithoutCall(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_WIDTH Width, UINT64 Address,
                                                            UINTN Count, VOID *Buffer) {
  if (Count != 1 || Buffer == nullptr || Width > EfiPciWidthUint64 || !Accesses.HasRoom() ||
      (AccessLimit != 0 && Counted >= AccessLimit)) {
    return false;
  }
  const UINT8 Bytes = WidthBytes(Width);
  const UINT64 Register = (Address >> 32) != 0 ? Address >> 32 : Address & 0xFF;
  UINT64 Value = 0;
  if ((!UnalignedAllowed && Register % Bytes != 0) || !Bus.ReadWithoutEffect(Address, Bytes, &Value)) {
    return false;
  }
  ++Counted;
  StoreElement(Buffer, Bytes, Value);
  Accesses.RecordInRoom({AccessKind::ConfigRead, Address, Bytes, Count, Value, EFI_SUCCESS});
  return true;
}

EFI_STATUS Machine::CpuMemoryAccess(bool Write, EFI_CPU_IO_PROTOCOL_WIDTH Width, UINT64 Address, UINTN Count,
                                    VOID *Buffer) {
  if (Buffer == nullptr || Width > EfiCpuIoWidthUint64) {
    return EFI_INVALID_PARAMETER;
  }
  const UINT8 Bytes = WidthBytes(Width);
  const AccessKind Kind = Write ? AccessKind::MemoryWrite : AccessKind::MemoryRead;
  const auto Injected = CpuMemoryFailures.find({Kind, Address});
  auto *Elements = static_cast<UINT8 *>(Buffer);
  if (Injected != CpuMemoryFailures.end()) {
    UINT64 Attempted = 0;
    if (Write && Count != 0) {
      std::memcpy(&Attempted, Elements, Bytes);
    }
    Accesses.Record({Kind, Address, Bytes, Count, Attempted, Injected->second});
    return Injected->second;
  }
  UINT64 First = 0;
  for (UINTN Index = 0; Index < Count; ++Index) {
    UINT64 Value = 0;
    const UINT64 ElementAddress = Address + Index * Bytes;
    if (Write) {
      std::memcpy(&Value, Elements + Index * Bytes, Bytes);
      Mmio.Write(ElementAddress, Bytes, Value);
    } else {
      Value = Mmio.Read(ElementAddress, Bytes);
      std::memcpy(Elements + Index * Bytes, &Value, Bytes);
    }
    if (Index == 0) {
      First = Value;
    }
  }
  Accesses.Record({Kind, Address, Bytes, Count, First, EFI_SUCCESS});
  return EFI_SUCCESS;
}

UINT64 Machine::PhysicalRead(UINT64 Address, UINT8 Width) {
  if (!PciBus::InWindow(Address)) {
    char Text[96];
    std::snprintf(Text, sizeof(Text), "physical read of %#llx outside the configuration window",
                  static_cast<unsigned long long>(Address));
    RecordFault(Text);
    return ~0ULL >> (64 - 8 * Width);
  }
  if (!WithinAccessLimit()) {
    return ~0ULL >> (64 - 8 * Width);
  }
  const UINT64 Value = WindowDecoded ? Bus.WindowRead(Address, Width) : 0;
  Accesses.Record({AccessKind::WindowRead, Address, Width, 1, Value, EFI_SUCCESS});
  return Value;
}

void Machine::PhysicalWrite(UINT64 Address, UINT8 Width, UINT64 Value) {
  if (!PciBus::InWindow(Address)) {
    char Text[96];
    std::snprintf(Text, sizeof(Text), "physical write of %#llx outside the configuration window",
                  static_cast<unsigned long long>(Address));
    RecordFault(Text);
    return;
  }
  if (!WithinAccessLimit()) {
    return;
  }
  if (WindowDecoded) {
    Bus.WindowWrite(Address, Width, Value);
  }
  Accesses.Record({AccessKind::WindowWrite, Address, Width, 1, Value, EFI_SUCCESS});
}

} // namespace sim
