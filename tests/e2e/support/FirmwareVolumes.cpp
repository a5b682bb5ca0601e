// Framework-era firmware volumes: a forwarding interface on each of the
// firmware's PI volumes (ReadSection has the same position and arguments in
// both), and one in-memory volume holding the test option ROM files.
#include "Support.h"

namespace e2e::support {
namespace {

struct FrameworkVolumeShim {
  EFI_FIRMWARE_VOLUME_PROTOCOL Interface; // first: This points here
  EFI_FIRMWARE_VOLUME2_PROTOCOL *Target;
};

EFI_STATUS EFIAPI ForwardReadSection(EFI_FIRMWARE_VOLUME_PROTOCOL *This, const EFI_GUID *NameGuid,
                                     EFI_SECTION_TYPE SectionType, UINTN SectionInstance, VOID **Buffer,
                                     UINTN *BufferSize, UINT32 *AuthenticationStatus) {
  EFI_FIRMWARE_VOLUME2_PROTOCOL *Target = reinterpret_cast<FrameworkVolumeShim *>(This)->Target;
  return Target->ReadSection(Target, NameGuid, SectionType, SectionInstance, Buffer, BufferSize, AuthenticationStatus);
}

EFI_FIRMWARE_VOLUME_PROTOCOL FrameworkInterface(EFI_FV_READ_SECTION ReadSection, UINT32 KeySize,
                                                EFI_HANDLE ParentHandle) {
  EFI_FIRMWARE_VOLUME_PROTOCOL Interface = {};
  Interface.GetVolumeAttributes = Unsupported();
  Interface.SetVolumeAttributes = Unsupported();
  Interface.ReadFile = Unsupported();
  Interface.ReadSection = ReadSection;
  Interface.WriteFile = Unsupported();
  Interface.GetNextFile = Unsupported();
  Interface.KeySize = KeySize;
  Interface.ParentHandle = ParentHandle;
  return Interface;
}

EFI_STATUS InstallShim(EFI_HANDLE Handle) {
  VOID *Interface = nullptr;
  EFI_STATUS Status = gBootServices->HandleProtocol(Handle, &kFirmwareVolume2ProtocolGuid, &Interface);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  VOID *Memory = nullptr;
  Status = gBootServices->AllocatePool(EfiBootServicesData, sizeof(FrameworkVolumeShim), &Memory);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  auto *Shim = static_cast<FrameworkVolumeShim *>(Memory);
  Shim->Target = static_cast<EFI_FIRMWARE_VOLUME2_PROTOCOL *>(Interface);
  Shim->Interface = FrameworkInterface(ForwardReadSection, Shim->Target->KeySize, Shim->Target->ParentHandle);
  Status = gBootServices->InstallProtocolInterface(&Handle, &kFrameworkFirmwareVolumeProtocolGuid, EFI_NATIVE_INTERFACE,
                                                   Shim);
  if (EFI_ERROR(Status)) {
    gBootServices->FreePool(Shim);
    return Status;
  }
  ++gReport.FirmwareVolumeCount;
  return EFI_SUCCESS;
}

const TestRomFile *FindTestRomFile(const EFI_GUID &NameGuid) {
  for (const TestRomFile *File : kTestRomFiles) {
    if (SameGuid(File->FileGuid, NameGuid)) {
      return File;
    }
  }
  return nullptr;
}

// The PI ReadSection contract: with *Buffer null the volume allocates the
// buffer and the caller owns it; otherwise it fills the caller's buffer up to
// *BufferSize and warns when the section was longer.
EFI_STATUS EFIAPI TestVolumeReadSection(EFI_FIRMWARE_VOLUME_PROTOCOL * /*This*/, const EFI_GUID *NameGuid,
                                        EFI_SECTION_TYPE SectionType, UINTN SectionInstance, VOID **Buffer,
                                        UINTN *BufferSize, UINT32 *AuthenticationStatus) {
  if (NameGuid == nullptr || Buffer == nullptr || BufferSize == nullptr || AuthenticationStatus == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  const TestRomFile *File = FindTestRomFile(*NameGuid);
  if (File == nullptr || SectionType != EFI_SECTION_RAW || SectionInstance != 0) {
    return EFI_NOT_FOUND;
  }
  UINTN Length = File->Size;
  EFI_STATUS Status = EFI_SUCCESS;
  if (*Buffer == nullptr) {
    Status = gBootServices->AllocatePool(EfiBootServicesData, File->Size, Buffer);
    if (EFI_ERROR(Status)) {
      return Status;
    }
  } else if (*BufferSize < File->Size) {
    Length = *BufferSize;
    Status = kWarnBufferTooSmall;
  }
  auto *Bytes = static_cast<UINT8 *>(*Buffer);
  for (UINTN Offset = 0; Offset < Length; ++Offset) {
    Bytes[Offset] = TestRomByte(*File, Offset);
  }
  *BufferSize = File->Size;
  *AuthenticationStatus = 0;
  ++gReport.TestVolumeImagesServed;
  return Status;
}

constinit EFI_FIRMWARE_VOLUME_PROTOCOL gTestVolume = {};

} // namespace

EFI_STATUS InstallFirmwareVolumeShims() {
  UINTN Count = 0;
  EFI_HANDLE *Handles = nullptr;
  EFI_STATUS Status =
      gBootServices->LocateHandleBuffer(ByProtocol, &kFirmwareVolume2ProtocolGuid, nullptr, &Count, &Handles);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  for (UINTN Index = 0; Index < Count && !EFI_ERROR(Status); ++Index) {
    Status = InstallShim(Handles[Index]);
  }
  gBootServices->FreePool(Handles);
  return Status;
}

EFI_STATUS InstallTestVolume() {
  gTestVolume = FrameworkInterface(TestVolumeReadSection, 0, nullptr);
  EFI_HANDLE Handle = nullptr;
  const EFI_STATUS Status = gBootServices->InstallProtocolInterface(&Handle, &kFrameworkFirmwareVolumeProtocolGuid,
                                                                    EFI_NATIVE_INTERFACE, &gTestVolume);
  if (!EFI_ERROR(Status)) {
    ++gReport.FirmwareVolumeCount;
    gReport.TestVolumeHandle = Handle;
  }
  return Status;
}

} // namespace e2e::support
