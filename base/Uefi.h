// UEFI system table, boot services and runtime services, written from the
// UEFI specification, chapters 4, 7 and 8. Member order is ABI: every table
// below lists its members exactly in the published order, used or not.
#pragma once

#include "EfiBaseTypes.h"

#include <stddef.h>

enum EFI_MEMORY_TYPE : UINT32 {
  EfiReservedMemoryType,
  EfiLoaderCode,
  EfiLoaderData,
  EfiBootServicesCode,
  EfiBootServicesData,
  EfiRuntimeServicesCode,
  EfiRuntimeServicesData,
};

enum EFI_INTERFACE_TYPE : UINT32 { EFI_NATIVE_INTERFACE };

enum EFI_LOCATE_SEARCH_TYPE : UINT32 { AllHandles, ByRegisterNotify, ByProtocol };

struct EFI_TABLE_HEADER {
  UINT64 Signature;
  UINT32 Revision;
  UINT32 HeaderSize;
  UINT32 CRC32;
  UINT32 Reserved;
};
static_assert(sizeof(EFI_TABLE_HEADER) == 24);

// A service this driver never calls; only its slot in the table matters.
using EFI_UNUSED_SERVICE = VOID(EFIAPI *)();

// --- Boot services -----------------------------------------------------------

using EFI_ALLOCATE_POOL = EFI_STATUS(EFIAPI *)(EFI_MEMORY_TYPE PoolType, UINTN Size, VOID **Buffer);
using EFI_FREE_POOL = EFI_STATUS(EFIAPI *)(VOID *Buffer);
using EFI_INSTALL_PROTOCOL_INTERFACE = EFI_STATUS(EFIAPI *)(EFI_HANDLE *Handle, const EFI_GUID *Protocol,
                                                            EFI_INTERFACE_TYPE InterfaceType, VOID *Interface);
using EFI_HANDLE_PROTOCOL = EFI_STATUS(EFIAPI *)(EFI_HANDLE Handle, const EFI_GUID *Protocol, VOID **Interface);
using EFI_STALL = EFI_STATUS(EFIAPI *)(UINTN Microseconds);
using EFI_LOCATE_HANDLE_BUFFER = EFI_STATUS(EFIAPI *)(EFI_LOCATE_SEARCH_TYPE SearchType, const EFI_GUID *Protocol,
                                                      VOID *SearchKey, UINTN *NoHandles, EFI_HANDLE **Buffer);
using EFI_LOCATE_PROTOCOL = EFI_STATUS(EFIAPI *)(const EFI_GUID *Protocol, VOID *Registration, VOID **Interface);
// Variadic: GUID/interface pairs, then a null GUID pointer.
using EFI_INSTALL_MULTIPLE_PROTOCOL_INTERFACES = EFI_STATUS(EFIAPI *)(EFI_HANDLE *Handle, ...);
using EFI_COPY_MEM = VOID(EFIAPI *)(VOID *Destination, const VOID *Source, UINTN Length);
using EFI_SET_MEM = VOID(EFIAPI *)(VOID *Buffer, UINTN Size, UINT8 Value);

