// Whole enumerations of the driver in the firmware model, over hierarchies of
// growing size: every phase, every prepare-controller call and an option ROM
// request per function, as the PCI bus driver makes them. Reported per
// enumeration and per function, so that linear growth shows as flat
// per-function figures.
#include "oprom/OptionRomTable.h"
#include "sim/AccessAccounting.h"
#include "sim/FirmwareVolume.h"
#include "sim/GeneratedHierarchy.h"
#include "sim/PciIoDevice.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

namespace {

// The files every option ROM table row names, in one volume.
void AddOptionRomFiles(sim::Machine &Machine) {
  sim::FirmwareVolume &Volume = Machine.AddFirmwareVolume();
  for (const OPTION_ROM_TABLE_ENTRY &Row : mOptionRomTable) {
    if (Row.VendorId != OPTION_ROM_TABLE_END) {
      Volume.AddRawFile(Row.FileGuid, std::vector<UINT8>(8192, 0x55));
    }
  }
}

struct Enumeration {
  sim::AccessCounts Accesses;
  unsigned Functions;
};

// Provisional: phases and ROM requests without the bus-driver sequencer.
Enumeration Enumerate(sim::Machine &Machine, const std::vector<sim::PciIoDevice *> &Devices) {
  (void)Machine.LoadDriver();
  EFI_PCI_PLATFORM_PROTOCOL *Platform = Machine.PciPlatform();
  for (const auto Phase :
       {EfiPciHostBridgeBeginEnumeration, EfiPciHostBridgeBeginBusAllocation, EfiPciHostBridgeEndBusAllocation,
        EfiPciHostBridgeBeginResourceAllocation, EfiPciHostBridgeAllocateResources, EfiPciHostBridgeSetResources,
        EfiPciHostBridgeEndResourceAllocation, EfiPciHostBridgeEndEnumeration}) {
    for (const auto Chipset : {ChipsetEntry, ChipsetExit}) {
      (void)Platform->PlatformNotify(Platform, Machine.HostBridgeHandle(), Phase, Chipset);
    }
  }
  for (sim::PciIoDevice *Device : Devices) {
    VOID *Image = nullptr;
    UINTN Size = 0;
    (void)Platform->GetPciRom(Platform, Device->Handle(), &Image, &Size);
  }
  return {sim::CountAccesses(Machine.Log()), static_cast<unsigned>(Devices.size())};
}

void SetCounters(benchmark::State &State, const Enumeration &Last, unsigned Buses) {
  using benchmark::Counter;
  const double Functions = Last.Functions;
  State.counters["buses"] = Buses;
  State.counters["functions"] = Functions;
  State.counters["cfg_reads"] = static_cast<double>(Last.Accesses[sim::AccessKind::ConfigRead]);
  State.counters["cfg_writes"] = static_cast<double>(Last.Accesses[sim::AccessKind::ConfigWrite]);
  State.counters["win_accesses"] =
      static_cast<double>(Last.Accesses[sim::AccessKind::WindowRead] + Last.Accesses[sim::AccessKind::WindowWrite]);
  State.counters["accesses"] = static_cast<double>(Last.Accesses.Total());
  State.counters["accesses/fn"] = static_cast<double>(Last.Accesses.Total()) / Functions;
  // Seconds per function: the inverse of functions enumerated per second.
  State.counters["time/fn"] = Counter(Functions, Counter::kIsIterationInvariantRate | Counter::kInvert);
}

void BM_SwitchedHierarchy(benchmark::State &State) {
  const auto Buses = static_cast<unsigned>(State.range(0));
  Enumeration Last{};
  for (auto _ : State) {
    State.PauseTiming();
    auto Machine = std::make_unique<sim::Machine>();
    (void)sim::AddSwitchedHierarchy(Machine->Pci(), Buses);
    AddOptionRomFiles(*Machine);
    std::vector<sim::PciIoDevice *> Devices;
    for (const auto &[Where, Function] : Machine->Pci().Functions()) {
      Devices.push_back(&Machine->AddPciIoDevice(Where));
    }
    State.ResumeTiming();
    Last = Enumerate(*Machine, Devices);
    State.PauseTiming();
    Machine.reset();
    State.ResumeTiming();
  }
  SetCounters(State, Last, Buses);
}
BENCHMARK(BM_SwitchedHierarchy)->RangeMultiplier(2)->Range(8, 256)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
