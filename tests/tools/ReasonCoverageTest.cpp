// Every reason the driver can record is produced by something a reader can
// run: a board under boards/ (each bus-driver sequence, with and without
// "DisableASPM"), or, where only a misbehaving caller or firmware service can
// cause it, a scenario below. A reason nothing produces fails, and every
// record produced reads back from its line.
#include "MachineBuilder.h"
#include "Run.h"
#include "sim/PciIoDevice.h"
#include "sim/Sequencer.h"
#include "support/DecisionLineParser.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>

namespace {

using Key = std::pair<DECISION_KIND, DECISION_REASON>;
using Producers = std::map<Key, std::string>; // the first producer of each reason

std::string Line(const DECISION &Record) {
  char Text[DECISION_LINE_CAPACITY];
  FormatDecisionLine(Record, Text, sizeof(Text));
  return Text;
}

void Collect(const std::vector<DECISION> &Records, const std::string &Producer, Producers &Out) {
  for (const DECISION &Record : Records) {
    const std::string Text = Line(Record);
    const auto Read = pciplat_test::ParseDecisionLine(Text);
    EXPECT_TRUE(Read && Read->Kind == Record.Kind && Read->Reason == Record.Reason && Read->Where == Record.Where)
        << Producer << ": '" << Text << "' does not read back as its record";
    Out.emplace(Key{Record.Kind, Record.Reason}, Producer);
  }
}

std::optional<pciplat::Board> LoadBoard(const std::filesystem::path &File) {
  std::ifstream Stream(File);
  std::ostringstream Text;
  Text << Stream.rdbuf();
  std::string Error;
  auto Board = pciplat::ParseBoardJson(Text.str(), File.filename().string(), &Error);
  EXPECT_TRUE(Board) << Error;
  return Board;
}

void FromBoards(Producers &Out) {
  for (const auto &Entry : std::filesystem::directory_iterator(PCIPLAT_BOARDS_DIR)) {
    if (Entry.path().extension() != ".json") {
      continue;
    }
    const auto Board = LoadBoard(Entry.path());
    if (!Board) {
      continue;
    }
    for (const auto Sequence : {sim::BusDriverSequence::OnePass, sim::BusDriverSequence::Ovmf}) {
      for (const bool DisableAspm : {false, true}) {
        const auto Result = pciplat::RunBoard(*Board, {DisableAspm, false, Sequence});
        Collect(Result.Record.Decisions, "boards/" + Entry.path().filename().string(), Out);
      }
    }
  }
}

// The default board laid out in a model with the driver loaded, for callers
// that do what no PCI bus driver does.
struct LoadedDefaultBoard {
  sim::Machine Machine;
  sim::ConfigBlockProvider Provider;
  EFI_PCI_PLATFORM_PROTOCOL *Platform = nullptr;

