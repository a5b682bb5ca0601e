// GetPciRom: which onboard device is asking, which table rows it matches, and
// the images read for them.
#include "OptionRom.h"
#include "OptionRomSet.h"
#include "OptionRomTable.h"

#include "base/Decisions.h"
#include "base/FirmwareServices.h"
#include "pci/PciAddress.h"
#include "pci/PciRegisters.h"

namespace {

// Class word at PCI_CLASS_CODE_OFFSET: base class 02 (network), sub-class 00.
constexpr UINT16 PCI_CLASS_WORD_ETHERNET = 0x0200;

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
  if (EFI_ERROR(BootServices()->HandleProtocol(PciHandle, &EFI_PCI_IO_PROTOCOL_GUID, &Interface))) {
    return nullptr;
  }
  return static_cast<EFI_PCI_IO_PROTOCOL *>(Interface);
}

// Out of line: the request's three reads cost less as calls.
[[nodiscard, gnu::noinline]] EFI_STATUS ReadConfig16(EFI_PCI_IO_PROTOCOL *PciIo, UINT32 Offset, UINT16 *Value) {
  return PciIo->Pci.Read(PciIo, EfiPciIoWidthUint16, Offset, 1, Value);
}

UINT64 WhereOf(const OPTION_ROM_DEVICE &Device) {
  return PciFunctionAddress(static_cast<UINT8>(Device.Bus), static_cast<UINT8>(Device.Device),
                            static_cast<UINT8>(Device.Function));
}

void DecideOptionRom(DECISION_REASON Reason, UINT64 Where, UINT64 Value = 0, UINT64 Detail = 0) {
  Decide(DECISION_KIND::OptionRom, Reason, Where, Value, Detail);
}

// Location, class and IDs of the device, in that order; EFI_NOT_FOUND when any
// of them cannot be read or the device is an Ethernet controller while those
// get no option ROM.
[[nodiscard]] EFI_STATUS IdentifyDevice(EFI_PCI_IO_PROTOCOL *PciIo, bool EthernetAllowed, OPTION_ROM_DEVICE *Device) {
  if (EFI_ERROR(PciIo->GetLocation(PciIo, &Device->Segment, &Device->Bus, &Device->Device, &Device->Function))) {
    DecideOptionRom(DECISION_REASON::Unidentified, DECISION_NOWHERE);
    return EFI_NOT_FOUND;
  }
  UINT16 ClassWord = 0;
  if (EFI_ERROR(ReadConfig16(PciIo, PCI_CLASS_CODE_OFFSET, &ClassWord)) ||
      (ClassWord == PCI_CLASS_WORD_ETHERNET && !EthernetAllowed)) {
    DecideOptionRom(ClassWord == PCI_CLASS_WORD_ETHERNET ? DECISION_REASON::EthernetSwitchedOff
                                                         : DECISION_REASON::Unidentified,
                    WhereOf(*Device));
    return EFI_NOT_FOUND;
  }
  if (EFI_ERROR(ReadConfig16(PciIo, PCI_VENDOR_ID_OFFSET, &Device->VendorId)) ||
      EFI_ERROR(ReadConfig16(PciIo, PCI_DEVICE_ID_OFFSET, &Device->DeviceId))) {
    DecideOptionRom(DECISION_REASON::Unidentified, WhereOf(*Device));
    return EFI_NOT_FOUND;
  }
  return EFI_SUCCESS;
}

DECISION_REASON FileOutcome(EFI_STATUS Status) {
  if (Status == EFI_LOAD_ERROR) {
    return DECISION_REASON::VolumeUnreachable;
  }
  return EFI_ERROR(Status) ? DECISION_REASON::FileMissing : DECISION_REASON::FileRead;
}

// Segment and bus are not compared: onboard devices are known by their IDs
// and their place on whatever bus they were given.
bool RowMatches(const OPTION_ROM_TABLE_ENTRY &Row, const OPTION_ROM_DEVICE &Device) {
  return Row.VendorId == Device.VendorId && Row.DeviceId == Device.DeviceId && Row.Device == Device.Device &&
         Row.Function == Device.Function;
}

