// Shared by the link-tuning tests: a driver that has located its services, a
// clean access log, and short descriptions of the writes it made.
#pragma once

#include "published/PciLayout.h"
#include "support/DriverFixture.h"

#include "pci/PciRegisters.h"
#include "pci/PcieCapability.h"
#include "sim/BoardBuilder.h"

#include <cstdio>
#include <string>
#include <vector>

class PcieFixture : public DriverFixture {
protected:
  // Loads the driver and runs begin-enumeration, which locates the root bridge;
  // the access log then starts empty.
  void StartDriver() {
    LoadDriver();
    RunPhase(EfiPciHostBridgeBeginEnumeration);
    Machine->Log().Clear();
  }

  // Checks the current machine for faults and replaces it, for table-driven
  // tests that need a fresh board per case.
  void FreshMachine() {
    EXPECT_TRUE(Machine->Faults().empty()) << "first fault: " << Machine->Faults().front();
    Machine = nullptr;
    Machine = std::make_unique<sim::Machine>();
  }

  sim::PciBus &Pci() { return Machine->Pci(); }

  // "bb:dd.f+reg=value" for every configuration write (or window write, with a
  // "win " prefix), in order.
  std::vector<std::string> ConfigWrites() const { return Describe(sim::AccessKind::ConfigWrite, ""); }
  std::vector<std::string> WindowWrites() const { return Describe(sim::AccessKind::WindowWrite, "win "); }

  static std::string At(sim::Bdf Where, UINT32 Register, UINT64 Value) {
    char Text[48];
    std::snprintf(Text, sizeof(Text), "%s+%#x=%#llx", sim::FormatBdf(Where).c_str(), Register,
                  static_cast<unsigned long long>(Value));
    return Text;
  }
  // Link control and device control of a function built with a PCI Express
  // capability, as register offsets.
  static UINT32 LinkControlOf(const sim::PciFunction &Function) {
    return *Function.PcieCapabilityOffset() + published::layout::PCIE_LINK_CONTROL_OFFSET;
  }
  static UINT32 DeviceControlOf(const sim::PciFunction &Function) {
    return *Function.PcieCapabilityOffset() + published::layout::PCIE_DEVICE_CONTROL_OFFSET;
  }

private:
  std::vector<std::string> Describe(sim::AccessKind Kind, const std::string &Prefix) const {
    std::vector<std::string> Result;
    for (const auto &Entry : Machine->Log().All()) {
      if (Entry.Kind == Kind) {
        Result.push_back(Prefix + At({Entry.Bus(), Entry.Device(), Entry.Function()}, Entry.Register(), Entry.Value));
      }
    }
    return Result;
  }
};
