// Configuration access helpers and the scan order, against the model's
// configuration spaces and access log.
#include "support/DriverFixture.h"

#include "pci/HierarchyWalk.h"
#include "sim/BoardBuilder.h"

#include <array>
#include <cstring>
#include <tuple>
#include <vector>

namespace {

using sim::AccessKind;

class ConfigAccessTest : public DriverFixture {
protected:
  EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *Io() { return Machine->RootBridgeIo(); }

  size_t ReadsOfRegister(sim::Bdf Where, UINT16 Register) const {
    size_t Count = 0;
    for (const auto &Entry : Machine->Log().All()) {
      Count += Entry.Kind == AccessKind::ConfigRead && Entry.Bus() == Where.Bus && Entry.Device() == Where.Device &&
                       Entry.Function() == Where.Function && Entry.Register() == Register
                   ? 1
                   : 0;
    }
    return Count;
  }
};

TEST_F(ConfigAccessTest, ReadPciHeaderCopiesAPresentHeaderInTwoReads) {
  auto &Function = sim::AddConventionalFunction(Machine->Pci(), {3, 4, 5}, 0x1234, 0x5678);
  Function.Poke32(0x3C, 0xA1B2C3D4);
  std::array<UINT8, 64> Header{};
  ASSERT_TRUE(ReadPciHeader(Io(), Header.data(), 3, 4, 5));
  EXPECT_EQ(std::memcmp(Header.data(), Function.Bytes().data(), 64), 0);
  const auto &Log = Machine->Log().All();
  ASSERT_EQ(Log.size(), 2U);
  EXPECT_EQ(Log[0].Count, 1U);
  EXPECT_EQ(Log[1].Count, 16U);
  EXPECT_EQ(Log[1].Address, PciFunctionAddress(3, 4, 5));
}

// The first dword reads, the whole header does not: all ones, as every failed
// read reads, never the bytes of the function read before; the function then
// counts as absent.
TEST_F(ConfigAccessTest, AFailedSecondHeaderReadLeavesAllOnesAndTheFunctionAbsent) {
  sim::AddConventionalFunction(Machine->Pci(), {0, 1, 0}, 0x8086, 0x1111).Bridge(0, 1, 1);
  sim::AddConventionalFunction(Machine->Pci(), {0, 2, 0}, 0x8086, 0x2222);
  Machine->Pci().FailReads({0, 2, 0}, 0x08);
  std::array<UINT8, 64> Header{};
  ASSERT_TRUE(ReadPciHeader(Io(), Header.data(), 0, 1, 0));
  EXPECT_FALSE(ReadPciHeader(Io(), Header.data(), 0, 2, 0));
  for (size_t Index = 0; Index < Header.size(); ++Index) {
    ASSERT_EQ(Header[Index], 0xFF) << "byte " << Index;
  }
}

TEST_F(ConfigAccessTest, AbsenceIsDecidedByTheVendorIdAloneAndChangesOnlyFourBytes) {
  // A vendor ID of all ones means absent whatever the device ID reads.
  Machine->Pci().Add({0, 1, 0}).Ids(0xFFFF, 0x1234);
  Machine->Pci().Add({0, 2, 0}).Ids(0x8086, 0x1234);
  Machine->Pci().FailReads({0, 2, 0});
  for (UINT8 Device : {1, 2, 3}) {
    std::array<UINT8, 64> Header;
    Header.fill(0xCC);
    EXPECT_FALSE(ReadPciHeader(Io(), Header.data(), 0, Device, 0)) << "device " << int(Device);
    for (size_t Index = 4; Index < Header.size(); ++Index) {
      ASSERT_EQ(Header[Index], 0xCC) << "device " << int(Device) << " byte " << Index;
    }
  }
  EXPECT_EQ(Machine->Log().Count(AccessKind::ConfigRead), 3U);
}

// A function with capabilities at the given offsets, holding the given IDs.
sim::PciFunction &WithCapabilities(sim::PciBus &Bus, sim::Bdf Where, const std::vector<std::pair<UINT8, UINT8>> &Caps) {
  auto &Function = sim::AddConventionalFunction(Bus, Where, 0x8086, 0x1111);
  for (const auto &[Offset, Id] : Caps) {
    Function.NextCapabilityAt(Offset).AddCapability(Id, 8);
  }
  return Function;
}

TEST_F(ConfigAccessTest, FindsThePcieCapabilityAnywhereInTheList) {
  struct Case {
    const char *Name;
    std::vector<std::pair<UINT8, UINT8>> Caps;
    EFI_STATUS Expected;
    UINT8 ExpectedOffset;
    size_t IdReads;
  };
  const std::vector<Case> Cases = {
      {"head", {{0x40, 0x10}, {0x80, 0x05}}, EFI_SUCCESS, 0x40, 1},
      {"end", {{0x40, 0x01}, {0x50, 0x05}, {0xA0, 0x10}}, EFI_SUCCESS, 0xA0, 3},
      {"absent", {{0x40, 0x01}, {0x50, 0x05}}, EFI_UNSUPPORTED, 0, 2},
      {"unaligned pointers used as read", {{0x41, 0x01}, {0x63, 0x10}}, EFI_SUCCESS, 0x63, 2},
      // A pointer into the header ends the list: header bytes taken for a
      // capability would put link control on a BAR.
      {"pointer into the header", {{0x40, 0x01}, {0x1C, 0x10}}, EFI_UNSUPPORTED, 0, 1},
      // Link status must end inside the 256 bytes, or offset + register
      // carries into the function number of the address.
      {"registers past the end of the space", {{0xF0, 0x10}}, EFI_UNSUPPORTED, 0, 1},
      {"registers end at the end of the space", {{0xEC, 0x10}}, EFI_SUCCESS, 0xEC, 1},
  };
  UINT8 Device = 0;
  for (const auto &Test : Cases) {
    ++Device;
    WithCapabilities(Machine->Pci(), {1, Device, 0}, Test.Caps);
    Machine->Log().Clear();
    UINT8 Offset = 0;
    // The register byte of the address is ignored.
    EXPECT_EQ(FindPcieCapability(Io(), PciFunctionAddress(1, Device, 0) + 0x3C, &Offset), Test.Expected) << Test.Name;
    if (Test.Expected == EFI_SUCCESS) {
      EXPECT_EQ(Offset, Test.ExpectedOffset) << Test.Name;
    }
    size_t IdReads = 0;
    for (const auto &[CapOffset, Id] : Test.Caps) {
      (void)Id;
      IdReads += ReadsOfRegister({1, Device, 0}, CapOffset);
    }
    EXPECT_EQ(IdReads, Test.IdReads) << Test.Name;
  }
}

TEST_F(ConfigAccessTest, NoCapabilityListMeansUnsupportedWithoutReadingThePointer) {
  auto &Function = sim::AddConventionalFunction(Machine->Pci(), {0, 5, 0}, 0x8086, 0x1111);
  Function.Poke8(0x34, 0x40);
  Function.Poke8(0x40, 0x10);
  UINT8 Offset = 0;
  EXPECT_EQ(FindPcieCapability(Io(), PciFunctionAddress(0, 5, 0), &Offset), EFI_UNSUPPORTED);
  EXPECT_EQ(ReadsOfRegister({0, 5, 0}, 0x34), 0U);
}

TEST_F(ConfigAccessTest, ACapabilityCycleEndsAfterTheMostEntriesASpaceHolds) {
  auto &Function = WithCapabilities(Machine->Pci(), {0, 6, 0}, {{0x40, 0x01}, {0x48, 0x05}});
  Function.Poke8(0x49, 0x40); // the second entry points back at the first
  UINT8 Offset = 0;
  EXPECT_EQ(FindPcieCapability(Io(), PciFunctionAddress(0, 6, 0), &Offset), EFI_UNSUPPORTED);
  EXPECT_EQ(ReadsOfRegister({0, 6, 0}, 0x40) + ReadsOfRegister({0, 6, 0}, 0x48), PCI_CAPABILITY_LIST_MAX_ENTRIES);
}

TEST_F(ConfigAccessTest, ReadErrorsCountAsAllOnes) {
  // A failing pointer read ends the search; a failing ID read does not match;
  // a failing status read reads as a capability list being present.
  WithCapabilities(Machine->Pci(), {0, 7, 0}, {{0x40, 0x10}});
  Machine->Pci().FailReads({0, 7, 0}, 0x34);
  WithCapabilities(Machine->Pci(), {0, 8, 0}, {{0x40, 0x10}});
  Machine->Pci().FailReads({0, 8, 0}, 0x40);
  WithCapabilities(Machine->Pci(), {0, 9, 0}, {{0x40, 0x10}});
  Machine->Pci().FailReads({0, 9, 0}, 0x06);
  const std::pair<UINT8, EFI_STATUS> Cases[] = {{7, EFI_UNSUPPORTED}, {8, EFI_UNSUPPORTED}, {9, EFI_SUCCESS}};
  for (const auto &[Device, Expected] : Cases) {
    UINT8 Offset = 0;
    EXPECT_EQ(FindPcieCapability(Io(), PciFunctionAddress(0, Device, 0), &Offset), Expected)
        << "device " << int(Device);
  }
}

TEST_F(ConfigAccessTest, AFailedReadReadsAllOnesAtEveryWidth) {
  sim::AddConventionalFunction(Machine->Pci(), {0, 3, 0}, 0x8086, 0x1234);
  Machine->Pci().FailReads({0, 3, 0});
  const UINT64 Address = PciFunctionAddress(0, 3, 0);
  EXPECT_EQ(PciConfigReadOrOnes<UINT8>(Io(), Address), 0xFF);
  EXPECT_EQ(PciConfigReadOrOnes<UINT16>(Io(), Address), 0xFFFF);
  EXPECT_EQ(PciConfigReadOrOnes<UINT32>(Io(), Address), 0xFFFFFFFFU);
}

TEST_F(ConfigAccessTest, ModifyOrsValueIntoTheBitsOutsideTheMask) {
  struct Case {
    EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_WIDTH Width;
    UINT16 Before;
    UINT32 Value;
    UINT32 Mask;
    UINT16 After;
  };
  const Case Cases[] = {
      {EfiPciWidthUint8, 0x01, 0x42, 0x00, 0x43},     {EfiPciWidthUint16, 0x1FF, 0x20, 0xE0, 0x13F},
      {EfiPciWidthUint8, 0x0F, 0x81, 0x01, 0x8F},     // Value is not masked
      {EfiPciWidthUint8, 0x1FF, 0x00, 0xFF, 0x100},   // only the low byte is written
      {EfiPciWidthUint16, 0xFFFF, 0x0000, 0xFFFF, 0}, // full clear
  };
  auto &Function = sim::AddConventionalFunction(Machine->Pci(), {2, 0, 0}, 0x8086, 0x2222);
  for (const auto &Test : Cases) {
    Function.Poke16(0x60, Test.Before);
    PciConfigModify(Io(), Test.Width, PciFunctionAddress(2, 0, 0) + 0x60, Test.Value, Test.Mask);
    EXPECT_EQ(Function.Peek16(0x60), Test.After) << std::hex << Test.Before << " " << Test.Value << " " << Test.Mask;
  }
}

TEST_F(ConfigAccessTest, ModifyWritesNothingWhenTheReadFails) {
  auto &Function = sim::AddConventionalFunction(Machine->Pci(), {2, 1, 0}, 0x8086, 0x2222);
  Machine->Pci().FailReads({2, 1, 0}, 0x60);
  PciConfigModify(Io(), EfiPciWidthUint16, PciFunctionAddress(2, 1, 0) + 0x60, 0xFFFF, 0);
  EXPECT_EQ(Function.Peek16(0x60), 0);
  EXPECT_EQ(Machine->Log().Count(AccessKind::ConfigWrite), 0U);
}

// Probes the model's bus 0 the way a walk does and returns every (device,
// function) probed and every one visited.
struct ScanTrace {
  std::vector<std::pair<int, int>> Probed;
  std::vector<std::pair<int, int>> Visited;
};

// A walk that never descends.
struct ScanRecorder {
  struct LEVEL_STATE {};
  static constexpr PCI_BUS_SCAN BELOW_FIRST = PCI_BUS_SCAN::ScanOrder;
  EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *Io;
  ScanTrace Trace;
  std::array<UINT8, 64> Header{};

