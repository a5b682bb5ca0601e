// The stack figure the image budget is checked against: frames from the
// stack-usage files, edges from the disassembly, recursion counted per level.
#include "StackDepth.h"

#include <gtest/gtest.h>

namespace {

constexpr uint64_t kBase = 0x140000000;
constexpr uint32_t kReturnAddress = 8;

TEST(StackDepthAnalysisTest, ReadsTheFilesItIsGiven) {
  std::map<std::string, uint32_t> Frames;
  std::string Error;
  ASSERT_TRUE(stack::ParseStackUsage("/src/a.cpp:3:?Walk@@YAXE@Z\t72\tstatic\n"
                                     "/src/b.cpp:9:?Walk@@YAXE@Z\t88\tstatic\n"
                                     "/src/b.cpp:12:memset\t0\tstatic\n",
                                     &Frames, &Error));
  EXPECT_EQ(Frames.at("?Walk@@YAXE@Z"), 88U) << "a function compiled twice keeps its larger frame";
  EXPECT_EQ(Frames.at("memset"), 0U);
  EXPECT_FALSE(stack::ParseStackUsage("/src/c.cpp:1:?Grow@@YAXXZ\t16\tdynamic,bounded\n", &Frames, &Error));
  EXPECT_NE(Error.find("?Grow@@YAXXZ"), std::string::npos);

  const auto Symbols =
      stack::ParseMapSymbols(" 0001:00000000       ?Entry@@YA_KPEAX@Z 0000000140001000     DriverEntry.cpp.obj\n"
                             " 0003:00000000       ?mState@@3PEAXEA   0000000140004000     Globals.cpp.obj\n",
                             kBase);
  ASSERT_EQ(Symbols.size(), 2U);
  EXPECT_EQ(Symbols[0].Rva, 0x1000U);
  EXPECT_EQ(Symbols[0].Name, "?Entry@@YA_KPEAX@Z");

  const auto Branches = stack::ParseBranches("140001004:     \tcallq\t0x140001020 <.text+0x20>\n"
                                             "140001009:     \tcallq\t*328(%rax)\n"
                                             "14000100f:     \tjne\t0x140001040 <.text+0x40>\n",
                                             kBase);
  ASSERT_EQ(Branches.size(), 2U) << "calls through pointers leave the image";
  EXPECT_TRUE(Branches[0].IsCall);
  EXPECT_EQ(Branches[0].To, 0x20U + 0x1000U);
  EXPECT_FALSE(Branches[1].IsCall);
}

// Entry (40) calls Helper (24) and Walk (72); Walk calls itself and Leaf
// (100); Helper tail-jumps to Leaf; Entry loops within itself. Ping and Pong
// (16 each) call each other.
class StackDepthGraphTest : public ::testing::Test {
protected:
  std::vector<stack::Symbol> Symbols{{0x1000, "?Entry@@A"}, {0x1100, "?Helper@@A"}, {0x1200, "?Walk@@A"},
                                     {0x1300, "?Leaf@@A"},  {0x1400, "?Ping@@A"},   {0x1500, "?Pong@@A"}};
  std::map<std::string, uint32_t> Frames{{"?Entry@@A", 40}, {"?Helper@@A", 24}, {"?Walk@@A", 72},
                                         {"?Leaf@@A", 100}, {"?Ping@@A", 16},   {"?Pong@@A", 16}};
  std::vector<stack::Branch> Branches{{0x1010, 0x1100, true}, {0x1020, 0x1200, true}, {0x1030, 0x1008, false},
                                      {0x1210, 0x1200, true}, {0x1220, 0x1300, true}, {0x1110, 0x1300, false},
                                      {0x1410, 0x1500, true}, {0x1510, 0x1400, true}};
};

TEST_F(StackDepthGraphTest, CountsEveryRecursiveCycleOncePerLevelOnTheDeepestPath) {
  const auto Result = stack::Analyze(Symbols, Frames, Branches, 0x1000, 0x2000, 256);
  EXPECT_TRUE(Result.Unknown.empty());
  const uint64_t Walk = 72 + kReturnAddress;
  EXPECT_EQ(Result.Deepest, (40 + kReturnAddress) + 256 * Walk + (100 + kReturnAddress));
  ASSERT_EQ(Result.Path.size(), 3U);
  EXPECT_EQ(Result.Path[0].Name, "Entry");
  EXPECT_EQ(Result.Path[1].Name, "Walk");
  EXPECT_EQ(Result.Path[1].Times, 256U);
  EXPECT_EQ(Result.Path[2].Name, "Leaf");
  ASSERT_EQ(Result.Recursions.size(), 2U);
  for (const auto &Cycle : Result.Recursions) {
    EXPECT_EQ(Cycle.BytesPerLevel, Cycle.Members.size() == 2 ? 2 * (16 + kReturnAddress) : Walk);
  }
}

TEST_F(StackDepthGraphTest, NamesCodeWithoutAFrameFigure) {
  Frames.erase("?Leaf@@A");
  const auto Result = stack::Analyze(Symbols, Frames, Branches, 0x1000, 0x2000, 256);
  ASSERT_EQ(Result.Unknown.size(), 1U);
  EXPECT_EQ(Result.Unknown[0], "?Leaf@@A");
}

} // namespace

namespace {

// Constants share the code section: variables and string literals are not code.
TEST(StackDepthAnalysisTest, TellsDataFromCodeByItsMangledName) {
  EXPECT_TRUE(stack::IsDataSymbol("?mOptionRomTable@@3QBUOPTION_ROM_TABLE_ENTRY@@B"));
  EXPECT_TRUE(stack::IsDataSymbol("?kX@?A0xA37D6BFB@@3UEFI_GUID@@B"));
  EXPECT_TRUE(stack::IsDataSymbol("??_C@_0M@OAMLNNNM@S?$AAe?$AAt?$AAu?$AAp?$AA?$AA?$AA@"));
  EXPECT_FALSE(stack::IsDataSymbol("?ReadPciHeader@@YA_NPEAU_EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL@@PEAEEEE@Z"));
  EXPECT_FALSE(stack::IsDataSymbol("?Probe@CALLBACK_WALKER@?A0x1@@QEAA?AUPCI_FUNCTION_PROBE@@EEE@Z"));
  EXPECT_FALSE(stack::IsDataSymbol("??$PciConfigReadOrOnes@E@@YAEPEAU_EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL@@_K@Z"));
  EXPECT_FALSE(stack::IsDataSymbol("PciPlatformDriverEntry"));
}

} // namespace
