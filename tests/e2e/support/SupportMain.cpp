// Entry of the test-support driver. It stands in for the parts of a real
// board's firmware that QEMU's firmware does not have, and reports what the
// driver under test did through them.
#include "Support.h"

namespace e2e::support {

constinit EFI_BOOT_SERVICES *gBootServices = nullptr;
constinit SupportReport gReport = {};

} // namespace e2e::support

using namespace e2e::support;

extern "C" EFI_STATUS EFIAPI E2eSupportEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  gBootServices = SystemTable->BootServices;
  EFI_STATUS(*const Steps[])
  () = {InstallCpuIoShim, InstallFirmwareVolumeShims, InstallTestVolume, InstallConfigBlockProvider};
  for (auto *Step : Steps) {
    const EFI_STATUS Status = Step();
    if (EFI_ERROR(Status)) {
      return Status;
    }
  }
  EFI_HANDLE Handle = ImageHandle;
  return gBootServices->InstallProtocolInterface(&Handle, &e2e::kSupportReportGuid, EFI_NATIVE_INTERFACE, &gReport);
}
