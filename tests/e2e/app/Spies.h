// Observers placed between the driver under test and the firmware. Each one
// replaces members of a live interface table with recording forwarders and
// puts the originals back when stopped, so behaviour is unchanged while the
// test sees every call.
#pragma once

#include "tests/e2e/common/E2eUefi.h"

namespace e2e {

// --- Boot services LocateProtocol --------------------------------------------------

struct LocateCall {
  EFI_GUID Protocol;
  EFI_STATUS Status;
};

void StartLocateProtocolSpy();
void StopLocateProtocolSpy();
UINTN LocateCallCount();
const LocateCall &LocateCallAt(UINTN Index);

// --- Configuration accesses through the root bridge ------------------------------

struct ConfigAccessCounts {
  UINTN Reads;
  UINTN Writes;
};

struct ConfigWrite {
  UINT64 Address; // EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_PCI_ADDRESS form
  EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_WIDTH Width;
  UINTN Count;
  UINT32 Value; // the first element, zero-extended
};

inline constexpr UINTN kConfigWriteCapacity = 64;

void StartConfigAccessSpy(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *RootBridgeIo);
void StopConfigAccessSpy();
// Counts since the spy started; Writes indexes the write log.
ConfigAccessCounts ConfigAccesses();
const ConfigWrite &ConfigWriteAt(UINTN Index);

// --- Calls the PCI bus driver makes into the driver under test --------------------

enum class BusDriverCallKind : UINT8 { PlatformNotify, PlatformPrepController, GetPlatformPolicy, GetPciRom };

struct BusDriverCall {
  BusDriverCallKind Kind;
  EFI_HANDLE Handle; // root bridge for PlatformPrepController, device for GetPciRom
  UINT64 PciAddress;
  UINT32 Phase;
  UINT32 ChipsetPhase;
  EFI_STATUS Status;
};

inline constexpr UINTN kBusDriverCallCapacity = 256;

void StartBusDriverRecorder(EFI_PCI_PLATFORM_PROTOCOL *Platform);
void StopBusDriverRecorder();
// Calls recorded; counts on past the capacity.
UINTN BusDriverCallCount();
const BusDriverCall &BusDriverCallAt(UINTN Index);

} // namespace e2e
