// Every configuration, window and memory access the driver makes, counted per
// call into it. On the default board the counts are pinned: a change to the
// driver's access pattern fails here and must be made on purpose, with the
// table updated and the reason given. On generated hierarchies of growing
// size the accesses per function stay flat: the walks are linear.
#include "MachineBuilder.h"
#include "checks/GeneratedHierarchy.h"
#include "sim/WholeEnumeration.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

using sim::AccessCounts;

// config-read, config-write, window-read, window-write, memory-read, memory-write
AccessCounts Counts(size_t ConfigReads, size_t ConfigWrites, size_t WindowReads, size_t WindowWrites,
                    size_t MemoryReads, size_t MemoryWrites) {
  return {{ConfigReads, ConfigWrites, WindowReads, WindowWrites, MemoryReads, MemoryWrites}};
}

class AccessCountTest : public ::testing::Test {
protected:
  // The default board's firmware around its own hierarchy, or around a
  // generated one of GeneratedBuses buses.
  sim::EnumerationCounts Enumerate(unsigned GeneratedBuses = 0) {
    Machine = nullptr;
    Machine = std::make_unique<sim::Machine>();
    pciplat::Board Layout = pciplat::DefaultBoard();
    if (GeneratedBuses != 0) {
      Layout.Functions.clear();
    }
    pciplat::BuildMachine(Layout, *Machine);
    (void)pciplat::BuildFirmwareVolumes(Layout, *Machine);
    Blocks = std::make_unique<sim::ConfigBlockProvider>();
    pciplat::BuildConfigBlocks(Layout, *Machine, *Blocks);
    if (GeneratedBuses != 0) {
      (void)sim::AddSwitchedHierarchy(Machine->Pci(), GeneratedBuses);
    }
    sim::EnumerationCounts Result = sim::RunWholeEnumeration(*Machine);
    EXPECT_EQ(Result.EntryStatus, EFI_SUCCESS);
    EXPECT_TRUE(Machine->Faults().empty()) << Machine->Faults().front();
    return Result;
  }

  std::unique_ptr<sim::ConfigBlockProvider> Blocks;
  std::unique_ptr<sim::Machine> Machine;
};

// Begin-resource-allocation: the callback walk, ASPM (6 link-setup brackets of
// two window registers, 4 retrained links) and both payload walks. End: the
// callback walk and the three I/O APICs. Option ROMs: class, vendor and device
// of each of the 15 functions. Nothing else touches hardware. About 94 % of
// the reads are probes of absent functions, 80 % those of functions 1-7 of
// devices without function 0, which the scan order still visits.
TEST_F(AccessCountTest, TheDefaultBoardTakesExactlyTheseAccessesPerCall) {
  const std::map<std::string, AccessCounts> Expected = {
      {"BeginResourceAllocation", Counts(5964, 22, 18, 18, 0, 0)},
      {"EndResourceAllocation", Counts(1750, 0, 0, 0, 3, 12)},
      {"GetPciRom", Counts(45, 0, 0, 0, 0, 0)},
  };
  const sim::EnumerationCounts Result = Enumerate();
  EXPECT_EQ(Result.Functions, 15U);
  for (const auto &[Call, Made] : Result.ByCall) {
    const auto Pinned = Expected.find(Call);
    EXPECT_TRUE(Pinned != Expected.end() && Pinned->second == Made)
        << Call << " made " << sim::FormatCounts(Made)
        << "; pinned: " << (Pinned == Expected.end() ? "no access at all" : sim::FormatCounts(Pinned->second));
  }
  for (const auto &[Call, Pinned] : Expected) {
    EXPECT_TRUE(Result.ByCall.count(Call) != 0) << Call << " made no access; pinned: " << sim::FormatCounts(Pinned);
  }
}

// A switched hierarchy grows by root ports, switches and four-function
// devices. A walk that went back over buses or functions it had visited would
// make the larger hierarchies cost more per function.
TEST_F(AccessCountTest, AccessesPerFunctionStayFlatFromEightTo256Buses) {
  constexpr double kMostPerFunction = 320;
  constexpr double kGrowthAllowed = 1.05;
  double Smallest = 0;
  for (const unsigned Buses : {8U, 64U, 256U}) {
    const sim::EnumerationCounts Result = Enumerate(Buses);
    ASSERT_GT(Result.Functions, 0U);
    const double PerFunction = static_cast<double>(Result.Total.Total()) / static_cast<double>(Result.Functions);
    RecordProperty("accesses_per_function_" + std::to_string(Buses), std::to_string(PerFunction));
    EXPECT_LE(PerFunction, kMostPerFunction) << Buses << " buses";
    if (Smallest == 0) {
      Smallest = PerFunction;
    }
    EXPECT_LE(PerFunction, Smallest * kGrowthAllowed) << Buses << " buses against 8";
  }
}

} // namespace
