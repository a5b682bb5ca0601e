// The test-support driver's parts. Each installs one interface the driver
// under test needs and the QEMU firmware lacks or the test must supply.
#pragma once

#include "tests/e2e/common/E2eSupport.h"

namespace e2e::support {

extern EFI_BOOT_SERVICES *gBootServices;
extern SupportReport gReport;

// The Framework-era CPU I/O interface, forwarding to the firmware's CPU I/O 2.
EFI_STATUS InstallCpuIoShim();

// Copies up to Capacity bytes of the QEMU fw_cfg file Name into Buffer;
// returns how many, 0 when there is no such file (or no fw_cfg device).
UINTN ReadFwCfgFile(EFI_CPU_IO2_PROTOCOL *CpuIo, const char *Name, char *Buffer, UINTN Capacity);
// The Framework-era firmware volume interface on every firmware volume 2
// handle, forwarding ReadSection.
EFI_STATUS InstallFirmwareVolumeShims();
// A volume of its own holding the test option ROM files.
EFI_STATUS InstallTestVolume();
// The chipset configuration-block provider with the two blocks.
EFI_STATUS InstallConfigBlockProvider();

} // namespace e2e::support