// Reads the file of every matching row, in table order, up to a full list. A
// row whose file cannot be read is passed over. Returns the rows that matched.
UINTN CollectOptionRomImages(const OPTION_ROM_DEVICE &Device, OPTION_ROM_IMAGE_LIST *Images) {
  UINTN Matched = 0;
  for (const OPTION_ROM_TABLE_ENTRY &Row : mOptionRomTable) {
    if (Row.VendorId == OPTION_ROM_TABLE_END || Images->Count == PCI_OPTION_ROM_SET_MAX_IMAGES) {
      break;
    }
    if (!RowMatches(Row, Device)) {
      continue;
    }
    ++Matched;
    VOID *Image = nullptr;
    UINTN Size = 0;
    const EFI_STATUS Status = ReadOptionRomFile(Row.FileGuid, &Image, &Size, WhereOf(Device));
    DecideOptionRom(FileOutcome(Status), WhereOf(Device), static_cast<UINT64>(&Row - mOptionRomTable));
    if (!EFI_ERROR(Status)) {
      Images->Entries[Images->Count++] = {Size, Image};
    }
  }
  return Matched;
}

// The set on the handle of the device at Where, and the record of the outcome.
bool AttachOptionRomSetOf(EFI_HANDLE PciHandle, const OPTION_ROM_IMAGE_LIST &Images, UINT64 Where) {
  const bool Attached = AttachOptionRomSet(PciHandle, Images);
  DecideOptionRom(Attached ? DECISION_REASON::SetAttached : DECISION_REASON::SetNotAttached, Where, Images.Count);
  return Attached;
}

// The last image is returned. The set is optional: without one the request
// still succeeds, and the images only a set would have held are released.
EFI_STATUS ReturnImages(EFI_HANDLE PciHandle, const OPTION_ROM_IMAGE_LIST &Images, UINT64 Where, VOID **RomImage,
                        UINTN *RomSize) {
  const PCI_OPTION_ROM_IMAGE &Returned = Images.Entries[Images.Count - 1];
  *RomImage = Returned.Image;
  *RomSize = Returned.Size;
  if (Images.Count > 1 && !AttachOptionRomSetOf(PciHandle, Images, Where)) {
    ReleaseUnownedImages(Images);
  }
  return EFI_SUCCESS;
}

} // namespace

EFI_STATUS SupplyPciRom(EFI_HANDLE PciHandle, VOID **RomImage, UINTN *RomSize,
                        OPTION_ROM_ETHERNET_POLICY EthernetOptionRomsEnabled) {
  if (RomImage == nullptr || RomSize == nullptr) {
    DecideOptionRom(DECISION_REASON::NullResult, DECISION_NOWHERE);
    return EFI_INVALID_PARAMETER;
  }
  EFI_PCI_IO_PROTOCOL *PciIo = PciIoOf(PciHandle);
  if (PciIo == nullptr) {
    DecideOptionRom(DECISION_REASON::NoPciIo, DECISION_NOWHERE);
    return EFI_NOT_FOUND;
  }
  const bool EthernetAllowed = EthernetOptionRomsEnabled();
  OPTION_ROM_DEVICE Device{};
  if (EFI_ERROR(IdentifyDevice(PciIo, EthernetAllowed, &Device))) {
    return EFI_NOT_FOUND;
  }
  OPTION_ROM_IMAGE_LIST Images{};
  const UINTN Matched = CollectOptionRomImages(Device, &Images);
  // Value: the images found, or without any the rows that matched.
  DecideOptionRom(Images.Count == 0 ? DECISION_REASON::NoImage : DECISION_REASON::Supplied, WhereOf(Device),
                  Images.Count == 0 ? Matched : Images.Count);
  return Images.Count == 0 ? EFI_NOT_FOUND : ReturnImages(PciHandle, Images, WhereOf(Device), RomImage, RomSize);
}