struct EFI_BOOT_SERVICES {
  EFI_TABLE_HEADER Hdr;
  // Task priority
  EFI_UNUSED_SERVICE RaiseTPL;
  EFI_UNUSED_SERVICE RestoreTPL;
  // Memory
  EFI_UNUSED_SERVICE AllocatePages;
  EFI_UNUSED_SERVICE FreePages;
  EFI_UNUSED_SERVICE GetMemoryMap;
  EFI_ALLOCATE_POOL AllocatePool;
  EFI_FREE_POOL FreePool;
  // Events and timers
  EFI_UNUSED_SERVICE CreateEvent;
  EFI_UNUSED_SERVICE SetTimer;
  EFI_UNUSED_SERVICE WaitForEvent;
  EFI_UNUSED_SERVICE SignalEvent;
  EFI_UNUSED_SERVICE CloseEvent;
  EFI_UNUSED_SERVICE CheckEvent;
  // Protocol handlers
  EFI_INSTALL_PROTOCOL_INTERFACE InstallProtocolInterface;
  EFI_UNUSED_SERVICE ReinstallProtocolInterface;
  EFI_UNUSED_SERVICE UninstallProtocolInterface;
  EFI_HANDLE_PROTOCOL HandleProtocol;
  VOID *Reserved;
  EFI_UNUSED_SERVICE RegisterProtocolNotify;
  EFI_UNUSED_SERVICE LocateHandle;
  EFI_UNUSED_SERVICE LocateDevicePath;
  EFI_UNUSED_SERVICE InstallConfigurationTable;
  // Images
  EFI_UNUSED_SERVICE LoadImage;
  EFI_UNUSED_SERVICE StartImage;
  EFI_UNUSED_SERVICE Exit;
  EFI_UNUSED_SERVICE UnloadImage;
  EFI_UNUSED_SERVICE ExitBootServices;
  // Miscellaneous
  EFI_UNUSED_SERVICE GetNextMonotonicCount;
  EFI_STALL Stall;
  EFI_UNUSED_SERVICE SetWatchdogTimer;
  // Driver support
  EFI_UNUSED_SERVICE ConnectController;
  EFI_UNUSED_SERVICE DisconnectController;
  // Open and close protocol
  EFI_UNUSED_SERVICE OpenProtocol;
  EFI_UNUSED_SERVICE CloseProtocol;
  EFI_UNUSED_SERVICE OpenProtocolInformation;
  // Library
  EFI_UNUSED_SERVICE ProtocolsPerHandle;
  EFI_LOCATE_HANDLE_BUFFER LocateHandleBuffer;
  EFI_LOCATE_PROTOCOL LocateProtocol;
  EFI_INSTALL_MULTIPLE_PROTOCOL_INTERFACES InstallMultipleProtocolInterfaces;
  EFI_UNUSED_SERVICE UninstallMultipleProtocolInterfaces;
  // CRC
  EFI_UNUSED_SERVICE CalculateCrc32;
  // Miscellaneous
  EFI_COPY_MEM CopyMem;
  EFI_SET_MEM SetMem;
  EFI_UNUSED_SERVICE CreateEventEx;
};
static_assert(offsetof(EFI_BOOT_SERVICES, AllocatePool) == 0x40);
static_assert(offsetof(EFI_BOOT_SERVICES, HandleProtocol) == 0x98);
static_assert(offsetof(EFI_BOOT_SERVICES, Stall) == 0xF8);
static_assert(offsetof(EFI_BOOT_SERVICES, LocateHandleBuffer) == 0x138);
static_assert(offsetof(EFI_BOOT_SERVICES, LocateProtocol) == 0x140);
static_assert(offsetof(EFI_BOOT_SERVICES, CopyMem) == 0x160);
static_assert(sizeof(EFI_BOOT_SERVICES) == 0x178);

// --- Runtime services --------------------------------------------------------

using EFI_GET_VARIABLE = EFI_STATUS(EFIAPI *)(const CHAR16 *VariableName, const EFI_GUID *VendorGuid,
                                              UINT32 *Attributes, UINTN *DataSize, VOID *Data);
struct EFI_RUNTIME_SERVICES {
  EFI_TABLE_HEADER Hdr;
  // Time
  EFI_UNUSED_SERVICE GetTime;
  EFI_UNUSED_SERVICE SetTime;
  EFI_UNUSED_SERVICE GetWakeupTime;
  EFI_UNUSED_SERVICE SetWakeupTime;
  // Virtual memory
  EFI_UNUSED_SERVICE SetVirtualAddressMap;
  EFI_UNUSED_SERVICE ConvertPointer;
  // Variables
  EFI_GET_VARIABLE GetVariable;
  EFI_UNUSED_SERVICE GetNextVariableName;
  EFI_UNUSED_SERVICE SetVariable;
  // Miscellaneous
  EFI_UNUSED_SERVICE GetNextHighMonotonicCount;
  EFI_UNUSED_SERVICE ResetSystem;
  // Capsules
  EFI_UNUSED_SERVICE UpdateCapsule;
  EFI_UNUSED_SERVICE QueryCapsuleCapabilities;
  // Variable information
  EFI_UNUSED_SERVICE QueryVariableInfo;
};
static_assert(offsetof(EFI_RUNTIME_SERVICES, GetVariable) == 0x48);
static_assert(offsetof(EFI_RUNTIME_SERVICES, ResetSystem) == 0x68);

// --- System table ------------------------------------------------------------

struct EFI_CONFIGURATION_TABLE {
  EFI_GUID VendorGuid;
  VOID *VendorTable;
};

struct EFI_SYSTEM_TABLE {
  EFI_TABLE_HEADER Hdr;
  CHAR16 *FirmwareVendor;
  UINT32 FirmwareRevision;
  EFI_HANDLE ConsoleInHandle;
  VOID *ConIn;
  EFI_HANDLE ConsoleOutHandle;
  VOID *ConOut;
  EFI_HANDLE StandardErrorHandle;
  VOID *StdErr;
  EFI_RUNTIME_SERVICES *RuntimeServices;
  EFI_BOOT_SERVICES *BootServices;
  UINTN NumberOfTableEntries;
  EFI_CONFIGURATION_TABLE *ConfigurationTable;
};
static_assert(offsetof(EFI_SYSTEM_TABLE, RuntimeServices) == 0x58);
static_assert(offsetof(EFI_SYSTEM_TABLE, BootServices) == 0x60);

#define EFI_SECTION_RAW 0x19
