// Values the checks expect, typed in from where they are published (the PCI
// and PCI Express specifications, the chipset's window registers, the board's
// I/O APIC assignments, the interfaces other drivers use) rather than taken
// from the driver's headers: a wrong constant in the driver must not pass
// because a check shares it. The model's invariants, the fuzz scenarios and
// the tests (through tests/support/Published.h) read them from here.
#pragma once

#include "EfiBaseTypes.h"

namespace published {

// The "Setup" variable and the platform configuration blocks.
inline constexpr const CHAR16 *kSetupName = u"Setup";
inline constexpr UINTN kSetupSize = 636;
inline constexpr UINTN kSetupEthernetSwitch = 91;
inline constexpr UINT8 kSetupNotLoaded = 0xBD;
inline constexpr EFI_GUID kSetupVariableGuid = {
    0xEC87D643, 0xEBA4, 0x4BB5, {0xA1, 0xE5, 0x3F, 0x3E, 0x36, 0xB2, 0x0D, 0xA9}};
inline constexpr EFI_GUID kConfigBlockProtocolGuid = {
    0xAA81D9C8, 0xF05D, 0x4857, {0x8E, 0x66, 0x54, 0x97, 0xC8, 0xAB, 0xB0, 0xAD}};
// "QMX_DEP_CONF": the third I/O APIC's base, 32 bits little-endian at byte 14.
inline constexpr UINTN kQmxDepConfIoApicBaseOffset = 14;
inline constexpr UINT32 kThirdIoApicBase = 0xFEC90000;

// "QMX_CONF": the block copied from Setup bytes 208-634.
inline constexpr UINTN kSetupQmxConfOffset = 208;
inline constexpr UINTN kQmxConfSize = 427;

// PCI Local Bus Specification 3.0, 6.2 and 6.7.
inline constexpr UINT32 kPciVendorIdOffset = 0x00;
inline constexpr UINT32 kPciDeviceIdOffset = 0x02;
inline constexpr UINT32 kPciSecondaryBusOffset = 0x19;
inline constexpr UINT32 kPciConfigSpaceSize = 0x100;
inline constexpr UINT8 kPciExpressCapabilityId = 0x10;

// PCI Express Base Specification 4.0, 7.5.3: offsets from the capability.
inline constexpr UINT32 kPcieDeviceControlOffset = 0x08;
inline constexpr UINT32 kPcieLinkControlOffset = 0x10;
inline constexpr UINT32 kPcieLinkStatusOffset = 0x12;
inline constexpr UINT32 kPcieCapabilityBytesUsed = kPcieLinkStatusOffset + 2; // through link status
inline constexpr UINT8 kLinkControlAspmL1 = 0x02;
inline constexpr UINT8 kLinkControlRetrain = 0x20;
inline constexpr UINT8 kLinkControlCommonClock = 0x40;
inline constexpr UINT16 kDeviceControlMaxPayloadMask = 0x00E0;

// The boot delay the README states for link retraining: one wait per link of
// at most 1 s, link status polled 1 ms apart, and at most 2 s of waits in all
// per begin-resource-allocation pass.
inline constexpr UINT64 kRetrainWaitMostMicroseconds = 1000000;
inline constexpr UINT64 kRetrainPollIntervalMicroseconds = 1000;
inline constexpr UINT64 kRetrainWaitBudgetMicroseconds = 2000000;

// The chipset's configuration window and the two registers the driver uses.
inline constexpr UINT64 kConfigWindowBase = 0xE0000000;
inline constexpr UINT32 kWindowLinkSetupRegister = 0x174; // 8 bits
inline constexpr UINT8 kWindowLinkSetupActive = 0x04;
inline constexpr UINT32 kWindowPortControlRegister = 0x56; // 16 bits
inline constexpr UINT16 kWindowPortControlBit = 0x1000;

// The board's I/O APICs: index register at the base, data window 0x10 above.
struct IoApicAssignment {
  UINT64 Base;
  UINT8 Id;
};
inline constexpr IoApicAssignment kIoApics[] = {{0xFEC00000, 8}, {0xFEC80000, 9}, {0xFEC90000, 10}};
inline constexpr UINT64 kIoApicDataOffset = 0x10;

// "DisableASPM": its presence switches the ASPM pass off.
inline constexpr const CHAR16 *kDisableAspmName = u"DisableASPM";
inline constexpr EFI_GUID kDisableAspmGuid = {
    0x7C436110, 0xAB2A, 0x4BBB, {0xA8, 0x80, 0xFE, 0x41, 0x99, 0x5C, 0x9F, 0x82}};
inline constexpr UINTN kDisableAspmMaxSize = 32;

// PCI_CALLBACK_PROTOCOL registrations.
inline constexpr UINT32 kCallbackEntrySignature = 0x63696350; // "Pcic"
inline constexpr UINT32 kCallbackPoints = 0x7;                // prepare controller, begin and end allocation

// PCI_OPTION_ROM_SET, installed on device handles.
inline constexpr EFI_GUID kOptionRomSetGuid = {
    0x0A048148, 0x4B78, 0x4BDC, {0x96, 0x0B, 0x49, 0xB7, 0x0C, 0x28, 0x70, 0x78}};
inline constexpr UINT8 kOptionRomSetMinImages = 2;
inline constexpr UINT8 kOptionRomSetMaxImages = 4;

// The option ROM table: onboard devices and the files holding their images.
struct OptionRomRow {
  EFI_GUID File;
  UINT8 Bus;
  UINT8 Device;
  UINT8 Function;
  UINT16 VendorId;
  UINT16 DeviceId;
};
inline constexpr OptionRomRow kOptionRomRows[] = {
    {{0x8DFAE5D4, 0xB50E, 0x4C10, {0x96, 0xE6, 0xF2, 0xC2, 0x66, 0xCA, 0xCB, 0xB6}}, 0, 2, 0, 0x1002, 0x515E},
    {{0xC5677467, 0x7C65, 0x49FD, {0x82, 0x26, 0xAC, 0x31, 0x74, 0x41, 0x9D, 0x1B}}, 2, 0, 0, 0x1002, 0x7249},
    {{0x52A0547A, 0x9ED6, 0x4F7C, {0x9C, 0x1F, 0x40, 0x91, 0x1E, 0x1C, 0xB0, 0x25}}, 0, 31, 2, 0x8086, 0x2681},
    {{0x52A0547A, 0x9ED6, 0x4F7C, {0x9C, 0x1F, 0x40, 0x91, 0x1E, 0x1C, 0xB0, 0x25}}, 0, 31, 2, 0x8086, 0x2682},
    {{0xE8441378, 0x54D5, 0x4D9D, {0xB2, 0x38, 0x82, 0x34, 0x3E, 0x6B, 0xA5, 0x81}}, 0, 31, 2, 0x8086, 0x2682},
    {{0x6F2BC426, 0x8D83, 0x4F17, {0xBE, 0x2C, 0x6B, 0x1F, 0xCB, 0xD1, 0x4C, 0x80}}, 5, 0, 0, 0x8086, 0x1096},
    {{0x6F2BC426, 0x8D83, 0x4F17, {0xBE, 0x2C, 0x6B, 0x1F, 0xCB, 0xD1, 0x4C, 0x80}}, 5, 0, 0, 0x8086, 0x1096},
};

} // namespace published
