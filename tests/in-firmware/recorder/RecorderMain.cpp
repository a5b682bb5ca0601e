// Entry of the recorder driver. The firmware dispatches it after the
// test-support driver and once variables can be written (its dependency
// expression); by the time the boot manager starts the PCI bus driver, it has
// stored "Setup", armed the support driver's memory-access log and placed
// itself between the bus driver and the driver under test.
#include "Recorder.h"
#include "tests/e2e/app/Firmware.h"
#include "tests/e2e/app/TestSetup.h"

namespace e2e::firmware {

constinit FirmwareRecord gRecord = {};

namespace {

void OnPlatformInstalled(VOID *Interface) {
  gRecord.HookStatus = StartPlatformCallRecorder(static_cast<EFI_PCI_PLATFORM_PROTOCOL *>(Interface));
}

void OnCallbacksInstalled(VOID *Interface) {
  gRecord.CallbackStatus = StartCallbackRecorder(static_cast<PCI_CALLBACK_PROTOCOL *>(Interface));
}

} // namespace
} // namespace e2e::firmware

using namespace e2e::firmware;

extern "C" EFI_STATUS EFIAPI InFirmwareRecorderEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  e2e::InitFirmware(ImageHandle, SystemTable);
  gRecord.HookStatus = EFI_NOT_READY;
  gRecord.CallbackStatus = EFI_NOT_READY;
  gRecord.Capture.Status = EFI_NOT_READY;
  gRecord.Support = e2e::LocateInterface<e2e::SupportReport>(e2e::kSupportReportGuid);
  if (gRecord.Support != nullptr) {
    gRecord.Support->MemoryLogArmed = 1;
  }
  gRecord.SetupStatus = e2e::StoreSetupVariable();

  EFI_STATUS Status = WatchForProtocol(e2e::kPciPlatformProtocolGuid, OnPlatformInstalled);
  if (!EFI_ERROR(Status)) {
    Status = WatchForProtocol(e2e::kPciCallbackProtocolGuid, OnCallbacksInstalled);
  }
  if (EFI_ERROR(Status)) {
    return Status;
  }
  EFI_HANDLE Handle = ImageHandle;
  return e2e::gBootServices->InstallProtocolInterface(&Handle, &kFirmwareRecordGuid, EFI_NATIVE_INTERFACE, &gRecord);
}
