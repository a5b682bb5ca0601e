// GetPciRom: which onboard device is asking, which table rows it matches, and
// the images read for them.
#include "OptionRom.h"
#include "OptionRomSet.h"
#include "OptionRomTable.h"

#include "core/Driver.h"
#include "pci/PciRegisters.h"
#include "platform/SetupData.h"

namespace {

// Class word at PCI_CLASS_CODE_OFFSET: base class 02 (network), sub-class 00.
constexpr UINT16 PCI_CLASS_WORD_ETHERNET = 0x0200;
// Setup switch value: Ethernet controllers get no option ROM.
constexpr UINT8 SETUP_ETHERNET_OPROM_DISABLED = 0;

// What a table row is matched against.
struct OPTION_ROM_DEVICE {
  UINTN Segment;
  UINTN Bus;
  UINTN Device;
  UINTN Function;
  UINT16 VendorId;
  UINT16 DeviceId;
};

EFI_PCI_IO_PROTOCOL *PciIoOf(EFI_HANDLE PciHandle) {
  VOID *Interface = nullptr;
  if (EFI_ERROR(mBootServices->HandleProtocol(PciHandle, &EFI_PCI_IO_PROTOCOL_GUID, &Interface))) {
    return nullptr;
  }
  return static_cast<EFI_PCI_IO_PROTOCOL *>(Interface);
}

// The first request reads Setup. A variable that cannot be read switches
// Ethernet option ROMs off for the rest of the boot; one too short to reach
// the switch leaves it marked not loaded, so every request reads it again.
void LoadSetupDataIfNotLoaded() {
  if (mSetupData[SETUP_ETHERNET_OPROM_OFFSET] != SETUP_DATA_NOT_LOADED) {
    return;
  }
  if (EFI_ERROR(LoadSetupData())) {
    mSetupData[SETUP_ETHERNET_OPROM_OFFSET] = SETUP_ETHERNET_OPROM_DISABLED;
  }
}

bool EthernetOptionRomSuppressed(UINT16 ClassWord) {
  return mSetupData[SETUP_ETHERNET_OPROM_OFFSET] == SETUP_ETHERNET_OPROM_DISABLED &&
         ClassWord == PCI_CLASS_WORD_ETHERNET;
}

[[nodiscard]] EFI_STATUS ReadConfig16(EFI_PCI_IO_PROTOCOL *PciIo, UINT32 Offset, UINT16 *Value) {
  return PciIo->Pci.Read(PciIo, EfiPciIoWidthUint16, Offset, 1, Value);
}

// Location, class and IDs of the device, in that order; EFI_NOT_FOUND when any
// of them cannot be read or the device is an Ethernet controller whose option
// ROM Setup switched off.
[[nodiscard]] EFI_STATUS IdentifyDevice(EFI_PCI_IO_PROTOCOL *PciIo, OPTION_ROM_DEVICE *Device) {
  if (EFI_ERROR(PciIo->GetLocation(PciIo, &Device->Segment, &Device->Bus, &Device->Device, &Device->Function))) {
    return EFI_NOT_FOUND;
  }
  UINT16 ClassWord = 0;
  if (EFI_ERROR(ReadConfig16(PciIo, PCI_CLASS_CODE_OFFSET, &ClassWord)) || EthernetOptionRomSuppressed(ClassWord)) {
    return EFI_NOT_FOUND;
  }
  if (EFI_ERROR(ReadConfig16(PciIo, PCI_VENDOR_ID_OFFSET, &Device->VendorId)) ||
      EFI_ERROR(ReadConfig16(PciIo, PCI_DEVICE_ID_OFFSET, &Device->DeviceId))) {
    return EFI_NOT_FOUND;
  }
  return EFI_SUCCESS;
}

// Segment and bus are not compared: onboard devices are known by their IDs
// and their place on whatever bus they were given.
bool RowMatches(const OPTION_ROM_TABLE_ENTRY &Row, const OPTION_ROM_DEVICE &Device) {
  return Row.VendorId == Device.VendorId && Row.DeviceId == Device.DeviceId && Row.Device == Device.Device &&
         Row.Function == Device.Function;
}

// Reads the file of every matching row, in table order, up to a full list. A
// row whose file cannot be read is passed over.
void CollectOptionRomImages(const OPTION_ROM_DEVICE &Device, OPTION_ROM_IMAGE_LIST *Images) {
  for (const OPTION_ROM_TABLE_ENTRY &Row : mOptionRomTable) {
    if (Row.VendorId == OPTION_ROM_TABLE_END || Images->Count == PCI_OPTION_ROM_SET_MAX_IMAGES) {
      return;
    }
    if (!RowMatches(Row, Device)) {
      continue;
    }
    VOID *Image = nullptr;
    UINTN Size = 0;
    if (!EFI_ERROR(ReadOptionRomFile(Row.FileGuid, &Image, &Size))) {
      Images->Entries[Images->Count++] = {Size, Image};
    }
  }
}

} // namespace

EFI_STATUS EFIAPI GetPciRom(const EFI_PCI_PLATFORM_PROTOCOL *This, EFI_HANDLE PciHandle, VOID **RomImage,
                            UINTN *RomSize) {
  (void)This;
  if (RomImage == nullptr || RomSize == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  EFI_PCI_IO_PROTOCOL *PciIo = PciIoOf(PciHandle);
  if (PciIo == nullptr) {
    return EFI_NOT_FOUND;
  }
  LoadSetupDataIfNotLoaded();
  OPTION_ROM_DEVICE Device{};
  if (EFI_ERROR(IdentifyDevice(PciIo, &Device))) {
    return EFI_NOT_FOUND;
  }
  OPTION_ROM_IMAGE_LIST Images{};
  CollectOptionRomImages(Device, &Images);
  if (Images.Count == 0) {
    return EFI_NOT_FOUND;
  }
  const PCI_OPTION_ROM_IMAGE &Returned = Images.Entries[Images.Count - 1];
  *RomImage = Returned.Image;
  *RomSize = Returned.Size;
  // The set is optional: without one the request still succeeds, and the
  // images only a set would have held are released.
  if (Images.Count > 1 && !AttachOptionRomSet(PciHandle, Images)) {
    ReleaseUnownedImages(Images);
  }
  return EFI_SUCCESS;
}
