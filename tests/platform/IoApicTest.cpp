// I/O APIC IDs programmed at end-resource-allocation, checked through the CPU
// I/O accesses in the order the driver makes them.
#include "support/DriverFixture.h"

#include "sim/IoApic.h"

#include <cstdio>
#include <memory>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

namespace {

struct BoardIoApic {
  UINT64 Base;
  UINT8 Id;
};
constexpr BoardIoApic kBoardIoApics[] = {{0xFEC00000, 8}, {0xFEC80000, 9}, {0xFEC90000, 10}};

// What firmware reset leaves: some other ID, and reserved bits the driver must clear.
constexpr UINT32 kResetIdRegister = 0x0FABCDEF;

std::string Describe(sim::AccessKind Kind, UINT64 Address, UINT8 Width, UINTN Count, UINT64 Value) {
  char Text[96];
  if (Kind == sim::AccessKind::MemoryWrite) {
    std::snprintf(Text, sizeof(Text), "write %#llx w%u x%llu = %#llx", static_cast<unsigned long long>(Address),
                  Width * 8U, static_cast<unsigned long long>(Count), static_cast<unsigned long long>(Value));
  } else {
    // What a probe returns depends on the device; the driver's decision shows in what follows.
    std::snprintf(Text, sizeof(Text), "read  %#llx w%u x%llu", static_cast<unsigned long long>(Address), Width * 8U,
                  static_cast<unsigned long long>(Count));
  }
  return Text;
}

std::string Read32(UINT64 Address) { return Describe(sim::AccessKind::MemoryRead, Address, 4, 1, 0); }
std::string Write32(UINT64 Address, UINT32 Value) {
  return Describe(sim::AccessKind::MemoryWrite, Address, 4, 1, Value);
}

// The probe and, when something answers, both register writes.
std::vector<std::string> Programming(const BoardIoApic &IoApic, bool Answers) {
  std::vector<std::string> Expected = {Read32(IoApic.Base)};
  if (Answers) {
    Expected.insert(Expected.end(), {Write32(IoApic.Base, 0), Write32(IoApic.Base + 0x10, UINT32{IoApic.Id} << 24),
                                     Write32(IoApic.Base, 3), Write32(IoApic.Base + 0x10, 1)});
  }
  return Expected;
}

class IoApicTest : public DriverFixture {
protected:
  void SetUp() override {
    DriverFixture::SetUp();
    for (size_t Index = 0; Index < std::size(kBoardIoApics); ++Index) {
      Models[Index] = &Machine->Physical().Map(kBoardIoApics[Index].Base, sim::IoApic::kWindowSize,
                                               std::make_unique<sim::IoApic>(0));
      Models[Index]->SetRegister(sim::IoApic::kIdRegister, kResetIdRegister);
    }
    LoadDriver();
  }

  // Enumeration up to the end of resource allocation, with only that phase's
  // accesses left in the log.
  void RunToEndOfResourceAllocation() {
    RunPhase(EfiPciHostBridgeBeginEnumeration);
    Machine->Log().Clear();
    RunPhase(EfiPciHostBridgeEndResourceAllocation);
  }

  std::vector<std::string> CpuMemoryAccesses() const {
    std::vector<std::string> Result;
    for (const sim::Access &Entry : Machine->Log().All()) {
      if (Entry.Kind == sim::AccessKind::MemoryRead || Entry.Kind == sim::AccessKind::MemoryWrite) {
        Result.push_back(Describe(Entry.Kind, Entry.Address, Entry.Width, Entry.Count, Entry.Value));
      }
    }
    return Result;
  }

  void ExpectProgrammed(size_t Index) const {
    const sim::IoApic &Model = *Models[Index];
    const UINT32 IdRegister = UINT32{kBoardIoApics[Index].Id} << 24;
    EXPECT_EQ(Model.Register(sim::IoApic::kIdRegister), IdRegister) << "I/O APIC " << Index;
    EXPECT_EQ(Model.Register(3), 1U) << "I/O APIC " << Index;
    const std::vector<std::pair<UINT8, UINT32>> Writes = {{0, IdRegister}, {3, 1}};
    EXPECT_EQ(Model.DataWrites(), Writes) << "I/O APIC " << Index;
  }

