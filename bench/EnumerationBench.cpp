// Whole enumerations of the driver in the firmware model: every phase, every
// prepare-controller call and an option ROM request per function, as the PCI
// bus driver makes them. Over hierarchies of growing size, from the default
// board to all 256 buses, reported per enumeration and per function, so that
// linear growth shows as flat per-function figures. The last benchmark is the
// model's own pace: whole runs (machine, board, driver load, enumeration) per
// second on the default board.
#include "MachineBuilder.h"
#include "checks/GeneratedHierarchy.h"
#include "sim/WholeEnumeration.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>

namespace {

// The default board, or its firmware (variables, volumes, blocks, I/O APICs)
// around a generated hierarchy of Buses buses.
struct LaidOutBoard {
  std::unique_ptr<sim::Machine> Machine = std::make_unique<sim::Machine>();
  sim::ConfigBlockProvider Blocks;
  unsigned Buses = 0;

  explicit LaidOutBoard(unsigned GeneratedBuses) {
    pciplat::Board Layout = pciplat::DefaultBoard();
    if (GeneratedBuses != 0) {
      Layout.Functions.clear();
    }
    pciplat::BuildMachine(Layout, *Machine);
    (void)pciplat::BuildFirmwareVolumes(Layout, *Machine);
    pciplat::BuildConfigBlocks(Layout, *Machine, Blocks);
    Buses = GeneratedBuses != 0 ? sim::AddSwitchedHierarchy(Machine->Pci(), GeneratedBuses).Buses : BusesInUse();
  }

  unsigned BusesInUse() const {
    std::set<UINT8> Used;
    for (const auto &[Where, Function] : Machine->Pci().Functions()) {
      Used.insert(Where.Bus);
    }
    return static_cast<unsigned>(Used.size());
  }
};

void Check(const sim::EnumerationCounts &Counts) {
  if (EFI_ERROR(Counts.EntryStatus) || Counts.Functions == 0) {
    std::fprintf(stderr, "pciplat_bench: the driver did not load or the board is empty\n");
    std::abort();
  }
}

void SetCounters(benchmark::State &State, const sim::EnumerationCounts &Last, unsigned Buses) {
  using benchmark::Counter;
  const auto Functions = static_cast<double>(Last.Functions);
  const auto Total = static_cast<double>(Last.Total.Total());
  State.counters["buses"] = Buses;
  State.counters["functions"] = Functions;
  State.counters["cfg_reads"] = static_cast<double>(Last.Total[sim::AccessKind::ConfigRead]);
  State.counters["cfg_writes"] = static_cast<double>(Last.Total[sim::AccessKind::ConfigWrite]);
  State.counters["window"] =
      static_cast<double>(Last.Total[sim::AccessKind::WindowRead] + Last.Total[sim::AccessKind::WindowWrite]);
  State.counters["memory"] =
      static_cast<double>(Last.Total[sim::AccessKind::MemoryRead] + Last.Total[sim::AccessKind::MemoryWrite]);
  State.counters["accesses"] = Total;
  State.counters["accesses/fn"] = Total / Functions;
  // CPU seconds per function: the inverse of functions enumerated per second.
  State.counters["time/fn"] = Counter(Functions, Counter::kIsIterationInvariantRate | Counter::kInvert);
}

// Times the enumeration alone; laying the board out is not counted.
void EnumerateBoard(benchmark::State &State, unsigned GeneratedBuses) {
  sim::EnumerationCounts Last{};
  unsigned Buses = 0;
  for (auto _ : State) {
    State.PauseTiming();
    auto Board = std::make_unique<LaidOutBoard>(GeneratedBuses);
    Buses = Board->Buses;
    State.ResumeTiming();
    Last = sim::RunWholeEnumeration(*Board->Machine);
    State.PauseTiming();
    Board.reset();
    State.ResumeTiming();
  }
  Check(Last);
  SetCounters(State, Last, Buses);
}

void BM_DefaultBoard(benchmark::State &State) { EnumerateBoard(State, 0); }
BENCHMARK(BM_DefaultBoard)->Unit(benchmark::kMicrosecond);

void BM_SwitchedHierarchy(benchmark::State &State) { EnumerateBoard(State, static_cast<unsigned>(State.range(0))); }
BENCHMARK(BM_SwitchedHierarchy)->RangeMultiplier(2)->Range(8, 256)->Unit(benchmark::kMillisecond);

// What bounds the tests and fuzzers: a fresh machine, the default board laid
// out, the driver loaded and a whole enumeration, all timed.
void BM_ModelRunsPerSecond(benchmark::State &State) {
  for (auto _ : State) {
    LaidOutBoard Board(0);
    Check(sim::RunWholeEnumeration(*Board.Machine));
  }
  State.SetItemsProcessed(State.iterations());
  State.SetLabel("items_per_second = whole default-board runs per second");
}
BENCHMARK(BM_ModelRunsPerSecond)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
