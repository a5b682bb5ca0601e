// The firmware protocols the driver installs or calls, written from the UEFI
// specification (PCI root bridge I/O, PCI I/O), the PI specification (PCI
// platform protocol) and the Framework-era CPU I/O and firmware volume
// interfaces. Member order is ABI.
#pragma once

#include "Uefi.h"

// --- PCI root bridge I/O (UEFI specification, section 14.2) ----------------

inline constexpr EFI_GUID EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_GUID = {
    0x2F707EBB, 0x4A1A, 0x11D4, {0x9A, 0x38, 0x00, 0x90, 0x27, 0x3F, 0xC1, 0x4D}};

enum EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_WIDTH : UINT32 {
  EfiPciWidthUint8,
  EfiPciWidthUint16,
  EfiPciWidthUint32,
  EfiPciWidthUint64,
  EfiPciWidthFifoUint8,
  EfiPciWidthFifoUint16,
  EfiPciWidthFifoUint32,
  EfiPciWidthFifoUint64,
  EfiPciWidthFillUint8,
  EfiPciWidthFillUint16,
  EfiPciWidthFillUint32,
  EfiPciWidthFillUint64,
  EfiPciWidthMaximum
};

// The address form of configuration accesses: register in bits 7-0, function
// 15-8, device 23-16, bus 31-24, extended register 63-32.
struct EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_PCI_ADDRESS {
  UINT8 Register;
  UINT8 Function;
  UINT8 Device;
  UINT8 Bus;
  UINT32 ExtendedRegister;
};
static_assert(sizeof(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_PCI_ADDRESS) == 8);

// The struct tag is the one UEFI's own declarations use, which the public
// header's device record names too: drivers built on other UEFI headers take
// the record's pointer as it is.
struct _EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL;
using EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL = _EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL;
using EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_IO_MEM = EFI_STATUS(EFIAPI *)(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *This,
                                                                    EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_WIDTH Width,
                                                                    UINT64 Address, UINTN Count, VOID *Buffer);
struct EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_ACCESS {
  EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_IO_MEM Read;
  EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_IO_MEM Write;
};

struct _EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL {
  EFI_HANDLE ParentHandle;
  EFI_UNUSED_SERVICE PollMem;
  EFI_UNUSED_SERVICE PollIo;
  EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_ACCESS Mem;
  EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_ACCESS Io;
  EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_ACCESS Pci;
  EFI_UNUSED_SERVICE CopyMem;
  EFI_UNUSED_SERVICE Map;
  EFI_UNUSED_SERVICE Unmap;
  EFI_UNUSED_SERVICE AllocateBuffer;
  EFI_UNUSED_SERVICE FreeBuffer;
  EFI_UNUSED_SERVICE Flush;
  EFI_UNUSED_SERVICE GetAttributes;
  EFI_UNUSED_SERVICE SetAttributes;
  EFI_UNUSED_SERVICE Configuration;
  UINT32 SegmentNumber;
};
static_assert(offsetof(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL, Pci) == 0x38);
static_assert(offsetof(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL, SegmentNumber) == 0x90);

// --- PCI I/O (UEFI specification, section 14.4) ------------------------------

inline constexpr EFI_GUID EFI_PCI_IO_PROTOCOL_GUID = {
    0x4CF5B200, 0x68B8, 0x4CA5, {0x9E, 0xEC, 0xB2, 0x3E, 0x3F, 0x50, 0x02, 0x9A}};

enum EFI_PCI_IO_PROTOCOL_WIDTH : UINT32 {
  EfiPciIoWidthUint8,
  EfiPciIoWidthUint16,
  EfiPciIoWidthUint32,
  EfiPciIoWidthUint64,
};

struct EFI_PCI_IO_PROTOCOL;
using EFI_PCI_IO_PROTOCOL_IO_MEM = EFI_STATUS(EFIAPI *)(EFI_PCI_IO_PROTOCOL *This, EFI_PCI_IO_PROTOCOL_WIDTH Width,
                                                        UINT8 BarIndex, UINT64 Offset, UINTN Count, VOID *Buffer);
using EFI_PCI_IO_PROTOCOL_CONFIG = EFI_STATUS(EFIAPI *)(EFI_PCI_IO_PROTOCOL *This, EFI_PCI_IO_PROTOCOL_WIDTH Width,
                                                        UINT32 Offset, UINTN Count, VOID *Buffer);
