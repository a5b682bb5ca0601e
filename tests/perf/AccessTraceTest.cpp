// The exact order of every access the driver makes, pinned as a digest per
// board: the default board, generated hierarchies of every size, bridge chains,
// and hostile boards decoded from the fuzz corpus and from pseudo-random bytes.
// A refactor that keeps behaviour keeps every digest. A change to the access
// order on purpose rewrites the table: run with PCIPLAT_WRITE_ACCESS_TRACES set
// to the table's path and say why in the commit.
#include "MachineBuilder.h"
#include "checks/GeneratedHierarchy.h"
#include "fuzz/Scenarios.h"
#include "sim/WholeEnumeration.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct TraceDigest {
  uint64_t Hash;
  size_t Accesses;
};

// FNV-1a over the formatted log: stable across compilers and runs.
TraceDigest DigestOf(const sim::AccessLog &Log) {
  uint64_t Hash = 0xcbf29ce484222325ULL;
  for (const sim::Access &Entry : Log.All()) {
    for (const char Byte : sim::FormatAccess(Entry) + "\n") {
      Hash = (Hash ^ static_cast<unsigned char>(Byte)) * 0x100000001b3ULL;
    }
  }
  return {Hash, Log.All().size()};
}

TraceDigest TraceOfDefaultBoard(bool DisableAspm, unsigned GeneratedBuses, unsigned ChainLevels) {
  sim::Machine Machine;
  pciplat::Board Layout = pciplat::DefaultBoard();
  if (GeneratedBuses != 0 || ChainLevels != 0) {
    Layout.Functions.clear();
  }
  pciplat::BuildMachine(Layout, Machine);
  (void)pciplat::BuildFirmwareVolumes(Layout, Machine);
  sim::ConfigBlockProvider Blocks;
  pciplat::BuildConfigBlocks(Layout, Machine, Blocks);
  if (GeneratedBuses != 0) {
    (void)sim::AddSwitchedHierarchy(Machine.Pci(), GeneratedBuses);
  }
  if (ChainLevels != 0) {
    (void)sim::AddBridgeChain(Machine.Pci(), ChainLevels);
  }
  if (DisableAspm) {
    const EFI_GUID DisableAspmVendor = {0x7C436110, 0xAB2A, 0x4BBB, {0xA8, 0x80, 0xFE, 0x41, 0x99, 0x5C, 0x9F, 0x82}};
    Machine.Variables().Set(u"DisableASPM", DisableAspmVendor, {1});
  }
  (void)sim::RunWholeEnumeration(Machine);
  return DigestOf(Machine.Log());
}

TraceDigest TraceOfHostileBoard(const std::vector<uint8_t> &Input) {
  const fuzz::HostileBoard Description = fuzz::DecodeHostileBoard(Input.data(), Input.size());
  sim::Machine Machine;
  fuzz::BuildHostileBoard(Description, Machine);
  fuzz::EnumerationOptions Options;
  Options.AspmSwitchedOff = Description.AspmSwitchedOff();
  Options.FailingAllocation = Description.FailingAllocation;
  Options.Callbacks = Description.Callbacks;
  Options.RequestOptionRoms = true;
  (void)fuzz::EnumerateAndCheck(Machine, Options);
  return DigestOf(Machine.Log());
}

// Inputs that decode to hierarchies: 10-byte function records after a short
// preamble, with bus and secondary bus numbers kept small so that the
// functions connect.
std::vector<uint8_t> PseudoRandomBoard(uint32_t Seed) {
  uint32_t State = Seed * 2654435761U + 1;
  const auto Next = [&State] {
    State = State * 1664525U + 1013904223U;
    return static_cast<uint8_t>(State >> 24);
  };
  std::vector<uint8_t> Input = {static_cast<uint8_t>(Next() & 0x0F), 0, 0};
  const unsigned Functions = 4 + Next() % 24;
  constexpr uint8_t kPortTypes[] = {0, 1, 4, 5, 6};
  for (unsigned Index = 0; Index < Functions; ++Index) {
    Input.push_back(Index < 3 ? 0 : Next() % 6);                            // bus
    Input.push_back(Next() % 4 | (Next() % 3) << 5);                        // device, function
    Input.push_back(Next() % 3 == 0 ? Next() & 0x81 : 0x01);                // header type
    Input.push_back(1 + Next() % 6);                                        // secondary bus
    Input.push_back((Next() & 0x6C) | (Next() % 8 == 0 ? 0x10 : 0) | 0x03); // flags
    Input.push_back(Next() % 4 == 0 ? Next() : 0);                          // capability offset
    Input.push_back(kPortTypes[Next() % 5] | (Next() % 6) << 4);            // port type, payload
    Input.push_back((1 + Next() % 3) | (Next() % 5) << 4);                  // speed, training reads
    Input.push_back(Next());                                                // failing register
    Input.push_back(0);                                                     // no pokes
  }
  return Input;
}

