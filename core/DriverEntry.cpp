// Image entry: save the firmware tables, reset the module state and install the
// driver's interfaces on a new handle.
#include "Driver.h"
#include "LinkedList.h"
#include "callbacks/PciCallbacks.h"

#include "oprom/OptionRom.h"

namespace {

constexpr EFI_PCI_PLATFORM_PROTOCOL kPciPlatformTemplate = {
    PlatformNotify,
    PlatformPrepController,
    GetPlatformPolicy,
    GetPciRom,
};

constexpr PCI_CALLBACK_PROTOCOL kPciCallbackTemplate = {RegisterCallback};

void SaveFirmwareTables(EFI_SYSTEM_TABLE *SystemTable) {
  mSystemTable = SystemTable;
  mBootServices = SystemTable->BootServices;
  mRuntimeServices = SystemTable->RuntimeServices;
}

// The image may be entered again in the same boot only in host tests, but the
// state is reset explicitly so that nothing depends on the loader zeroing it.
void ResetModuleState() {
  mDriverHandle = nullptr;
  mRootBridgeHandle = nullptr;
  mRootBridgeIo = nullptr;
  mCpuIo = nullptr;
  mPciPlatform = kPciPlatformTemplate;
  mPciCallback = kPciCallbackTemplate;
  mDeviceRecord = {};
  mCurrentPhaseMask = 0;
  InitializeListHead(&mCallbackList);
}

EFI_STATUS InstallDriverInterfaces() {
  return mBootServices->InstallMultipleProtocolInterfaces(&mDriverHandle, &EFI_PCI_PLATFORM_PROTOCOL_GUID,
                                                          &mPciPlatform, &gPciCallbackProtocolGuid, &mPciCallback,
                                                          nullptr);
}

} // namespace

extern "C" EFI_STATUS EFIAPI PciPlatformDriverEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  (void)ImageHandle;
  SaveFirmwareTables(SystemTable);
  ResetModuleState();
  mSetupData[SETUP_ETHERNET_OPROM_OFFSET] = SETUP_DATA_NOT_LOADED;
  return InstallDriverInterfaces();
}
