// The end-to-end scenario: what the steps share and the steps themselves, in
// the order the application runs them. Each step reports its own checks.
#pragma once

#include "ImageLoader.h"
#include "PciCallback.h"
#include "PciView.h"
#include "tests/e2e/common/E2eSupport.h"

namespace e2e {

struct Scenario {
  LoadedDriver Support;
  SupportReport *Report = nullptr;
  LoadedDriver Driver;
  EFI_HANDLE DriverHandle = nullptr;
  EFI_PCI_PLATFORM_PROTOCOL *Platform = nullptr;
  PCI_CALLBACK_PROTOCOL *Callback = nullptr;
  // The firmware's one PCI root bridge and host bridge.
  EFI_HANDLE RootBridgeHandle = nullptr;
  EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *RootBridgeIo = nullptr;
  EFI_HANDLE HostBridgeHandle = nullptr;
  // The hierarchy as the firmware's PCI I/O handles report it, taken right
  // before the phases are played.
  PciView Pci;
  UINT32 IoApicIdBefore = 0;
};

// Stores "Setup", loads the support driver, then the driver under test.
void LoadDrivers(Scenario &Run);
// The interfaces installed at entry and GetPlatformPolicy.
void RunEntryChecks(Scenario &Run);
// Registers the application's callbacks (see CallbackLog.h).
void RunCallbackRegistrationChecks(Scenario &Run);
// The firmware's PCI bus driver started anew on the root bridge; leaves the
// hierarchy it then reports in Pci.
void RunReconnectChecks(Scenario &Run);
// Before the phases: what the checks compare the driver's work with.
void RecordPlatformStateBeforePhases(Scenario &Run);
// After the phases (see PhasePlay.h): what each call did.
void RunNotifyChecks(Scenario &Run);
void RunWalkChecks(Scenario &Run);
void RunPcieChecks(Scenario &Run);
void RunPlatformChecks(Scenario &Run);
// GetPciRom with application-owned PCI I/O handles.
void RunOptionRomChecks(Scenario &Run);

} // namespace e2e