using EFI_PCI_IO_PROTOCOL_GET_LOCATION = EFI_STATUS(EFIAPI *)(EFI_PCI_IO_PROTOCOL *This, UINTN *SegmentNumber,
                                                              UINTN *BusNumber, UINTN *DeviceNumber,
                                                              UINTN *FunctionNumber);
struct EFI_PCI_IO_PROTOCOL_ACCESS {
  EFI_PCI_IO_PROTOCOL_IO_MEM Read;
  EFI_PCI_IO_PROTOCOL_IO_MEM Write;
};
struct EFI_PCI_IO_PROTOCOL_CONFIG_ACCESS {
  EFI_PCI_IO_PROTOCOL_CONFIG Read;
  EFI_PCI_IO_PROTOCOL_CONFIG Write;
};

struct EFI_PCI_IO_PROTOCOL {
  EFI_UNUSED_SERVICE PollMem;
  EFI_UNUSED_SERVICE PollIo;
  EFI_PCI_IO_PROTOCOL_ACCESS Mem;
  EFI_PCI_IO_PROTOCOL_ACCESS Io;
  EFI_PCI_IO_PROTOCOL_CONFIG_ACCESS Pci;
  EFI_UNUSED_SERVICE CopyMem;
  EFI_UNUSED_SERVICE Map;
  EFI_UNUSED_SERVICE Unmap;
  EFI_UNUSED_SERVICE AllocateBuffer;
  EFI_UNUSED_SERVICE FreeBuffer;
  EFI_UNUSED_SERVICE Flush;
  EFI_PCI_IO_PROTOCOL_GET_LOCATION GetLocation;
  EFI_UNUSED_SERVICE Attributes;
  EFI_UNUSED_SERVICE GetBarAttributes;
  EFI_UNUSED_SERVICE SetBarAttributes;
  UINT64 RomSize;
  VOID *RomImage;
};
static_assert(offsetof(EFI_PCI_IO_PROTOCOL, Pci) == 0x30);
static_assert(offsetof(EFI_PCI_IO_PROTOCOL, GetLocation) == 0x70);
static_assert(offsetof(EFI_PCI_IO_PROTOCOL, RomSize) == 0x90);

// --- CPU I/O (Framework era; same layout as the PI CPU I/O 2 protocol) -------

inline constexpr EFI_GUID EFI_CPU_IO_PROTOCOL_GUID = {
    0xB0732526, 0x38C8, 0x4B40, {0x88, 0x77, 0x61, 0xC7, 0xB0, 0x6A, 0xAC, 0x45}};

enum EFI_CPU_IO_PROTOCOL_WIDTH : UINT32 {
  EfiCpuIoWidthUint8,
  EfiCpuIoWidthUint16,
  EfiCpuIoWidthUint32,
  EfiCpuIoWidthUint64,
};

struct _EFI_CPU_IO_PROTOCOL; // tagged as the root bridge's
using EFI_CPU_IO_PROTOCOL = _EFI_CPU_IO_PROTOCOL;
using EFI_CPU_IO_PROTOCOL_IO_MEM = EFI_STATUS(EFIAPI *)(EFI_CPU_IO_PROTOCOL *This, EFI_CPU_IO_PROTOCOL_WIDTH Width,
                                                        UINT64 Address, UINTN Count, VOID *Buffer);
struct EFI_CPU_IO_PROTOCOL_ACCESS {
  EFI_CPU_IO_PROTOCOL_IO_MEM Read;
  EFI_CPU_IO_PROTOCOL_IO_MEM Write;
};
struct _EFI_CPU_IO_PROTOCOL {
  EFI_CPU_IO_PROTOCOL_ACCESS Mem;
  EFI_CPU_IO_PROTOCOL_ACCESS Io;
};
static_assert(sizeof(EFI_CPU_IO_PROTOCOL) == 32);

// --- Firmware volume (Framework era; ReadSection as in the PI FV2 protocol) --

inline constexpr EFI_GUID EFI_FIRMWARE_VOLUME_PROTOCOL_GUID = {
    0x389F751F, 0x1838, 0x4388, {0x83, 0x90, 0xCD, 0x81, 0x54, 0xBD, 0x27, 0xF8}};

using EFI_SECTION_TYPE = UINT8;

struct EFI_FIRMWARE_VOLUME_PROTOCOL;
using EFI_FV_READ_SECTION = EFI_STATUS(EFIAPI *)(EFI_FIRMWARE_VOLUME_PROTOCOL *This, const EFI_GUID *NameGuid,
                                                 EFI_SECTION_TYPE SectionType, UINTN SectionInstance, VOID **Buffer,
                                                 UINTN *BufferSize, UINT32 *AuthenticationStatus);
