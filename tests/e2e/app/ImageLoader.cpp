#include "ImageLoader.h"

#include "Firmware.h"

namespace e2e {
namespace {

// Device paths are walked node by node; a sane one is far shorter than this.
constexpr UINTN kMaxDevicePathBytes = 4096;
constexpr UINTN kNodeHeaderBytes = 4;

UINTN NodeLength(const EFI_DEVICE_PATH_PROTOCOL *Node) {
  return static_cast<UINTN>(Node->Length[0]) | static_cast<UINTN>(Node->Length[1]) << 8;
}

// Bytes of the path before its end node, or 0 when it is malformed.
UINTN DevicePathPrefixLength(const EFI_DEVICE_PATH_PROTOCOL *Path) {
  UINTN Total = 0;
  const auto *Bytes = reinterpret_cast<const UINT8 *>(Path);
  while (Total < kMaxDevicePathBytes) {
    const auto *Node = reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL *>(Bytes + Total);
    if (Node->Type == END_DEVICE_PATH_TYPE && Node->SubType == END_ENTIRE_DEVICE_PATH_SUBTYPE) {
      return Total;
    }
    const UINTN Length = NodeLength(Node);
    if (Length < kNodeHeaderBytes) {
      return 0;
    }
    Total += Length;
  }
  return 0;
}

void SetNode(UINT8 *At, UINT8 Type, UINT8 SubType, UINTN Length) {
  At[0] = Type;
  At[1] = SubType;
  At[2] = static_cast<UINT8>(Length);
  At[3] = static_cast<UINT8>(Length >> 8);
}

// The device path of FileName on the device the application came from: that
// device's own path, a file-path node, the end node. Pool memory, or null.
EFI_DEVICE_PATH_PROTOCOL *FilePathOnOwnDevice(const CHAR16 *FileName) {
  const auto *Self = HandleInterface<EFI_LOADED_IMAGE_PROTOCOL>(gImageHandle, kLoadedImageProtocolGuid);
  if (Self == nullptr) {
    return nullptr;
  }
  const auto *Device = HandleInterface<EFI_DEVICE_PATH_PROTOCOL>(Self->DeviceHandle, kDevicePathProtocolGuid);
  if (Device == nullptr) {
    return nullptr;
  }
  const UINTN Prefix = DevicePathPrefixLength(Device);
  UINTN NameChars = 0;
  while (FileName[NameChars] != 0) {
    ++NameChars;
  }
  const UINTN FileNode = kNodeHeaderBytes + (NameChars + 1) * sizeof(CHAR16);
  VOID *Memory = nullptr;
  if (Prefix == 0 ||
      EFI_ERROR(gBootServices->AllocatePool(EfiBootServicesData, Prefix + FileNode + kNodeHeaderBytes, &Memory))) {
    return nullptr;
  }
  auto *Bytes = static_cast<UINT8 *>(Memory);
  gBootServices->CopyMem(Bytes, Device, Prefix);
  SetNode(Bytes + Prefix, MEDIA_DEVICE_PATH, MEDIA_FILEPATH_DP, FileNode);
  gBootServices->CopyMem(Bytes + Prefix + kNodeHeaderBytes, FileName, (NameChars + 1) * sizeof(CHAR16));
  SetNode(Bytes + Prefix + FileNode, END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, kNodeHeaderBytes);
  return static_cast<EFI_DEVICE_PATH_PROTOCOL *>(Memory);
}

} // namespace

bool LoadedDriver::Contains(const VOID *Address) const {
  if (LoadedImage == nullptr) {
    return false;
  }
  const auto Base = reinterpret_cast<UINTN>(LoadedImage->ImageBase);
  const auto Value = reinterpret_cast<UINTN>(Address);
  return Value >= Base && Value - Base < LoadedImage->ImageSize;
}

LoadedDriver LoadAndStartDriver(const CHAR16 *FileName) {
  LoadedDriver Driver;
  EFI_DEVICE_PATH_PROTOCOL *Path = FilePathOnOwnDevice(FileName);
  if (Path == nullptr) {
    return Driver;
  }
  Driver.LoadStatus = e2e::LoadImage(gBootServices)(0, gImageHandle, Path, nullptr, 0, &Driver.ImageHandle);
  gBootServices->FreePool(Path);
  if (EFI_ERROR(Driver.LoadStatus)) {
    return Driver;
  }
  Driver.LoadedImage = HandleInterface<EFI_LOADED_IMAGE_PROTOCOL>(Driver.ImageHandle, kLoadedImageProtocolGuid);
  Driver.StartStatus = e2e::StartImage(gBootServices)(Driver.ImageHandle, nullptr, nullptr);
  return Driver;
}

} // namespace e2e
