// One whole enumeration plus the option ROM requests on the default board, run
// once per allocation it makes with that one allocation failing. Every run
// must end with the documented statuses, every invariant intact and every
// allocation freed or owned.
#include "fuzz/Scenarios.h"

#include "MachineBuilder.h"
#include "sim/ConfigBlockProvider.h"
#include "sim/FirmwareVolume.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

// The default board laid out the way the board runner lays it out.
class DefaultBoard {
public:
  DefaultBoard() {
    const pciplat::Board Layout = pciplat::DefaultBoard();
    pciplat::BuildMachine(Layout, Machine);
    for (const pciplat::BoardVolume &Described : Layout.Volumes) {
      sim::FirmwareVolume &Volume = Machine.AddFirmwareVolume();
      for (const pciplat::BoardFile &File : Described.Files) {
        Volume.AddRawFile(File.Guid, std::vector<UINT8>(File.Size, File.Fill));
      }
    }
    for (const pciplat::BoardConfigBlock &Block : Layout.ConfigBlocks) {
      Blocks.AddBlock(std::u16string(Block.Name.begin(), Block.Name.end()), Block.Size);
    }
    (void)Blocks.Install(Machine.Handles());
  }

  sim::Machine Machine;
  sim::ConfigBlockProvider Blocks;
};

fuzz::EnumerationResult RunDefaultBoard(size_t FailingAllocation) {
  DefaultBoard Board;
  fuzz::EnumerationOptions Options;
  Options.FailingAllocation = FailingAllocation;
  Options.RequestOptionRoms = true;
  // One callback for every point, and one that registers a third while the
  // walk runs: registrations allocate before and during the enumeration.
  Options.Callbacks = {{0, 7, fuzz::CallbackAction::Nothing, 0},
                       {1, 6, fuzz::CallbackAction::RegisterSlot, static_cast<UINT8>(2 | (4 << 3))}};
  return fuzz::EnumerateAndCheck(Board.Machine, Options);
}

TEST(AllocationFailureSweepTest, EveryAllocationCanFailAndTheRunStillEndsSoundly) {
  const fuzz::EnumerationResult Baseline = RunDefaultBoard(0);
  for (const std::string &Violation : Baseline.Violations) {
    ADD_FAILURE() << "without failures: " << Violation;
  }
  size_t Served = 0;
  for (const auto &Request : Baseline.Requests) {
    Served += Request.Status == EFI_SUCCESS ? 1 : 0;
  }
  // The display controllers, the SATA controller (two images) and the
  // Ethernet controller (the same file twice).
  ASSERT_EQ(Served, 4U);
  ASSERT_GT(Baseline.Allocations, 10U);

  for (size_t Failing = 1; Failing <= Baseline.Allocations; ++Failing) {
    SCOPED_TRACE("allocation " + std::to_string(Failing) + " fails");
    const fuzz::EnumerationResult Result = RunDefaultBoard(Failing);
    for (const std::string &Violation : Result.Violations) {
      ADD_FAILURE() << Violation;
    }
    ASSERT_EQ(Result.Requests.size(), Baseline.Requests.size());
    for (size_t Index = 0; Index < Result.Requests.size(); ++Index) {
      const auto &Request = Result.Requests[Index];
      // Only the request whose allocation failed may lose its image (a file
      // that could not be read is passed over); a lost set still serves it.
      if (Baseline.Requests[Index].Status == EFI_NOT_FOUND || !Request.AllocationFailed) {
        EXPECT_EQ(Request.Status, Baseline.Requests[Index].Status) << "request " << Index;
      }
    }
  }
}

} // namespace
