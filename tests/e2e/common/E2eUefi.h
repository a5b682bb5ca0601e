// UEFI and PI declarations the end-to-end test images need beyond the driver's
// own (base/Uefi.h, base/Protocols.h): loaded images, device paths, the PI CPU
// I/O 2 and firmware volume 2 protocols, and typed views of boot-service slots
// the driver leaves untyped. Written from the UEFI specification (sections 9.1,
// 10.2-10.3) and the PI specification (volume 3, section 3.4; volume 5,
// section 13.2).
//
// The GUIDs the test checks the driver against are typed in here a second
// time, from the published values, on purpose: a wrong GUID in the driver's
// headers must not hide behind a constant the test shares with it.
#pragma once

#include "base/Protocols.h"

#include <stddef.h>

namespace e2e {

// --- GUIDs, independent of the driver's headers --------------------------------

inline constexpr EFI_GUID kPciPlatformProtocolGuid = {
    0x07D75280, 0x27D4, 0x4D69, {0x90, 0xD0, 0x56, 0x43, 0xE2, 0x38, 0xB3, 0x41}};
inline constexpr EFI_GUID kPciCallbackProtocolGuid = {
    0x1CA0E202, 0xFE9E, 0x4776, {0x9F, 0xAA, 0x57, 0x0C, 0x19, 0x61, 0x7A, 0x06}};
inline constexpr EFI_GUID kPciOptionRomSetGuid = {
    0x0A048148, 0x4B78, 0x4BDC, {0x96, 0x0B, 0x49, 0xB7, 0x0C, 0x28, 0x70, 0x78}};
inline constexpr EFI_GUID kPlatformConfigBlockProtocolGuid = {
    0xAA81D9C8, 0xF05D, 0x4857, {0x8E, 0x66, 0x54, 0x97, 0xC8, 0xAB, 0xB0, 0xAD}};
inline constexpr EFI_GUID kSetupVariableGuid = {
    0xEC87D643, 0xEBA4, 0x4BB5, {0xA1, 0xE5, 0x3F, 0x3E, 0x36, 0xB2, 0x0D, 0xA9}};
inline constexpr EFI_GUID kPciRootBridgeIoProtocolGuid = {
    0x2F707EBB, 0x4A1A, 0x11D4, {0x9A, 0x38, 0x00, 0x90, 0x27, 0x3F, 0xC1, 0x4D}};
inline constexpr EFI_GUID kPciHostBridgeResourceAllocationProtocolGuid = {
    0xCF8034BE, 0x6768, 0x4D8B, {0xB7, 0x39, 0x7C, 0xCE, 0x68, 0x3A, 0x9F, 0xBE}};
inline constexpr EFI_GUID kPciIoProtocolGuid = {
    0x4CF5B200, 0x68B8, 0x4CA5, {0x9E, 0xEC, 0xB2, 0x3E, 0x3F, 0x50, 0x02, 0x9A}};
inline constexpr EFI_GUID kFrameworkCpuIoProtocolGuid = {
    0xB0732526, 0x38C8, 0x4B40, {0x88, 0x77, 0x61, 0xC7, 0xB0, 0x6A, 0xAC, 0x45}};
inline constexpr EFI_GUID kFrameworkFirmwareVolumeProtocolGuid = {
    0x389F751F, 0x1838, 0x4388, {0x83, 0x90, 0xCD, 0x81, 0x54, 0xBD, 0x27, 0xF8}};
inline constexpr EFI_GUID kCpuIo2ProtocolGuid = {
    0xAD61F191, 0xAE5F, 0x4C0E, {0xB9, 0xFA, 0xE8, 0x69, 0xD2, 0x88, 0xC6, 0x4F}};
inline constexpr EFI_GUID kFirmwareVolume2ProtocolGuid = {
    0x220E73B6, 0x6BDB, 0x4413, {0x84, 0x05, 0xB9, 0x74, 0xB1, 0x08, 0x61, 0x9A}};
inline constexpr EFI_GUID kLoadedImageProtocolGuid = {
    0x5B1B31A1, 0x9562, 0x11D2, {0x8E, 0x3F, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};
inline constexpr EFI_GUID kDevicePathProtocolGuid = {
    0x09576E91, 0x6D3F, 0x11D2, {0x8E, 0x39, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};

inline constexpr EFI_STATUS kWarnBufferTooSmall = 4;

} // namespace e2e

using EFI_TPL = UINTN;

namespace e2e {} // namespace e2e

// --- Device paths, resets, variables and the console (UEFI specification,
// sections 10.2, 8.5.1, 8.2 and 12.4): only the test images use them ----------

struct EFI_DEVICE_PATH_PROTOCOL {
  UINT8 Type;
  UINT8 SubType;
  UINT8 Length[2];
};

enum EFI_RESET_TYPE : UINT32 { EfiResetCold, EfiResetWarm, EfiResetShutdown, EfiResetPlatformSpecific };

inline constexpr UINT32 EFI_VARIABLE_NON_VOLATILE = 0x00000001U;
inline constexpr UINT32 EFI_VARIABLE_BOOTSERVICE_ACCESS = 0x00000002U;
inline constexpr UINT32 EFI_VARIABLE_RUNTIME_ACCESS = 0x00000004U;

struct EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL;
using EFI_TEXT_STRING = EFI_STATUS(EFIAPI *)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This, const CHAR16 *String);
struct EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL {
  EFI_UNUSED_SERVICE Reset;
  EFI_TEXT_STRING OutputString;
  // The remaining members are not used by the test images.
};

// --- Loaded image (UEFI specification, section 9.1) ---------------------------

struct EFI_LOADED_IMAGE_PROTOCOL {
  UINT32 Revision;
  EFI_HANDLE ParentHandle;
  EFI_SYSTEM_TABLE *SystemTable;
  EFI_HANDLE DeviceHandle;
  EFI_DEVICE_PATH_PROTOCOL *FilePath;
  VOID *Reserved;
  UINT32 LoadOptionsSize;
  VOID *LoadOptions;
  VOID *ImageBase;
  UINT64 ImageSize;
  EFI_MEMORY_TYPE ImageCodeType;
  EFI_MEMORY_TYPE ImageDataType;
  EFI_UNUSED_SERVICE Unload;
};
static_assert(offsetof(EFI_LOADED_IMAGE_PROTOCOL, DeviceHandle) == 0x18);
static_assert(offsetof(EFI_LOADED_IMAGE_PROTOCOL, ImageBase) == 0x40);
static_assert(offsetof(EFI_LOADED_IMAGE_PROTOCOL, ImageSize) == 0x48);

// --- Device path nodes (UEFI specification, section 10.3) ---------------------

inline constexpr UINT8 END_DEVICE_PATH_TYPE = 0x7F;
inline constexpr UINT8 END_ENTIRE_DEVICE_PATH_SUBTYPE = 0xFF;
inline constexpr UINT8 MEDIA_DEVICE_PATH = 0x04;
inline constexpr UINT8 MEDIA_FILEPATH_DP = 0x04;

// --- PI CPU I/O 2 (PI specification, volume 5, section 13.2) ------------------

struct EFI_CPU_IO2_PROTOCOL;
using EFI_CPU_IO2_PROTOCOL_IO_MEM = EFI_STATUS(EFIAPI *)(EFI_CPU_IO2_PROTOCOL *This, EFI_CPU_IO_PROTOCOL_WIDTH Width,
                                                         UINT64 Address, UINTN Count, VOID *Buffer);
struct EFI_CPU_IO2_PROTOCOL_ACCESS {
  EFI_CPU_IO2_PROTOCOL_IO_MEM Read;
  EFI_CPU_IO2_PROTOCOL_IO_MEM Write;
};
struct EFI_CPU_IO2_PROTOCOL {
  EFI_CPU_IO2_PROTOCOL_ACCESS Mem;
  EFI_CPU_IO2_PROTOCOL_ACCESS Io;
};
static_assert(sizeof(EFI_CPU_IO2_PROTOCOL) == sizeof(EFI_CPU_IO_PROTOCOL));

// --- PI firmware volume 2 (PI specification, volume 3, section 3.4.1) ---------

struct EFI_FIRMWARE_VOLUME2_PROTOCOL;
using EFI_FV2_READ_SECTION = EFI_STATUS(EFIAPI *)(EFI_FIRMWARE_VOLUME2_PROTOCOL *This, const EFI_GUID *NameGuid,
                                                  EFI_SECTION_TYPE SectionType, UINTN SectionInstance, VOID **Buffer,
                                                  UINTN *BufferSize, UINT32 *AuthenticationStatus);
struct EFI_FIRMWARE_VOLUME2_PROTOCOL {
  EFI_UNUSED_SERVICE GetVolumeAttributes;
  EFI_UNUSED_SERVICE SetVolumeAttributes;
  EFI_UNUSED_SERVICE ReadFile;
  EFI_FV2_READ_SECTION ReadSection;
  EFI_UNUSED_SERVICE WriteFile;
  EFI_UNUSED_SERVICE GetNextFile;
  UINT32 KeySize;
  EFI_HANDLE ParentHandle;
  EFI_UNUSED_SERVICE GetInfo;
  EFI_UNUSED_SERVICE SetInfo;
};
static_assert(offsetof(EFI_FIRMWARE_VOLUME2_PROTOCOL, ReadSection) ==
              offsetof(EFI_FIRMWARE_VOLUME_PROTOCOL, ReadSection));
static_assert(offsetof(EFI_FIRMWARE_VOLUME2_PROTOCOL, ParentHandle) ==
              offsetof(EFI_FIRMWARE_VOLUME_PROTOCOL, ParentHandle));

// --- Services the driver leaves untyped ----------------------------------------

using EFI_CALCULATE_CRC32 = EFI_STATUS(EFIAPI *)(const VOID *Data, UINTN DataSize, UINT32 *Crc32);
using EFI_IMAGE_LOAD = EFI_STATUS(EFIAPI *)(BOOLEAN BootPolicy, EFI_HANDLE ParentImageHandle,
                                            EFI_DEVICE_PATH_PROTOCOL *DevicePath, VOID *SourceBuffer, UINTN SourceSize,
                                            EFI_HANDLE *ImageHandle);
using EFI_IMAGE_START = EFI_STATUS(EFIAPI *)(EFI_HANDLE ImageHandle, UINTN *ExitDataSize, CHAR16 **ExitData);
using EFI_SET_WATCHDOG_TIMER = EFI_STATUS(EFIAPI *)(UINTN Timeout, UINT64 WatchdogCode, UINTN DataSize,
                                                    CHAR16 *WatchdogData);
using EFI_CONNECT_CONTROLLER = EFI_STATUS(EFIAPI *)(EFI_HANDLE ControllerHandle, EFI_HANDLE *DriverImageHandle,
                                                    EFI_DEVICE_PATH_PROTOCOL *RemainingDevicePath, BOOLEAN Recursive);
using EFI_DISCONNECT_CONTROLLER = EFI_STATUS(EFIAPI *)(EFI_HANDLE ControllerHandle, EFI_HANDLE DriverImageHandle,
                                                       EFI_HANDLE ChildHandle);
using EFI_SET_VARIABLE = EFI_STATUS(EFIAPI *)(const CHAR16 *VariableName, const EFI_GUID *VendorGuid, UINT32 Attributes,
                                              UINTN DataSize, const VOID *Data);
using EFI_RESET_SYSTEM = VOID(EFIAPI *)(EFI_RESET_TYPE ResetType, EFI_STATUS ResetStatus, UINTN DataSize,
                                        VOID *ResetData);

namespace e2e {

inline EFI_CALCULATE_CRC32 CalculateCrc32(const EFI_BOOT_SERVICES *BootServices) {
  return reinterpret_cast<EFI_CALCULATE_CRC32>(BootServices->CalculateCrc32);
}
inline EFI_IMAGE_LOAD LoadImage(const EFI_BOOT_SERVICES *BootServices) {
  return reinterpret_cast<EFI_IMAGE_LOAD>(BootServices->LoadImage);
}
inline EFI_IMAGE_START StartImage(const EFI_BOOT_SERVICES *BootServices) {
  return reinterpret_cast<EFI_IMAGE_START>(BootServices->StartImage);
}
inline EFI_SET_WATCHDOG_TIMER SetWatchdogTimer(const EFI_BOOT_SERVICES *BootServices) {
  return reinterpret_cast<EFI_SET_WATCHDOG_TIMER>(BootServices->SetWatchdogTimer);
}
inline EFI_CONNECT_CONTROLLER ConnectController(const EFI_BOOT_SERVICES *BootServices) {
  return reinterpret_cast<EFI_CONNECT_CONTROLLER>(BootServices->ConnectController);
}
inline EFI_DISCONNECT_CONTROLLER DisconnectController(const EFI_BOOT_SERVICES *BootServices) {
  return reinterpret_cast<EFI_DISCONNECT_CONTROLLER>(BootServices->DisconnectController);
}
inline EFI_SET_VARIABLE SetVariable(const EFI_RUNTIME_SERVICES *RuntimeServices) {
  return reinterpret_cast<EFI_SET_VARIABLE>(RuntimeServices->SetVariable);
}
inline EFI_RESET_SYSTEM ResetSystem(const EFI_RUNTIME_SERVICES *RuntimeServices) {
  return reinterpret_cast<EFI_RESET_SYSTEM>(RuntimeServices->ResetSystem);
}
inline EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *ConsoleOut(const EFI_SYSTEM_TABLE *SystemTable) {
  return static_cast<EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *>(SystemTable->ConOut);
}

// Fills a slot of a table the test provides but nobody calls.
inline EFI_STATUS EFIAPI UnsupportedService() { return EFI_UNSUPPORTED; }
inline EFI_UNUSED_SERVICE Unsupported() { return reinterpret_cast<EFI_UNUSED_SERVICE>(&UnsupportedService); }

// GUIDs compare as 16 raw bytes, as the firmware compares them.
inline bool SameGuid(const EFI_GUID &Left, const EFI_GUID &Right) {
  const auto *A = reinterpret_cast<const UINT8 *>(&Left);
  const auto *B = reinterpret_cast<const UINT8 *>(&Right);
  for (size_t Index = 0; Index < sizeof(EFI_GUID); ++Index) {
    if (A[Index] != B[Index]) {
      return false;
    }
  }
  return true;
}

} // namespace e2e