  LoadedDefaultBoard() {
    const pciplat::Board Board = pciplat::DefaultBoard();
    pciplat::BuildMachine(Board, Machine);
    pciplat::BuildFirmwareVolumes(Board, Machine);
    pciplat::BuildConfigBlocks(Board, Machine, Provider);
    EXPECT_EQ(Machine.LoadDriver(), EFI_SUCCESS);
    Platform = Machine.PciPlatform();
  }
  EFI_STATUS GetPciRom(EFI_HANDLE Handle, VOID **Image, UINTN *Size) {
    return Platform->GetPciRom(Platform, Handle, Image, Size);
  }
};

// 00:1f.2 (8086:2682) matches two table rows: a set is attached on the first
// request.
constexpr sim::Bdf kTwoImageDevice = {0x00, 0x1F, 0x2};

void FromMisbehavingCallers(Producers &Out) {
  LoadedDefaultBoard Board;
  VOID *Image = nullptr;
  UINTN Size = 0;
  sim::PciIoDevice &Device = Board.Machine.AddPciIoDevice(kTwoImageDevice);
  (void)Board.GetPciRom(Device.Handle(), nullptr, &Size);
  (void)Board.GetPciRom(Board.Machine.DriverImageHandle(), &Image, &Size); // a handle without PCI I/O
  (void)Board.GetPciRom(Device.Handle(), &Image, &Size);
  (void)Board.GetPciRom(Device.Handle(), &Image, &Size); // the same device again: its set is already there
  sim::PciIoDevice &Unlocated = Board.Machine.AddPciIoDevice(kTwoImageDevice);
  Unlocated.FailGetLocation(EFI_DEVICE_ERROR);
  (void)Board.GetPciRom(Unlocated.Handle(), &Image, &Size);
  Collect(Board.Machine.Decisions(), "a caller or PCI I/O instance no bus driver makes", Out);
}

// A retrain whose link status stops answering: the root bridge goes silent
// right after the default board's first retrain request.
void FromLinkStatusLostInRetrain(Producers &Out) {
  const auto Full = pciplat::RunBoard(pciplat::DefaultBoard(), {false, false});
  size_t Counted = 0;
  std::optional<size_t> RetrainAt;
  for (const sim::Access &Access : Full.Record.Accesses) {
    if (Access.Kind != sim::AccessKind::ConfigRead && Access.Kind != sim::AccessKind::ConfigWrite &&
        Access.Kind != sim::AccessKind::WindowRead && Access.Kind != sim::AccessKind::WindowWrite) {
      continue;
    }
    ++Counted;
    // Link Control's Retrain Link bit (bit 5), written by the link pass.
    if (Access.Kind == sim::AccessKind::ConfigWrite && (Access.Value & 0x20) != 0 && Access.Width == 1) {
      RetrainAt = Counted;
      break;
    }
  }
  ASSERT_TRUE(RetrainAt.has_value()) << "the default board retrains no link";
  LoadedDefaultBoard Board;
  Board.Machine.LimitAccesses(*RetrainAt);
  sim::PciBusDriverSequencer(Board.Machine, *Board.Platform).Enumerate();
  Collect(Board.Machine.Decisions(), "a root bridge that goes silent during a retrain", Out);
}

// A callback that calls back into the platform protocol while it is called.
EFI_PCI_PLATFORM_PROTOCOL *gCalledBack = nullptr;

EFI_STATUS EFIAPI CallBackIntoThePlatform(EFI_HANDLE, UINT64, UINT32, PCI_DEVICE_RECORD *) {
  return gCalledBack->PlatformNotify(gCalledBack, nullptr, EfiPciHostBridgeBeginResourceAllocation, ChipsetExit);
}

void FromACallbackThatCallsBack(Producers &Out) {
  LoadedDefaultBoard Board;
  gCalledBack = Board.Platform;
  PCI_CALLBACK_PROTOCOL *Callbacks = Board.Machine.PciCallback();
  ASSERT_EQ(Callbacks->RegisterCallback(Callbacks, CallBackIntoThePlatform, PCI_CALLBACK_BEGIN_ALLOCATION),
            EFI_SUCCESS);
  sim::PciBusDriverSequencer(Board.Machine, *Board.Platform).Enumerate();
  Collect(Board.Machine.Decisions(), "a callback that calls back into the platform protocol", Out);
}

// A child whose Link and Device Capabilities cannot be read: the default
// board's first root port's endpoint, 01:00.0.
void FromAnUnreadableLinkRegister(Producers &Out) {
  LoadedDefaultBoard Board;
  const sim::Bdf Child = {0x01, 0x00, 0x0};
  const auto Capability = Board.Machine.Pci().Find(Child)->PcieCapabilityOffset();
  ASSERT_TRUE(Capability.has_value());
  Board.Machine.Pci().FailReadsAt(Child, static_cast<UINT16>(*Capability + 0x0C)); // LnkCap
  Board.Machine.Pci().FailReadsAt(Child, static_cast<UINT16>(*Capability + 0x04)); // DevCap
  sim::PciBusDriverSequencer(Board.Machine, *Board.Platform).Enumerate();
  Collect(Board.Machine.Decisions(), "PCI Express registers that cannot be read", Out);
}

TEST(ReasonCoverageTest, EveryReasonHasABoardOrAScenarioThatProducesIt) {
  Producers Produced;
  FromBoards(Produced);
  FromMisbehavingCallers(Produced);
  FromLinkStatusLostInRetrain(Produced);
  FromACallbackThatCallsBack(Produced);
  FromAnUnreadableLinkRegister(Produced);
  for (const DECISION_ROW &Row : DECISION_ROWS) {
    EXPECT_TRUE(Produced.contains({Row.Kind, Row.Reason}))
        << DecisionKindName(Row.Kind) << " " << Row.Name
        << ": no board under boards/ and no scenario here produces this reason";
  }
}

} // namespace
