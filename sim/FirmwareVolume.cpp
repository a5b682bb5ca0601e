#include "sim/FirmwareVolume.h"

#include "sim/Machine.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

namespace sim {

FirmwareVolume::FirmwareVolume(Machine &Firmware) : Owner(Firmware) {
  static_assert(std::is_standard_layout_v<Interface>, "This must convert back to the instance");
  Instance.Protocol.ReadSection = ReadSectionService;
  Instance.Volume = this;
  (void)Owner.Handles().Install(&VolumeHandle, EFI_FIRMWARE_VOLUME_PROTOCOL_GUID, &Instance.Protocol);
}

FirmwareVolume &FirmwareVolume::AddFile(const EFI_GUID &Name, std::vector<Section> Sections) {
  Files[Name] = std::move(Sections);
  return *this;
}

FirmwareVolume &FirmwareVolume::AddRawFile(const EFI_GUID &Name, std::vector<UINT8> Contents) {
  return AddFile(Name, {Section{EFI_SECTION_RAW, std::move(Contents)}});
}

FirmwareVolume &FirmwareVolume::AddFileWithoutImage(const EFI_GUID &Name, UINTN Size) {
  WithoutImage[Name] = Size;
  return *this;
}

void FirmwareVolume::FailInterfaceLookup(EFI_STATUS Status) {
  Owner.Handles().FailHandleProtocol(VolumeHandle, EFI_FIRMWARE_VOLUME_PROTOCOL_GUID, Status);
}

const FirmwareVolume::Section *FirmwareVolume::FindSection(const EFI_GUID &Name, EFI_SECTION_TYPE Type,
                                                           UINTN Wanted) const {
  const auto File = Files.find(Name);
  if (File == Files.end()) {
    return nullptr;
  }
  UINTN Seen = 0;
  for (const Section &Candidate : File->second) {
    if (Candidate.Type == Type && Seen++ == Wanted) {
      return &Candidate;
    }
  }
  return nullptr;
}

EFI_STATUS FirmwareVolume::CopySection(const Section &Found, VOID **Buffer, UINTN *BufferSize) {
  const UINTN Size = Found.Data.size();
  if (*Buffer == nullptr) {
    VOID *Copy = nullptr;
    const EFI_STATUS Status = Owner.Memory().Allocate(EfiBootServicesData, Size, &Copy);
    if (EFI_ERROR(Status)) {
      return Status;
    }
    if (Size != 0) {
      std::memcpy(Copy, Found.Data.data(), Size);
    }
    *Buffer = Copy;
    *BufferSize = Size;
    return EFI_SUCCESS;
  }
  const UINTN Copied = std::min(Size, *BufferSize);
  if (Copied != 0) {
    std::memcpy(*Buffer, Found.Data.data(), Copied);
  }
  *BufferSize = Size;
  return Copied < Size ? kEfiWarnBufferTooSmall : EFI_SUCCESS;
}

EFI_STATUS EFIAPI FirmwareVolume::ReadSectionService(EFI_FIRMWARE_VOLUME_PROTOCOL *This, const EFI_GUID *NameGuid,
                                                     EFI_SECTION_TYPE SectionType, UINTN SectionInstance, VOID **Buffer,
                                                     UINTN *BufferSize, UINT32 *AuthenticationStatus) {
  FirmwareVolume &Volume = *reinterpret_cast<Interface *>(This)->Volume;
  if (NameGuid == nullptr || Buffer == nullptr || BufferSize == nullptr || AuthenticationStatus == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  Volume.Reads.push_back(*NameGuid);
  if (const auto Faulty = Volume.WithoutImage.find(*NameGuid); Faulty != Volume.WithoutImage.end()) {
    *Buffer = nullptr;
    *BufferSize = Faulty->second;
    *AuthenticationStatus = 0;
    return EFI_SUCCESS;
  }
  const Section *Found = Volume.FindSection(*NameGuid, SectionType, SectionInstance);
  if (Found == nullptr) {
    return EFI_NOT_FOUND;
  }
  *AuthenticationStatus = 0;
  return Volume.CopySection(*Found, Buffer, BufferSize);
}

} // namespace sim