  PCI_FUNCTION_PROBE Probe(UINT8 Bus, UINT8 Device, UINT8 Function) {
    Trace.Probed.emplace_back(Device, Function);
    const bool Present = ReadPciHeader(Io, Header.data(), Bus, Device, Function);
    return PCI_FUNCTION_PROBE{Present, HeaderType(Header.data())};
  }
  UINT8 Visit(LEVEL_STATE &, const PCI_WALK_POSITION &At, const PCI_BUS_SET &, LEVEL_STATE *) {
    Trace.Visited.emplace_back(At.Device, At.Function);
    return 0;
  }
  void Leave(const LEVEL_STATE &) {}
};

ScanTrace ScanBus0(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *Io) {
  ScanRecorder Recorder{Io, {}};
  WalkPciHierarchy(Recorder, 0, {});
  return Recorder.Trace;
}

TEST_F(ConfigAccessTest, ScanOrderFollowsTheMultiFunctionBitOfFunctionZero) {
  sim::AddConventionalFunction(Machine->Pci(), {0, 1, 0}, 0x8086, 1);                 // single-function
  sim::AddConventionalFunction(Machine->Pci(), {0, 1, 3}, 0x8086, 1);                 // never probed
  sim::AddConventionalFunction(Machine->Pci(), {0, 2, 0}, 0x8086, 2).MultiFunction(); // multi-function
  sim::AddConventionalFunction(Machine->Pci(), {0, 2, 7}, 0x8086, 2);
  sim::AddConventionalFunction(Machine->Pci(), {0, 3, 4}, 0x8086, 3); // function 0 absent
  const ScanTrace Trace = ScanBus0(Io());

  auto ProbedOf = [&](int Device) {
    std::vector<int> Functions;
    for (const auto &[D, F] : Trace.Probed) {
      if (D == Device) {
        Functions.push_back(F);
      }
    }
    return Functions;
  };
  EXPECT_EQ(ProbedOf(1), (std::vector<int>{0}));
  EXPECT_EQ(ProbedOf(2), (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(ProbedOf(3), (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(ProbedOf(31), (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(Trace.Visited, (std::vector<std::pair<int, int>>{{1, 0}, {2, 0}, {2, 7}, {3, 4}}));
}

TEST_F(ConfigAccessTest, ScanOrderDecidesOnFunctionZeroBeforeItsVisit) {
  // Function 0 reads single-function when probed; its visit makes the header
  // say multi-function. Functions 1-7 must still be skipped.
  EXPECT_EQ(NextScanSlot(0, {true, 0x01}, PCI_BUS_SCAN::ScanOrder), 8);
  EXPECT_EQ(NextScanSlot(0, {true, 0x81}, PCI_BUS_SCAN::ScanOrder), 1);
  EXPECT_EQ(NextScanSlot(0, {false, 0x00}, PCI_BUS_SCAN::ScanOrder), 1);
  EXPECT_EQ(NextScanSlot(3, {true, 0x00}, PCI_BUS_SCAN::ScanOrder), 4);
  EXPECT_EQ(NextScanSlot(0, {true, 0x81}, PCI_BUS_SCAN::FunctionZero), 8);
}

} // namespace