  sim::IoApic *Models[std::size(kBoardIoApics)] = {};
};

TEST_F(IoApicTest, ProgramsTheThreeIdsInOrderWritingEachIdRegisterWhole) {
  RunToEndOfResourceAllocation();
  std::vector<std::string> Expected;
  for (const BoardIoApic &IoApic : kBoardIoApics) {
    const std::vector<std::string> One = Programming(IoApic, true);
    Expected.insert(Expected.end(), One.begin(), One.end());
  }
  EXPECT_EQ(CpuMemoryAccesses(), Expected);
  for (size_t Index = 0; Index < std::size(kBoardIoApics); ++Index) {
    ExpectProgrammed(Index);
    EXPECT_EQ(Models[Index]->Id(), kBoardIoApics[Index].Id);
  }
}

TEST_F(IoApicTest, EveryEndOfResourceAllocationRepeatsAllThree) {
  RunToEndOfResourceAllocation();
  const std::vector<std::string> First = CpuMemoryAccesses();
  Models[1]->SetRegister(sim::IoApic::kIdRegister, kResetIdRegister);
  Machine->Log().Clear();
  RunPhase(EfiPciHostBridgeEndResourceAllocation);
  EXPECT_EQ(CpuMemoryAccesses(), First);
  EXPECT_EQ(Models[1]->Register(sim::IoApic::kIdRegister), UINT32{9} << 24);
}

// An I/O APIC that cannot be probed, either because nothing decodes its
// address or because the read itself fails, receives no write; the others do.
enum class ProbeOutcome { Unmapped, ReadFails };

void PrintTo(ProbeOutcome Outcome, std::ostream *Out) {
  *Out << (Outcome == ProbeOutcome::Unmapped ? "Unmapped" : "ReadFails");
}

class IoApicProbeTest : public IoApicTest, public ::testing::WithParamInterface<std::tuple<size_t, ProbeOutcome>> {};

TEST_P(IoApicProbeTest, AnIoApicThatDoesNotAnswerReceivesNoWrite) {
  const auto [Silent, Outcome] = GetParam();
  if (Outcome == ProbeOutcome::Unmapped) {
    Machine->Physical().Unmap(kBoardIoApics[Silent].Base);
  } else {
    Machine->FailCpuMemoryAccess(sim::AccessKind::MemoryRead, kBoardIoApics[Silent].Base, EFI_DEVICE_ERROR);
  }
  RunToEndOfResourceAllocation();

  std::vector<std::string> Expected;
  for (size_t Index = 0; Index < std::size(kBoardIoApics); ++Index) {
    const std::vector<std::string> One = Programming(kBoardIoApics[Index], Index != Silent);
    Expected.insert(Expected.end(), One.begin(), One.end());
    if (Index != Silent) {
      ExpectProgrammed(Index);
    }
  }
  EXPECT_EQ(CpuMemoryAccesses(), Expected);
  if (Outcome == ProbeOutcome::ReadFails) {
    EXPECT_TRUE(Models[Silent]->DataWrites().empty());
    EXPECT_EQ(Models[Silent]->Register(sim::IoApic::kIdRegister), kResetIdRegister);
  }
}

INSTANTIATE_TEST_SUITE_P(, IoApicProbeTest,
                         ::testing::Combine(::testing::Values(0, 1, 2),
                                            ::testing::Values(ProbeOutcome::Unmapped, ProbeOutcome::ReadFails)),
                         [](const auto &Info) {
                           return "IoApic" + std::to_string(std::get<0>(Info.param)) +
                                  ::testing::PrintToString(std::get<1>(Info.param));
                         });

TEST_F(IoApicTest, AFailedSelectionKeepsTheValueOutOfWhateverRegisterIsSelected) {
  // Register 1 stays selected while the selection of register 0 fails.
  Models[0]->Write32(sim::IoApic::kIndexOffset, sim::IoApic::kVersionRegister);
  const UINT32 Version = Models[0]->Register(sim::IoApic::kVersionRegister);
  Machine->FailCpuMemoryAccess(sim::AccessKind::MemoryWrite, kBoardIoApics[0].Base, EFI_DEVICE_ERROR);
  RunToEndOfResourceAllocation();

  const std::vector<std::string> Expected = {Read32(0xFEC00000), Write32(0xFEC00000, 0), Write32(0xFEC00000, 3)};
  const std::vector<std::string> All = CpuMemoryAccesses();
  EXPECT_EQ(std::vector<std::string>(All.begin(), All.begin() + 3), Expected);
  EXPECT_TRUE(Models[0]->DataWrites().empty());
  EXPECT_EQ(Models[0]->Register(sim::IoApic::kVersionRegister), Version);
  ExpectProgrammed(1);
  ExpectProgrammed(2);
}

TEST_F(IoApicTest, WithoutCpuIoNothingIsAccessed) {
  // Before any begin-enumeration, and after one that found no CPU I/O.
  RunPhase(EfiPciHostBridgeEndResourceAllocation);
  EXPECT_TRUE(CpuMemoryAccesses().empty());

  Machine->Handles().FailLocateProtocol(EFI_CPU_IO_PROTOCOL_GUID, EFI_NOT_FOUND);
  RunToEndOfResourceAllocation();
  EXPECT_TRUE(CpuMemoryAccesses().empty());
  for (const sim::IoApic *Model : Models) {
    EXPECT_TRUE(Model->DataWrites().empty());
  }
}

} // namespace