struct EFI_FIRMWARE_VOLUME_PROTOCOL {
  EFI_UNUSED_SERVICE GetVolumeAttributes;
  EFI_UNUSED_SERVICE SetVolumeAttributes;
  EFI_UNUSED_SERVICE ReadFile;
  EFI_FV_READ_SECTION ReadSection;
  EFI_UNUSED_SERVICE WriteFile;
  EFI_UNUSED_SERVICE GetNextFile;
  UINT32 KeySize;
  EFI_HANDLE ParentHandle;
};
static_assert(offsetof(EFI_FIRMWARE_VOLUME_PROTOCOL, ReadSection) == 0x18);

// --- PCI platform (PI specification, volume 5, section 11.6) -----------------

inline constexpr EFI_GUID EFI_PCI_PLATFORM_PROTOCOL_GUID = {
    0x07D75280, 0x27D4, 0x4D69, {0x90, 0xD0, 0x56, 0x43, 0xE2, 0x38, 0xB3, 0x41}};

enum EFI_PCI_HOST_BRIDGE_RESOURCE_ALLOCATION_PHASE : UINT32 {
  EfiPciHostBridgeBeginEnumeration = 0,
  EfiPciHostBridgeBeginBusAllocation = 1,
  EfiPciHostBridgeEndBusAllocation = 2,
  EfiPciHostBridgeBeginResourceAllocation = 3,
  EfiPciHostBridgeAllocateResources = 4,
  EfiPciHostBridgeSetResources = 5,
  EfiPciHostBridgeFreeResources = 6,
  EfiPciHostBridgeEndResourceAllocation = 7,
  EfiPciHostBridgeEndEnumeration = 8,
};

enum EFI_PCI_CONTROLLER_RESOURCE_ALLOCATION_PHASE : UINT32 {
  EfiPciBeforeChildBusEnumeration = 0,
  EfiPciBeforeResourceCollection = 1,
};

enum EFI_PCI_EXECUTION_PHASE : UINT32 {
  ChipsetEntry = 0,
  ChipsetExit = 1,
  MaximumChipsetPhase = 2,
};

using EFI_PCI_PLATFORM_POLICY = UINT32;

struct EFI_PCI_PLATFORM_PROTOCOL;
using EFI_PCI_PLATFORM_PHASE_NOTIFY = EFI_STATUS(EFIAPI *)(EFI_PCI_PLATFORM_PROTOCOL *This, EFI_HANDLE HostBridge,
                                                           EFI_PCI_HOST_BRIDGE_RESOURCE_ALLOCATION_PHASE Phase,
                                                           EFI_PCI_EXECUTION_PHASE ChipsetPhase);
using EFI_PCI_PLATFORM_PREPROCESS_CONTROLLER =
    EFI_STATUS(EFIAPI *)(EFI_PCI_PLATFORM_PROTOCOL *This, EFI_HANDLE HostBridge, EFI_HANDLE RootBridge,
                         EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_PCI_ADDRESS PciAddress,
                         EFI_PCI_CONTROLLER_RESOURCE_ALLOCATION_PHASE Phase, EFI_PCI_EXECUTION_PHASE ChipsetPhase);
using EFI_PCI_PLATFORM_GET_PLATFORM_POLICY = EFI_STATUS(EFIAPI *)(const EFI_PCI_PLATFORM_PROTOCOL *This,
                                                                  EFI_PCI_PLATFORM_POLICY *PciPolicy);
using EFI_PCI_PLATFORM_GET_PCI_ROM = EFI_STATUS(EFIAPI *)(const EFI_PCI_PLATFORM_PROTOCOL *This, EFI_HANDLE PciHandle,
                                                          VOID **RomImage, UINTN *RomSize);

struct EFI_PCI_PLATFORM_PROTOCOL {
  EFI_PCI_PLATFORM_PHASE_NOTIFY PlatformNotify;
  EFI_PCI_PLATFORM_PREPROCESS_CONTROLLER PlatformPrepController;
  EFI_PCI_PLATFORM_GET_PLATFORM_POLICY GetPlatformPolicy;
  EFI_PCI_PLATFORM_GET_PCI_ROM GetPciRom;
};
static_assert(sizeof(EFI_PCI_PLATFORM_PROTOCOL) == 32);
