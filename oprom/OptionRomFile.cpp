// The firmware-volume search for one option ROM file.
#include "OptionRom.h"

#include "base/Decisions.h"
#include "base/FirmwareServices.h"

namespace {

// Reads the file's raw section from the first of the volumes that has it.
EFI_STATUS ReadRawSectionFromVolumes(const EFI_HANDLE *Volumes, UINTN VolumeCount, const EFI_GUID &FileGuid,
                                     VOID **Buffer, UINTN *Size, DECISION_WHERE Requester) {
  for (UINTN Index = 0; Index < VolumeCount; ++Index) {
    VOID *Interface = nullptr;
    if (EFI_ERROR(BootServices()->HandleProtocol(Volumes[Index], &EFI_FIRMWARE_VOLUME_PROTOCOL_GUID, &Interface)) ||
        Interface == nullptr) {
      // Volumes later in the list are not searched past one that fails.
      return EFI_LOAD_ERROR;
    }
    auto *Volume = static_cast<EFI_FIRMWARE_VOLUME_PROTOCOL *>(Interface);
    // A null buffer asks the volume to allocate the copy; the caller owns it.
    *Buffer = nullptr;
    *Size = 0;
    UINT32 AuthenticationStatus = 0;
    if (EFI_ERROR(Volume->ReadSection(Volume, &FileGuid, EFI_SECTION_RAW, 0, Buffer, Size, &AuthenticationStatus))) {
      continue;
    }
    if (*Buffer != nullptr && *Size != 0) {
      return EFI_SUCCESS;
    }
    // Success without bytes is no image: the file counts as missing in this
    // volume, and what the volume allocated is given back here.
    Decide(DECISION_KIND::OptionRom, DECISION_REASON::EmptySection, Requester, Index, *Size);
    if (*Buffer != nullptr) {
      BootServices()->FreePool(*Buffer);
    }
  }
  return EFI_NOT_FOUND;
}

} // namespace

EFI_STATUS ReadOptionRomFile(const EFI_GUID &FileGuid, VOID **Buffer, UINTN *Size, DECISION_WHERE Requester) {
  EFI_HANDLE *Volumes = nullptr;
  UINTN VolumeCount = 0;
  if (EFI_ERROR(BootServices()->LocateHandleBuffer(ByProtocol, &EFI_FIRMWARE_VOLUME_PROTOCOL_GUID, nullptr,
                                                   &VolumeCount, &Volumes))) {
    // Nothing was handed over on an error: there is no array to release.
    return EFI_NOT_FOUND;
  }
  // A count of 0 searches no volume and finds no file, as no array does.
  const EFI_STATUS Status = Volumes == nullptr
                                ? EFI_NOT_FOUND
                                : ReadRawSectionFromVolumes(Volumes, VolumeCount, FileGuid, Buffer, Size, Requester);
  if (Volumes != nullptr) {
    BootServices()->FreePool(Volumes);
  }
  return Status;
}
