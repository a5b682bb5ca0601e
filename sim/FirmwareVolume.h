// A firmware volume: files named by GUID, each holding sections, published as
// an EFI_FIRMWARE_VOLUME_PROTOCOL on a handle of its own. Volumes are listed by
// LocateHandleBuffer in the order they were added. ReadSection follows the
// contract of the PI specification, volume 3, section 3.4.1:
// with a null *Buffer the volume allocates the copy from the machine's pool and
// the caller owns it. The volume's interface lookup can be made to fail.
#pragma once

#include "base/Protocols.h"
#include "sim/Guid.h"

#include <cstddef>
#include <map>
#include <vector>

namespace sim {

class Machine;

// A caller-supplied buffer was too small; the copy was truncated.
inline constexpr EFI_STATUS kEfiWarnBufferTooSmall = 4;

class FirmwareVolume {
public:
  struct Section {
    EFI_SECTION_TYPE Type;
    std::vector<UINT8> Data;
  };

  // Installs the protocol on a new handle of Owner's handle database.
  explicit FirmwareVolume(Machine &Owner);
  FirmwareVolume(const FirmwareVolume &) = delete;
  FirmwareVolume &operator=(const FirmwareVolume &) = delete;

  // Adds (or replaces) a file; each returns the volume for chaining.
  FirmwareVolume &AddFile(const EFI_GUID &Name, std::vector<Section> Sections);
  // A file holding one raw section with Contents.
  FirmwareVolume &AddRawFile(const EFI_GUID &Name, std::vector<UINT8> Contents);

  // ReadSection of Name answers EFI_SUCCESS but hands back no image: a null
  // buffer and Size, as a faulty volume driver might.
  FirmwareVolume &AddFileWithoutImage(const EFI_GUID &Name, UINTN Size);

  // HandleProtocol of this volume's handle answers Status (an error) from now on.
  void FailInterfaceLookup(EFI_STATUS Status);

  EFI_HANDLE Handle() const { return VolumeHandle; }
  EFI_FIRMWARE_VOLUME_PROTOCOL *Protocol() { return &Instance.Protocol; }
  // The file named by every ReadSection call, in order, found or not.
  const std::vector<EFI_GUID> &SectionReads() const { return Reads; }

private:
  struct Interface {
    EFI_FIRMWARE_VOLUME_PROTOCOL Protocol; // first: the firmware hands callers its address
    FirmwareVolume *Volume;
  };

  static EFI_STATUS EFIAPI ReadSectionService(EFI_FIRMWARE_VOLUME_PROTOCOL *This, const EFI_GUID *NameGuid,
                                              EFI_SECTION_TYPE SectionType, UINTN SectionInstance, VOID **Buffer,
                                              UINTN *BufferSize, UINT32 *AuthenticationStatus);
  const Section *FindSection(const EFI_GUID &Name, EFI_SECTION_TYPE Type, UINTN Wanted) const;
  EFI_STATUS CopySection(const Section &Found, VOID **Buffer, UINTN *BufferSize);

  Machine &Owner;
  Interface Instance{};
  EFI_HANDLE VolumeHandle = nullptr;
  std::map<EFI_GUID, std::vector<Section>, GuidLess> Files;
  std::map<EFI_GUID, UINTN, GuidLess> WithoutImage;
  std::vector<EFI_GUID> Reads;
};

} // namespace sim
