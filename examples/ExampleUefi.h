/*
 * The few UEFI declarations the example driver uses, in C, written from the
 * UEFI specification (sections 4.3, 4.4, 7.1 and 7.3) with its own struct tags
 * (typedef struct _EFI_X EFI_X), as any UEFI header set has them. A driver in
 * a firmware tree includes its tree's headers instead; the protocol headers of
 * the PCI platform driver compose with either.
 */
#ifndef PCI_CALLBACK_EXAMPLE_UEFI_H_
#define PCI_CALLBACK_EXAMPLE_UEFI_H_

#include "EfiBaseTypes.h" /* base types, EFI_STATUS codes, EFIAPI */

typedef UINTN EFI_TPL;

#define EVT_NOTIFY_SIGNAL 0x00000200
#define TPL_CALLBACK 8

typedef enum { AllHandles, ByRegisterNotify, ByProtocol } EFI_LOCATE_SEARCH_TYPE;
typedef enum { EFI_NATIVE_INTERFACE } EFI_INTERFACE_TYPE;

/* Opaque here: the example only carries these pointers. */
typedef struct _EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL;
typedef struct _EFI_CPU_IO_PROTOCOL EFI_CPU_IO_PROTOCOL;

typedef struct {
  UINT64 Signature;
  UINT32 Revision;
  UINT32 HeaderSize;
  UINT32 CRC32;
  UINT32 Reserved;
} EFI_TABLE_HEADER;

typedef VOID(EFIAPI *EFI_EVENT_NOTIFY)(EFI_EVENT Event, VOID *Context);
typedef EFI_STATUS(EFIAPI *EFI_CREATE_EVENT)(UINT32 Type, EFI_TPL NotifyTpl, EFI_EVENT_NOTIFY NotifyFunction,
                                             VOID *NotifyContext, EFI_EVENT *Event);
typedef EFI_STATUS(EFIAPI *EFI_INSTALL_PROTOCOL_INTERFACE)(EFI_HANDLE *Handle, EFI_GUID *Protocol,
                                                           EFI_INTERFACE_TYPE InterfaceType, VOID *Interface);
typedef EFI_STATUS(EFIAPI *EFI_HANDLE_PROTOCOL)(EFI_HANDLE Handle, EFI_GUID *Protocol, VOID **Interface);
typedef EFI_STATUS(EFIAPI *EFI_REGISTER_PROTOCOL_NOTIFY)(EFI_GUID *Protocol, EFI_EVENT Event, VOID **Registration);
typedef EFI_STATUS(EFIAPI *EFI_LOCATE_HANDLE)(EFI_LOCATE_SEARCH_TYPE SearchType, EFI_GUID *Protocol, VOID *SearchKey,
                                              UINTN *BufferSize, EFI_HANDLE *Buffer);
typedef EFI_STATUS(EFIAPI *EFI_LOCATE_PROTOCOL)(EFI_GUID *Protocol, VOID *Registration, VOID **Interface);
typedef VOID *EFI_SERVICE; /* a member the example does not call */

typedef struct _EFI_BOOT_SERVICES {
  EFI_TABLE_HEADER Hdr;
  EFI_SERVICE RaiseTPL, RestoreTPL;
  EFI_SERVICE AllocatePages, FreePages, GetMemoryMap, AllocatePool, FreePool;
  EFI_CREATE_EVENT CreateEvent;
  EFI_SERVICE SetTimer, WaitForEvent, SignalEvent, CloseEvent, CheckEvent;
  EFI_INSTALL_PROTOCOL_INTERFACE InstallProtocolInterface;
  EFI_SERVICE ReinstallProtocolInterface, UninstallProtocolInterface;
  EFI_HANDLE_PROTOCOL HandleProtocol;
  VOID *Reserved;
  EFI_REGISTER_PROTOCOL_NOTIFY RegisterProtocolNotify;
  EFI_LOCATE_HANDLE LocateHandle;
  EFI_SERVICE LocateDevicePath, InstallConfigurationTable;
  EFI_SERVICE LoadImage, StartImage, Exit, UnloadImage, ExitBootServices;
  EFI_SERVICE GetNextMonotonicCount, Stall, SetWatchdogTimer;
  EFI_SERVICE ConnectController, DisconnectController;
  EFI_SERVICE OpenProtocol, CloseProtocol, OpenProtocolInformation;
  EFI_SERVICE ProtocolsPerHandle, LocateHandleBuffer;
  EFI_LOCATE_PROTOCOL LocateProtocol;
} EFI_BOOT_SERVICES;

typedef struct _EFI_SYSTEM_TABLE {
  EFI_TABLE_HEADER Hdr;
  CHAR16 *FirmwareVendor;
  UINT32 FirmwareRevision;
  EFI_HANDLE ConsoleInHandle;
  VOID *ConIn;
  EFI_HANDLE ConsoleOutHandle;
  VOID *ConOut;
  EFI_HANDLE StandardErrorHandle;
  VOID *StdErr;
  VOID *RuntimeServices;
  EFI_BOOT_SERVICES *BootServices;
} EFI_SYSTEM_TABLE;

_Static_assert(offsetof(EFI_BOOT_SERVICES, CreateEvent) == 0x50, "CreateEvent is the 8th service");
_Static_assert(offsetof(EFI_BOOT_SERVICES, InstallProtocolInterface) == 0x80, "InstallProtocolInterface");
_Static_assert(offsetof(EFI_BOOT_SERVICES, HandleProtocol) == 0x98, "HandleProtocol");
_Static_assert(offsetof(EFI_BOOT_SERVICES, RegisterProtocolNotify) == 0xA8, "RegisterProtocolNotify");
_Static_assert(offsetof(EFI_BOOT_SERVICES, LocateProtocol) == 0x140, "LocateProtocol");
_Static_assert(offsetof(EFI_SYSTEM_TABLE, BootServices) == 0x60, "BootServices");

#endif /* PCI_CALLBACK_EXAMPLE_UEFI_H_ */
