// Loading the drivers, and what the driver under test offers right after its
// entry point returned.
#include "Checks.h"
#include "Firmware.h"
#include "Scenario.h"
#include "TestSetup.h"

namespace e2e {
namespace {

constexpr const CHAR16 *kSupportDriverFile = u"\\E2eSupportDxe.efi";
constexpr const CHAR16 *kDriverUnderTestFile = u"\\PciPlatformDxe.efi";
constexpr UINT32 kPolicySentinel = 0x5A5AA5A5;

void LoadSupportDriver(Scenario &Run) {
  Check Result("support.start");
  Result.ExpectStatus(StoreSetupVariable(), EFI_SUCCESS, "SetVariable Setup");
  Run.Support = LoadAndStartDriver(kSupportDriverFile);
  Result.ExpectStatus(Run.Support.LoadStatus, EFI_SUCCESS, "LoadImage");
  Result.ExpectStatus(Run.Support.StartStatus, EFI_SUCCESS, "StartImage");
  Run.Report = LocateInterface<SupportReport>(kSupportReportGuid);
  if (Result.Expect(Run.Report != nullptr, "no support report")) {
    Result.Expect(Run.Report->CpuIo != nullptr, "no Framework CPU I/O");
    Result.Expect(Run.Report->FirmwareVolumeCount >= 2, "no firmware volume besides the test volume");
  }
  Result.Report();
}

void FindFirmwareBridges(Scenario &Run) {
  const HandleList RootBridges(&kPciRootBridgeIoProtocolGuid);
  if (RootBridges.Count() > 0) {
    Run.RootBridgeHandle = RootBridges[0];
  }
  Run.RootBridgeIo = LocateInterface<EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL>(kPciRootBridgeIoProtocolGuid);
  const HandleList HostBridges(&kPciHostBridgeResourceAllocationProtocolGuid);
  if (HostBridges.Count() > 0) {
    Run.HostBridgeHandle = HostBridges[0];
  }
}

} // namespace

void LoadDrivers(Scenario &Run) {
  LoadSupportDriver(Run);
  FindFirmwareBridges(Run);
  const HandleList Before(nullptr);

  Check Start("entry.start");
  Run.Driver = LoadAndStartDriver(kDriverUnderTestFile);
  Start.ExpectStatus(Run.Driver.LoadStatus, EFI_SUCCESS, "LoadImage");
  Start.ExpectStatus(Run.Driver.StartStatus, EFI_SUCCESS, "StartImage");
  Start.Report();

  Check NewHandle("entry.new-handle");
  const HandleList Installed(&kPciPlatformProtocolGuid);
  const HandleList WithCallbacks(&kPciCallbackProtocolGuid);
  NewHandle.ExpectEqual(WithCallbacks.Count(), 1, "handles with the PCI callback protocol");
  if (NewHandle.ExpectEqual(Installed.Count(), 1, "handles with the PCI platform protocol")) {
    Run.DriverHandle = Installed[0];
    Run.Platform = HandleInterface<EFI_PCI_PLATFORM_PROTOCOL>(Run.DriverHandle, kPciPlatformProtocolGuid);
    NewHandle.Expect(!Before.Contains(Run.DriverHandle), "installed on a handle that existed before");
    NewHandle.Expect(Run.DriverHandle != Run.Driver.ImageHandle, "installed on the image handle");
    NewHandle.Expect(Run.Driver.Contains(Run.Platform), "PCI platform interface outside the driver image");
    Run.Callback = HandleInterface<PCI_CALLBACK_PROTOCOL>(Run.DriverHandle, kPciCallbackProtocolGuid);
    if (NewHandle.Expect(Run.Callback != nullptr, "no PCI callback protocol on the handle")) {
      NewHandle.Expect(Run.Driver.Contains(Run.Callback), "PCI callback interface outside the driver image");
    }
  }
  NewHandle.Report();
}

void RunEntryChecks(Scenario &Run) {
  Check NullPolicy("policy.null-pointer");
  NullPolicy.ExpectStatus(Run.Platform->GetPlatformPolicy(Run.Platform, nullptr), EFI_INVALID_PARAMETER,
                          "GetPlatformPolicy(null)");
  NullPolicy.Report();

  Check NoPolicy("policy.unsupported");
  EFI_PCI_PLATFORM_POLICY Policy = kPolicySentinel;
  NoPolicy.ExpectStatus(Run.Platform->GetPlatformPolicy(Run.Platform, &Policy), EFI_UNSUPPORTED, "GetPlatformPolicy");
  NoPolicy.ExpectEqual(Policy, kPolicySentinel, "policy written");
  NoPolicy.Report();
}

} // namespace e2e
