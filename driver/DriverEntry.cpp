// Image entry: save the firmware tables, reset the module state and install the
// driver's interfaces on a new handle.
#include "Driver.h"
#include "PhaseActions.h"

#include "base/FirmwareServices.h"
#include "callbacks/PciCallbacks.h"
#include "platform/SetupData.h"

namespace {

constexpr EFI_PCI_PLATFORM_PROTOCOL kPciPlatformTemplate = {
    PlatformNotify,
    PlatformPrepController,
    GetPlatformPolicy,
    GetPciRom,
};

EFI_HANDLE mDriverHandle;
EFI_PCI_PLATFORM_PROTOCOL mPciPlatform;

// The image may be entered again in the same boot only in host tests, but the
// state is reset explicitly so that nothing depends on the loader zeroing it.
void ResetModuleState() {
  mDriverHandle = nullptr;
  mPciPlatform = kPciPlatformTemplate;
  ResetEnumerationState();
  ResetPciCallbacks();
}

EFI_STATUS InstallDriverInterfaces() {
  return BootServices()->InstallMultipleProtocolInterfaces(&mDriverHandle, &EFI_PCI_PLATFORM_PROTOCOL_GUID,
                                                           &mPciPlatform, &gPciCallbackProtocolGuid,
                                                           PciCallbackProtocol(), nullptr);
}

} // namespace

extern "C" EFI_STATUS EFIAPI PciPlatformDriverEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  (void)ImageHandle;
  SaveFirmwareServices(SystemTable);
  ResetModuleState();
  MarkSetupDataNotLoaded();
  return InstallDriverInterfaces();
}

EFI_HANDLE DriverHandle() { return mDriverHandle; }

EFI_PCI_PLATFORM_PROTOCOL *PciPlatformProtocol() { return &mPciPlatform; }
