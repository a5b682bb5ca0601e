// Option ROM provision for onboard devices: the PCI bus driver asks for a
// device's image through GetPciRom, the fourth member of the installed
// EFI_PCI_PLATFORM_PROTOCOL, which answers with SupplyPciRom; the images come from files in the firmware
// volumes named by mOptionRomTable. A device with several images also gets a
// PCI_OPTION_ROM_SET on its handle.
#pragma once

#include "base/Decisions.h"
#include "base/Protocols.h"

#include "PciOptionRomSet.h"

inline constexpr EFI_GUID kPciOptionRomSetGuid = PCI_OPTION_ROM_SET_GUID;

// Asked once per request, after the device's PCI I/O is found and before its
// class is read: whether Ethernet controllers may have option ROMs.
using OPTION_ROM_ETHERNET_POLICY = bool (*)();

// The image of the last table row that matches the device behind PciHandle
// and whose file is found, and its size in bytes. EFI_INVALID_PARAMETER when
// RomImage or RomSize is null; EFI_NOT_FOUND for every other outcome without
// an image (no PCI I/O on the handle, an Ethernet controller while those get
// no option ROM, unreadable location or IDs, no row or no file).
EFI_STATUS SupplyPciRom(EFI_HANDLE PciHandle, VOID **RomImage, UINTN *RomSize,
                        OPTION_ROM_ETHERNET_POLICY EthernetOptionRomsEnabled);

// The raw section of a firmware file, from the first volume that holds it, in
// the order the firmware lists the volumes. On success *Buffer is pool memory
// the caller owns and *Size its length, never null or 0: a volume whose
// ReadSection succeeds with a null buffer or no bytes does not hold the file
// (its buffer, if any, is freed). EFI_LOAD_ERROR when a volume's
// interface cannot be obtained (the search stops there); EFI_NOT_FOUND when no
// volume holds the file or none exists. Requester, the address of the device
// the file is read for, only names it in the decision records.
[[nodiscard]] EFI_STATUS ReadOptionRomFile(const EFI_GUID &FileGuid, VOID **Buffer, UINTN *Size,
                                           DECISION_WHERE Requester = DECISION_NOWHERE);
