// The firmware model's own contracts: the ones the driver's tests lean on.
#include "sim/BoardBuilder.h"
#include "sim/Machine.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr EFI_GUID kVendor = {0x11111111, 0x2222, 0x3333, {4, 4, 5, 5, 6, 6, 7, 7}};

class ModelTest : public ::testing::Test {
protected:
  sim::Machine Machine;
};

TEST_F(ModelTest, GetVariableFollowsTheFirmwareContract) {
  Machine.Variables().Set(u"Data", kVendor, {1, 2, 3, 4});
  auto *Runtime = Machine.SystemTable()->RuntimeServices;
  std::vector<UINT8> Buffer(8, 0xEE);

  UINTN Size = 2;
  EXPECT_EQ(Runtime->GetVariable(u"Data", &kVendor, nullptr, &Size, Buffer.data()), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(Size, 4U);
  EXPECT_EQ(Buffer[0], 0xEE) << "a failed read leaves the buffer untouched";

  Size = 8;
  EXPECT_EQ(Runtime->GetVariable(u"Data", &kVendor, nullptr, &Size, Buffer.data()), EFI_SUCCESS);
  EXPECT_EQ(Size, 4U);
  EXPECT_EQ(Buffer, (std::vector<UINT8>{1, 2, 3, 4, 0xEE, 0xEE, 0xEE, 0xEE}));

  Size = 8;
  EXPECT_EQ(Runtime->GetVariable(u"Other", &kVendor, nullptr, &Size, Buffer.data()), EFI_NOT_FOUND);
  Machine.Variables().FailWith(u"Data", kVendor, EFI_DEVICE_ERROR);
  EXPECT_EQ(Runtime->GetVariable(u"Data", &kVendor, nullptr, &Size, Buffer.data()), EFI_DEVICE_ERROR);
  EXPECT_EQ(Machine.Variables().ReadCount(u"Data"), 3U);
}

TEST_F(ModelTest, PoolReportsMisuseAndInjectedFailures) {
  auto *Boot = Machine.BootServices();
  VOID *First = nullptr;
  ASSERT_EQ(Boot->AllocatePool(EfiBootServicesData, 16, &First), EFI_SUCCESS);
  Machine.Memory().FailAllocation(2);
  VOID *Second = nullptr;
  VOID *Third = reinterpret_cast<VOID *>(1);
  EXPECT_EQ(Boot->AllocatePool(EfiBootServicesData, 16, &Second), EFI_SUCCESS);
  EXPECT_EQ(Boot->AllocatePool(EfiBootServicesData, 16, &Third), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Third, nullptr);
  EXPECT_EQ(Boot->FreePool(First), EFI_SUCCESS);
  EXPECT_EQ(Boot->FreePool(First), EFI_INVALID_PARAMETER);
  int Local = 0;
  EXPECT_EQ(Boot->FreePool(&Local), EFI_INVALID_PARAMETER);
  ASSERT_EQ(Machine.Faults().size(), 2U);
  EXPECT_EQ(Machine.Faults()[0].rfind("double free", 0), 0U);
  EXPECT_EQ(Machine.Faults()[1].rfind("foreign free", 0), 0U);
  EXPECT_EQ(Boot->FreePool(Second), EFI_SUCCESS);
}

TEST_F(ModelTest, BothConfigurationViewsReachTheSameBytes) {
  auto &Function = sim::AddConventionalFunction(Machine.Pci(), {2, 3, 1}, 0x8086, 0x1234);
  const UINT64 Window = sim::kEcamBase + (2ULL << 20) + (3ULL << 15) + (1ULL << 12);
  Machine.PhysicalWrite(Window + 0x174, 1, 0x04);
  EXPECT_EQ(Function.Peek8(0x174), 0x04);
  EXPECT_EQ(Machine.PhysicalRead(Window, 2), 0x8086U);
  // Absent functions read all ones in the window as through the root bridge.
  EXPECT_EQ(Machine.PhysicalRead(sim::kEcamBase + (9ULL << 20), 2), 0xFFFFU);
  UINT32 Value = 0;
  auto *Io = Machine.RootBridgeIo();
  EXPECT_EQ(Io->Pci.Read(Io, EfiPciWidthUint32, 0x09000000, 1, &Value), EFI_SUCCESS);
  EXPECT_EQ(Value, 0xFFFFFFFFU);
}

TEST_F(ModelTest, FunctionsAndFailingReadsAreFoundWhereTheyWerePlaced) {
  auto *Io = Machine.RootBridgeIo();
  const auto Read16 = [Io](UINT64 Address, UINT16 *Value) {
    return Io->Pci.Read(Io, EfiPciWidthUint16, Address, 1, Value);
  };
  UINT16 Value = 0;
  sim::AddConventionalFunction(Machine.Pci(), {5, 2, 0}, 0x8086, 0x1234);
  Machine.Pci().Remove({5, 2, 0});
  EXPECT_EQ(Machine.Pci().Find({5, 2, 0}), nullptr);
  EXPECT_EQ(Read16(0x05020000, &Value), EFI_SUCCESS);
  EXPECT_EQ(Value, 0xFFFF) << "a removed function reads all ones";
  sim::AddConventionalFunction(Machine.Pci(), {5, 2, 0}, 0x8086, 0x5678);
  EXPECT_EQ(Read16(0x05020002, &Value), EFI_SUCCESS);
  EXPECT_EQ(Value, 0x5678);

  // Failing reads apply to absent functions too, and only where placed.
  Machine.Pci().FailReads({9, 1, 3});
  Machine.Pci().FailReads({5, 2, 0}, 0x09);
  EXPECT_EQ(Read16(0x09010300, &Value), EFI_DEVICE_ERROR);
  EXPECT_EQ(Read16(0x09010200, &Value), EFI_SUCCESS);
  EXPECT_EQ(Read16(0x05020008, &Value), EFI_DEVICE_ERROR) << "the read covers register 0x09";
  EXPECT_EQ(Read16(0x0502000A, &Value), EFI_SUCCESS);
}

TEST_F(ModelTest, IdentityRegistersAreReadOnly) {
  auto &Function = sim::AddConventionalFunction(Machine.Pci(), {0, 4, 0}, 0x8086, 0x1234);
  auto *Io = Machine.RootBridgeIo();
  UINT32 Value = 0;
  EXPECT_EQ(Io->Pci.Write(Io, EfiPciWidthUint32, 0x00040000, 1, &Value), EFI_SUCCESS);
  EXPECT_EQ(Function.Peek32(0), 0x12348086U);
}

TEST_F(ModelTest, RetrainIsSelfClearingAndTrainingEndsAfterTheConfiguredReads) {
  sim::PcieCapabilityConfig Link;
  Link.TrainingReads = 3;
  auto &Port = sim::AddRootPort(Machine.Pci(), {0, 1, 0}, 1, 1, Link);
  const UINT8 Cap = *Port.PcieCapabilityOffset();
  auto *Io = Machine.RootBridgeIo();
  const UINT64 Base = 0x00010000;
  UINT8 Control = 0x62;
  ASSERT_EQ(Io->Pci.Write(Io, EfiPciWidthUint8, Base + Cap + 0x10, 1, &Control), EFI_SUCCESS);
  EXPECT_EQ(Port.LinkControl() & 0xFF, 0x42);
  std::vector<bool> Training;
  for (int Read = 0; Read < 5; ++Read) {
    UINT16 Status = 0;
    ASSERT_EQ(Io->Pci.Read(Io, EfiPciWidthUint16, Base + Cap + 0x12, 1, &Status), EFI_SUCCESS);
    Training.push_back((Status & 0x800) != 0);
  }
  EXPECT_EQ(Training, (std::vector<bool>{true, true, true, false, false}));
  EXPECT_EQ(Port.RetrainPolls(), (std::vector<unsigned>{5}));
}

TEST_F(ModelTest, UnmappedPhysicalMemoryReadsAllOnes) {
  auto *CpuIo = Machine.CpuIo();
  UINT32 Value = 0;
  EXPECT_EQ(CpuIo->Mem.Read(CpuIo, EfiCpuIoWidthUint32, 0xFEC80000, 1, &Value), EFI_SUCCESS);
  EXPECT_EQ(Value, 0xFFFFFFFFU);
}

} // namespace
