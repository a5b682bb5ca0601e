// The model's firmware volumes and per-device PCI I/O instances: the contracts
// the option ROM tests lean on.
#include "sim/BoardBuilder.h"
#include "sim/FirmwareVolume.h"
#include "sim/Machine.h"
#include "sim/PciIoDevice.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr EFI_GUID kFile = {0x0F1E2D3C, 0x4B5A, 0x6978, {0x87, 0x96, 0xA5, 0xB4, 0xC3, 0xD2, 0xE1, 0xF0}};
constexpr EFI_GUID kOtherFile = {0x0F1E2D3C, 0x4B5A, 0x6978, {0x87, 0x96, 0xA5, 0xB4, 0xC3, 0xD2, 0xE1, 0xF1}};
constexpr EFI_SECTION_TYPE kPe32Section = 0x10;

class FirmwarePiecesTest : public ::testing::Test {
protected:
  EFI_STATUS Read(sim::FirmwareVolume &Volume, const EFI_GUID &File, EFI_SECTION_TYPE Type, UINTN Instance,
                  VOID **Buffer, UINTN *Size) {
    UINT32 Authentication = 0xFFFFFFFF;
    auto *Protocol = Volume.Protocol();
    return Protocol->ReadSection(Protocol, &File, Type, Instance, Buffer, Size, &Authentication);
  }

  sim::Machine Machine;
};

TEST_F(FirmwarePiecesTest, ReadSectionAllocatesACopyTheCallerOwns) {
  auto &Volume = Machine.AddFirmwareVolume();
  Volume.AddFile(kFile, {{kPe32Section, {9}}, {EFI_SECTION_RAW, {1, 2, 3}}, {EFI_SECTION_RAW, {4, 5}}});
  VOID *Buffer = nullptr;
  UINTN Size = 0;
  ASSERT_EQ(Read(Volume, kFile, EFI_SECTION_RAW, 1, &Buffer, &Size), EFI_SUCCESS);
  EXPECT_EQ(Size, 2U);
  EXPECT_TRUE(Machine.Memory().IsLive(Buffer));
  EXPECT_EQ(static_cast<UINT8 *>(Buffer)[1], 5);
  EXPECT_EQ(Machine.BootServices()->FreePool(Buffer), EFI_SUCCESS);

  Buffer = nullptr;
  EXPECT_EQ(Read(Volume, kFile, EFI_SECTION_RAW, 2, &Buffer, &Size), EFI_NOT_FOUND);
  EXPECT_EQ(Read(Volume, kOtherFile, EFI_SECTION_RAW, 0, &Buffer, &Size), EFI_NOT_FOUND);
  EXPECT_EQ(Buffer, nullptr);
  EXPECT_EQ(Volume.SectionReads(), (std::vector<EFI_GUID>{kFile, kFile, kOtherFile}));
}

TEST_F(FirmwarePiecesTest, ReadSectionIntoASmallCallerBufferTruncatesWithAWarning) {
  auto &Volume = Machine.AddFirmwareVolume();
  Volume.AddRawFile(kFile, {1, 2, 3, 4});
  UINT8 Small[2] = {0, 0};
  VOID *Buffer = Small;
  UINTN Size = sizeof(Small);
  EXPECT_EQ(Read(Volume, kFile, EFI_SECTION_RAW, 0, &Buffer, &Size), sim::kEfiWarnBufferTooSmall);
  EXPECT_EQ(Size, 4U);
  EXPECT_EQ(Small[1], 2);
  EXPECT_EQ(Machine.Memory().LiveCount(), 0U);
}

