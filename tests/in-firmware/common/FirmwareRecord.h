// What the recorder driver, dispatched from the firmware volume, keeps of a
// boot for the observing application: every call OVMF's PCI bus driver made
// into the driver under test, every callback the driver dispatched, and how
// the recorder's own set-up went. Published as a test-only protocol on the
// recorder's image handle.
#pragma once

#include "tests/e2e/common/E2eSupport.h"

namespace e2e::firmware {

inline constexpr EFI_GUID kFirmwareRecordGuid = {
    0x5D2B61A4, 0x3E8C, 0x4F07, {0xA9, 0x1D, 0x6C, 0x42, 0xB8, 0x0E, 0x73, 0xF5}};

// The FFS file GUIDs the images carry in the firmware volume: the shipped
// driver's and its debug build's.
inline constexpr EFI_GUID kPciPlatformDxeFileGuid = {
    0xC8532B76, 0x9366, 0x49D3, {0x98, 0xBF, 0x8F, 0x59, 0x29, 0x3D, 0x6D, 0xF8}};
inline constexpr EFI_GUID kPciPlatformDxeDebugFileGuid = {
    0x1EDA5666, 0x0318, 0x4BC3, {0xA0, 0x89, 0x7E, 0xDF, 0x78, 0xCC, 0x2C, 0x4C}};

enum class PlatformCall : UINT8 { Notify, PrepController, GetPolicy, GetPciRom };

struct PlatformCallRecord {
  PlatformCall Kind;
  UINT32 Phase;        // host-bridge phase (Notify) or controller phase (PrepController)
  UINT32 ChipsetPhase; // ChipsetEntry or ChipsetExit
  EFI_HANDLE Handle;   // host bridge (Notify, PrepController), PCI device (GetPciRom)
  EFI_HANDLE RootBridge;
  UINT64 PciAddress;
  EFI_STATUS Status;
  UINTN RomSize; // what GetPciRom returned
  VOID *RomImage;
  // The support driver's memory-access count when the call returned, so an
  // access can be placed in the call that made it.
  UINTN MemoryAccessesAfter;
};

struct CallbackVisit {
  UINT32 Mask;
  EFI_HANDLE RootBridge;
  UINT64 PciAddress;
  UINT16 VendorId;
  UINT16 DeviceId;
  UINTN CallIndex; // the platform call it ran in; kNoCall outside any
};

// Every function's configuration space as it was when the begin of resource
// allocation was announced, before the driver's link pass: the hierarchy the
// board runner is given to compare its decisions with the debug image's.
inline constexpr UINTN kCaptureCapacity = 48;
inline constexpr UINTN kConfigSpaceBytes = 4096;

struct ConfigCapture {
  EFI_STATUS Status; // EFI_NOT_READY until taken
  UINTN Count;
  UINTN Missed;                       // functions found once the capture was full
  UINT32 Locations[kCaptureCapacity]; // bus << 16 | device << 8 | function
  UINT8 *Spaces;                      // Count spaces of kConfigSpaceBytes (and a spare), from pool
};

inline constexpr UINTN kNoCall = ~static_cast<UINTN>(0);
inline constexpr UINTN kCallCapacity = 256;
inline constexpr UINTN kVisitCapacity = 192;

struct FirmwareRecord {
  EFI_STATUS SetupStatus;    // storing "Setup" at the recorder's entry
  EFI_STATUS HookStatus;     // placing the recorder in the platform protocol (EFI_NOT_READY: never installed)
  EFI_STATUS CallbackStatus; // registering the recording callback
  SupportReport *Support;
  // Calls and visits recorded; both counts go on past the capacity.
  UINTN CallCount;
  PlatformCallRecord Calls[kCallCapacity];
  UINTN VisitCount;
  CallbackVisit Visits[kVisitCapacity];
  ConfigCapture Capture;
};

} // namespace e2e::firmware