std::map<std::string, TraceDigest> AllTraces() {
  std::map<std::string, TraceDigest> Traces;
  Traces["default"] = TraceOfDefaultBoard(false, 0, 0);
  Traces["default-aspm-disabled"] = TraceOfDefaultBoard(true, 0, 0);
  for (const unsigned Buses : {1U, 2U, 3U, 5U, 8U, 13U, 16U, 32U, 64U, 100U, 255U, 256U}) {
    Traces["switched-" + std::to_string(Buses)] = TraceOfDefaultBoard(false, Buses, 0);
  }
  for (const unsigned Levels : {1U, 2U, 3U, 7U, 64U, 255U}) {
    Traces["chain-" + std::to_string(Levels)] = TraceOfDefaultBoard(false, 0, Levels);
  }
  const std::filesystem::path Corpus = std::filesystem::path(PCIPLAT_FUZZ_DIR) / "corpus" / "enumeration";
  for (const auto &Entry : std::filesystem::directory_iterator(Corpus)) {
    // The named seeds only: a campaign's minimised inputs (named by their hash)
    // come and go.
    const std::string Name = Entry.path().filename().string();
    if (Name.size() == 40 && Name.find_first_not_of("0123456789abcdef") == std::string::npos) {
      continue;
    }
    std::ifstream File(Entry.path(), std::ios::binary);
    const std::vector<uint8_t> Input{std::istreambuf_iterator<char>(File), std::istreambuf_iterator<char>()};
    Traces["corpus-" + Entry.path().filename().string()] = TraceOfHostileBoard(Input);
  }
  for (uint32_t Seed = 0; Seed < 120; ++Seed) {
    Traces["random-" + std::to_string(Seed)] = TraceOfHostileBoard(PseudoRandomBoard(Seed));
  }
  return Traces;
}

std::string Format(const std::map<std::string, TraceDigest> &Traces) {
  std::ostringstream Out;
  for (const auto &[Name, Digest] : Traces) {
    char Hex[17];
    std::snprintf(Hex, sizeof(Hex), "%016llx", static_cast<unsigned long long>(Digest.Hash));
    Out << Name << ' ' << Hex << ' ' << Digest.Accesses << '\n';
  }
  return Out.str();
}

TEST(AccessTraceTest, EveryBoardKeepsItsExactAccessOrder) {
  const std::string Actual = Format(AllTraces());
  if (const char *Output = std::getenv("PCIPLAT_WRITE_ACCESS_TRACES")) {
    std::ofstream(Output) << Actual;
    GTEST_SKIP() << "wrote " << Output;
  }
  std::ifstream File(PCIPLAT_ACCESS_TRACES);
  const std::string Expected{std::istreambuf_iterator<char>(File), std::istreambuf_iterator<char>()};
  ASSERT_FALSE(Expected.empty()) << "no table at " << PCIPLAT_ACCESS_TRACES;
  std::istringstream ExpectedLines(Expected);
  std::istringstream ActualLines(Actual);
  std::string Want;
  std::string Got;
  size_t Lines = 0;
  while (std::getline(ExpectedLines, Want)) {
    std::getline(ActualLines, Got);
    EXPECT_EQ(Got, Want);
    ++Lines;
  }
  EXPECT_FALSE(std::getline(ActualLines, Got)) << "boards beyond the table's " << Lines << ", first: " << Got;
}

} // namespace
