// The driver's module state and its installed interfaces. All of it is
// module-global, zero when the image is loaded, and lives for the rest of the
// boot: the driver is never unloaded.
#pragma once

#include "PciCallback.h"
#include "Protocols.h"

// Length of the Setup image; the variable is always read whole into it.
inline constexpr UINTN SETUP_DATA_SIZE = 636;
// Byte of the Setup image holding the Ethernet option ROM switch.
inline constexpr UINTN SETUP_ETHERNET_OPROM_OFFSET = 91;
// Stored in the Ethernet switch at entry, so that a never-read image can be
// told from a read one.
inline constexpr UINT8 SETUP_DATA_NOT_LOADED = 0xBD;

inline constexpr EFI_GUID SETUP_VARIABLE_GUID = {
    0xEC87D643, 0xEBA4, 0x4BB5, {0xA1, 0xE5, 0x3F, 0x3E, 0x36, 0xB2, 0x0D, 0xA9}};
inline constexpr const CHAR16 *SETUP_VARIABLE_NAME = u"Setup";

extern EFI_SYSTEM_TABLE *mSystemTable;
extern EFI_BOOT_SERVICES *mBootServices;
extern EFI_RUNTIME_SERVICES *mRuntimeServices;

extern EFI_HANDLE mDriverHandle;
extern EFI_HANDLE mRootBridgeHandle;
extern EFI_PCI_PLATFORM_PROTOCOL mPciPlatform;
extern EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *mRootBridgeIo;
extern EFI_CPU_IO_PROTOCOL *mCpuIo;
extern UINT8 mSetupData[SETUP_DATA_SIZE];
// Device callback registry: the installed interface, the registrations in
// registration order, the one record every callback receives, and the mask bit
// of the dispatch in progress.
extern PCI_CALLBACK_PROTOCOL mPciCallback;
extern LIST_ENTRY mCallbackList;
extern PCI_DEVICE_RECORD mDeviceRecord;
extern UINT32 mCurrentPhaseMask;

extern "C" EFI_STATUS EFIAPI PciPlatformDriverEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);

EFI_STATUS EFIAPI PlatformNotify(EFI_PCI_PLATFORM_PROTOCOL *This, EFI_HANDLE HostBridge,
                                 EFI_PCI_HOST_BRIDGE_RESOURCE_ALLOCATION_PHASE Phase,
                                 EFI_PCI_EXECUTION_PHASE ChipsetPhase);
EFI_STATUS EFIAPI PlatformPrepController(EFI_PCI_PLATFORM_PROTOCOL *This, EFI_HANDLE HostBridge, EFI_HANDLE RootBridge,
                                         EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_PCI_ADDRESS PciAddress,
                                         EFI_PCI_CONTROLLER_RESOURCE_ALLOCATION_PHASE Phase,
                                         EFI_PCI_EXECUTION_PHASE ChipsetPhase);
EFI_STATUS EFIAPI GetPlatformPolicy(const EFI_PCI_PLATFORM_PROTOCOL *This, EFI_PCI_PLATFORM_POLICY *PciPolicy);
