// The driver's entry point and the EFI_PCI_PLATFORM_PROTOCOL it installs, with
// the state the orchestration keeps: the driver's handle and what the PCI
// enumeration located. Everything lives for the rest of the boot: the driver
// is never unloaded.
#pragma once

#include "base/Protocols.h"

extern "C" EFI_STATUS EFIAPI PciPlatformDriverEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);

EFI_STATUS EFIAPI PlatformNotify(EFI_PCI_PLATFORM_PROTOCOL *This, EFI_HANDLE HostBridge,
                                 EFI_PCI_HOST_BRIDGE_RESOURCE_ALLOCATION_PHASE Phase,
                                 EFI_PCI_EXECUTION_PHASE ChipsetPhase);
EFI_STATUS EFIAPI PlatformPrepController(EFI_PCI_PLATFORM_PROTOCOL *This, EFI_HANDLE HostBridge, EFI_HANDLE RootBridge,
                                         EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_PCI_ADDRESS PciAddress,
                                         EFI_PCI_CONTROLLER_RESOURCE_ALLOCATION_PHASE Phase,
                                         EFI_PCI_EXECUTION_PHASE ChipsetPhase);
EFI_STATUS EFIAPI GetPlatformPolicy(const EFI_PCI_PLATFORM_PROTOCOL *This, EFI_PCI_PLATFORM_POLICY *PciPolicy);
EFI_STATUS EFIAPI GetPciRom(const EFI_PCI_PLATFORM_PROTOCOL *This, EFI_HANDLE PciHandle, VOID **RomImage,
                            UINTN *RomSize);

// For inspection by the firmware model and the tests.
EFI_HANDLE DriverHandle();
EFI_PCI_PLATFORM_PROTOCOL *PciPlatformProtocol();
EFI_HANDLE LocatedRootBridgeHandle();
EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *LocatedRootBridgeIo();
EFI_CPU_IO_PROTOCOL *LocatedCpuIo();