TEST_F(FirmwarePiecesTest, VolumesAreListedInTheOrderAddedAndCanBeUnreachable) {
  auto &First = Machine.AddFirmwareVolume();
  auto &Second = Machine.AddFirmwareVolume();
  Second.FailInterfaceLookup(EFI_ACCESS_DENIED);
  UINTN Count = 0;
  EFI_HANDLE *Handles = nullptr;
  auto *Boot = Machine.BootServices();
  ASSERT_EQ(Boot->LocateHandleBuffer(ByProtocol, &EFI_FIRMWARE_VOLUME_PROTOCOL_GUID, nullptr, &Count, &Handles),
            EFI_SUCCESS);
  ASSERT_EQ(Count, 2U);
  EXPECT_EQ(Handles[0], First.Handle());
  EXPECT_EQ(Handles[1], Second.Handle());
  VOID *Interface = nullptr;
  EXPECT_EQ(Boot->HandleProtocol(Handles[0], &EFI_FIRMWARE_VOLUME_PROTOCOL_GUID, &Interface), EFI_SUCCESS);
  EXPECT_EQ(Interface, First.Protocol());
  EXPECT_EQ(Boot->HandleProtocol(Handles[1], &EFI_FIRMWARE_VOLUME_PROTOCOL_GUID, &Interface), EFI_ACCESS_DENIED);
  EXPECT_EQ(Boot->FreePool(Handles), EFI_SUCCESS);
}

TEST_F(FirmwarePiecesTest, PciIoReportsItsPlaceAndReadsThroughTheRootBridge) {
  sim::AddConventionalFunction(Machine.Pci(), {4, 3, 1}, 0x8086, 0x1096).ClassCode(0x02, 0x00);
  auto &Device = Machine.AddPciIoDevice({4, 3, 1}, 2);
  auto *PciIo = Device.Protocol();
  UINTN Segment = 0, Bus = 0, DeviceNumber = 0, Function = 0;
  ASSERT_EQ(PciIo->GetLocation(PciIo, &Segment, &Bus, &DeviceNumber, &Function), EFI_SUCCESS);
  EXPECT_EQ((std::vector<UINTN>{Segment, Bus, DeviceNumber, Function}), (std::vector<UINTN>{2, 4, 3, 1}));

  UINT16 Values[2] = {};
  ASSERT_EQ(PciIo->Pci.Read(PciIo, EfiPciIoWidthUint16, 0x00, 2, Values), EFI_SUCCESS);
  EXPECT_EQ(Values[0], 0x8086);
  EXPECT_EQ(Values[1], 0x1096);
  ASSERT_EQ(Machine.Log().All().size(), 2U);
  EXPECT_EQ(Machine.Log().All()[1].Address, 0x04030102U);
  EXPECT_EQ(PciIo->Pci.Read(PciIo, EfiPciIoWidthUint16, sim::kConfigSpaceSize - 1, 1, Values), EFI_UNSUPPORTED);
}

TEST_F(FirmwarePiecesTest, PciIoFailuresWriteNothing) {
  sim::AddConventionalFunction(Machine.Pci(), {0, 31, 2}, 0x8086, 0x2682);
  auto &Device = Machine.AddPciIoDevice({0, 31, 2});
  auto *PciIo = Device.Protocol();
  Device.FailGetLocation(EFI_DEVICE_ERROR);
  Device.FailConfigRead(0x0A, EFI_DEVICE_ERROR);
  UINTN Segment = 7, Bus = 7, DeviceNumber = 7, Function = 7;
  EXPECT_EQ(PciIo->GetLocation(PciIo, &Segment, &Bus, &DeviceNumber, &Function), EFI_DEVICE_ERROR);
  EXPECT_EQ(Segment + Bus + DeviceNumber + Function, 28U);
  UINT16 Value = 0x5A5A;
  EXPECT_EQ(PciIo->Pci.Read(PciIo, EfiPciIoWidthUint16, 0x0A, 1, &Value), EFI_DEVICE_ERROR);
  EXPECT_EQ(Value, 0x5A5A);
  EXPECT_TRUE(Machine.Log().All().empty());
  // A failing bus fails the PCI I/O read too.
  Machine.Pci().FailReads({0, 31, 2}, 0x02);
  EXPECT_EQ(PciIo->Pci.Read(PciIo, EfiPciIoWidthUint16, 0x02, 1, &Value), EFI_DEVICE_ERROR);
  EXPECT_EQ(PciIo->Pci.Read(PciIo, EfiPciIoWidthUint16, 0x00, 1, &Value), EFI_SUCCESS);
  EXPECT_EQ(Value, 0x8086);
  EXPECT_EQ(Device.GetLocationCalls(), 1U);
  EXPECT_EQ(Device.ConfigReads(), 3U);
}

} // namespace
