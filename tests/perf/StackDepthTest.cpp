// A chain of bridges as deep as bus numbers allow must be walked to its last
// bus, with a stack that does not grow with the depth: the walks keep their
// levels in a bounded array, not in recursion. This is the host build's figure
// (unoptimised, so larger than the image's), taken from the stack pointer the
// root bridge sees; the image's own is checked from its stack-usage files
// (image.stack-budget).
#include "published/PciLayout.h"
#include "support/DriverFixture.h"

#include "checks/GeneratedHierarchy.h"
#include "pci/PciRegisters.h"
#include "pci/PcieCapability.h"
#include "sim/CallbackRecorder.h"
#include "sim/StackProbe.h"

#include <cstdio>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PCIPLAT_STACK_INSTRUMENTED 1 // redzones around every local: the figure means nothing
#endif
#endif

namespace {

constexpr unsigned kDeepestChain = 255;
constexpr unsigned kHalfChain = 127;
// Twice the image's budget: the debug build keeps every local in memory.
[[maybe_unused]] constexpr size_t kHostStackBudgetBytes = 2 * PCIPLAT_STACK_BUDGET_BYTES; // unused under ASan

class StackDepthTest : public DriverFixture {
protected:
  // The deepest stack one enumeration of a Levels-deep chain reaches.
  size_t EnumerateChain(unsigned Levels) {
    Machine = nullptr;
    Machine = std::make_unique<sim::Machine>();
    sim::AddBridgeChain(Machine->Pci(), Levels);
    LoadDriver();
    Recorder.Clear();
    EXPECT_EQ(sim::CallbackRecorder::Register(Machine->PciCallback(), 0,
                                              PCI_CALLBACK_BEGIN_ALLOCATION | PCI_CALLBACK_END_ALLOCATION),
              EFI_SUCCESS);
    sim::StackProbe Probe(*Machine);
    return Probe.Measure([this] {
      RunPhase(EfiPciHostBridgeBeginEnumeration);
      RunPhase(EfiPciHostBridgeBeginResourceAllocation);
      RunPhase(EfiPciHostBridgeEndResourceAllocation);
    });
  }

  UINT8 MaxPayloadAt(sim::Bdf Where) {
    return static_cast<UINT8>(
        (Machine->Pci().Find(Where)->DeviceControl() & published::layout::PCIE_DEVICE_CONTROL_MAX_PAYLOAD_MASK) >>
        published::layout::PCIE_DEVICE_CONTROL_MAX_PAYLOAD_SHIFT);
  }

  sim::CallbackRecorder Recorder;
};

TEST_F(StackDepthTest, A255LevelBridgeChainIsWalkedToItsLastBusWithinTheStackBudget) {
  const size_t Half = EnumerateChain(kHalfChain);
  const size_t Deepest = EnumerateChain(kDeepestChain);

  // Both callback walks, both payload walks (the smallest size is found only
  // on bus 255, and programmed at the top and at the bottom) and the ASPM walk
  // (it retrained the deepest link) reached the last bus.
  size_t CallsOnLastBus = 0;
  for (const auto &Call : Recorder.Calls()) {
    CallsOnLastBus += Call.Bus() == kDeepestChain ? 1 : 0;
  }
  EXPECT_EQ(CallsOnLastBus, 2U);
  EXPECT_EQ(MaxPayloadAt({0, 1, 0}), 1);
  EXPECT_EQ(MaxPayloadAt({kDeepestChain, 0, 0}), 1);
  EXPECT_EQ(Machine->Pci().Find({kDeepestChain - 1, 0, 0})->RetrainPolls().size(), 1U);

  const size_t PerLevel = (Deepest - Half) / (kDeepestChain - kHalfChain);
  std::printf("host stack: %zu bytes for %u bridge levels, %zu bytes per level\n", Deepest, kDeepestChain, PerLevel);
  RecordProperty("stack_bytes", static_cast<int>(Deepest));
  RecordProperty("stack_bytes_per_level", static_cast<int>(PerLevel));
#ifndef PCIPLAT_STACK_INSTRUMENTED
  EXPECT_EQ(PerLevel, 0U);
  EXPECT_LE(Deepest, kHostStackBudgetBytes);
#endif
}

} // namespace
