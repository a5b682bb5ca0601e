// What the runner reports beyond the driver's own writes: warnings where a
// board and the rules disagree, the register diff, the setpci script and the
// trace. Expected registers and bits are the published PCI Express ones.
#include "Diff.h"
#include "Run.h"
#include "Trace.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

namespace {

using nlohmann::json;

pciplat::RunResult RunFile(const std::string &Name) {
  std::ifstream File(std::string(PCIPLAT_BOARDS_DIR) + "/" + Name);
  std::ostringstream Text;
  Text << File.rdbuf();
  std::string Error;
  const auto Board = pciplat::ParseBoardJson(Text.str(), Name, &Error);
  EXPECT_TRUE(Board) << Error;
  return pciplat::RunBoard(Board ? *Board : pciplat::DefaultBoard(), {false, false});
}

std::vector<std::string> Messages(const json &Warnings, const std::string &Kind, const std::string &Location = "") {
  std::vector<std::string> Found;
  for (const json &Warning : Warnings) {
    if (Warning["kind"] == Kind && (Location.empty() || Warning.value("location", "") == Location)) {
      Found.push_back(Warning["message"]);
    }
  }
  return Found;
}

bool Contains(const std::vector<std::string> &Texts, const std::string &Part) {
  for (const std::string &Text : Texts) {
    if (Text.find(Part) != std::string::npos) {
      return true;
    }
  }
  return false;
}

TEST(RunnerReportTest, TheDefaultBoardWarnsOfTheWindowInTheSlotCapabilitiesAndOfL1Latency) {
  const pciplat::RunResult Result = pciplat::RunBoard(pciplat::DefaultBoard(), {false, false});
  const json &Warnings = Result.Report["warnings"];
  EXPECT_EQ(Result.Report["schema_version"], 3);
  // The PCI Express capability sits at 0x40: 0x56 is slot capabilities
  // (capability offset 0x14) bytes 2-3, on every port the driver brackets.
  for (const char *Port : {"00:1c.0", "00:1c.1", "00:1c.2", "03:00.0", "04:00.0", "04:01.0"}) {
    EXPECT_TRUE(Contains(Messages(Warnings, "window-in-capability", Port), "CAP_EXP+16 (SltCap bytes 2-3)")) << Port;
  }
  // Its endpoints leave device capabilities bits 11:9 at 0 (at most 1 us)
  // while the links below the switch add 1 us to a link's own 1 us.
  for (const char *Endpoint : {"05:00.0", "06:00.0"}) {
    EXPECT_TRUE(Contains(Messages(Warnings, "l1-latency", Endpoint), "up to 2 us")) << Endpoint;
  }
  EXPECT_EQ(Warnings.size(), 8U) << Warnings.dump(2);
}

TEST(RunnerReportTest, TheWarningBoardShowsEachDisagreement) {
  const pciplat::RunResult Result = RunFile("warnings.json");
  const json &Warnings = Result.Report["warnings"];
  struct Case {
    const char *Kind;
    const char *Location;
    const char *Part;
  };
  const Case Cases[] = {
      {"unreached", "ff:00.0", "no bridge forwards to bus ff"},
      {"unreached", "00:1f.3", "function 0 is not multi-function"},
      {"bus-loop", "05:00.0", "bus 04 leads back here, a bus loop"},
      {"bus-range", "", "00:1d.0 [05-06] and 00:1e.0 [06-06] overlap"},
      // Capability at 0x4c: 0x56 is device status (offset 0x0a), whose error
      // bits are write-1-to-clear.
      {"window-in-capability", "00:1c.0", "CAP_EXP+0a (DevSta); the read-modify-write"},
      // Largest exit latency 2 us on the path, one switch: 3 us against 1 us.
      {"l1-latency", "03:00.0", "up to 3 us"},
      {"payload", "03:00.0", "set to 512 bytes (DevCtl bits 7:5) but the function supports 256 bytes"},
  };
  for (const Case &Test : Cases) {
    EXPECT_TRUE(Contains(Messages(Warnings, Test.Kind, Test.Location), Test.Part)) << Test.Kind << " " << Test.Part;
  }
}

TEST(RunnerReportTest, ShortCapturesAndOtherDomainsAreNamed) {
  pciplat::DumpedFunction Header{{0, 0, 0}, 64, {}, 1};
  Header.Bytes[0] = 0x86;
  Header.Bytes[1] = 0x80;
  pciplat::DumpedFunction Foreign = Header;
  Foreign.Domain = 1;
  const pciplat::Board Board = pciplat::WithDumpedHierarchy(pciplat::DefaultBoard(), {Header, Foreign});
  const json Warnings = pciplat::RunBoard(Board, {false, false}).Report["warnings"];
  EXPECT_TRUE(Contains(Messages(Warnings, "short-capture"), "capture as root with `lspci -xxxx`"));
  EXPECT_TRUE(Contains(Messages(Warnings, "other-domain"), "domain 0001: 1 function not walked"));
}

TEST(RunnerReportTest, DiffSetpciAndTraceShowTheDriversWrites) {
  const pciplat::RunResult Result = pciplat::RunBoard(pciplat::DefaultBoard(), {false, false});
  // LnkCtl is at offset 0x10 of the capability; L1 is ASPM control 10b, common
  // clock bit 6.
  const std::string Diff = pciplat::RenderChanges(pciplat::RegisterChanges(Result.Record));
  EXPECT_NE(Diff.find("00:1c.0 CAP_EXP+10.b: 00 -> 42 (LnkCtl: ASPM L1, CommClk)\n"), std::string::npos) << Diff;
  EXPECT_NE(Diff.find("06:00.0 CAP_EXP+10.b: 00 -> 40 (LnkCtl: ASPM off, CommClk)\n"), std::string::npos) << Diff;
  const std::string Script = pciplat::SetpciScript(Result.Record, "default");
  EXPECT_NE(Script.find("Run it by hand"), std::string::npos);
  EXPECT_NE(Script.find("setpci -s 00:1c.0 CAP_EXP+10.b=42:42\n"), std::string::npos) << Script;
  // The chipset bit is set, then cleared again: both writes, in order.
  const size_t Set = Script.find("setpci -s 00:1c.0 174.b=04:04\n");
  EXPECT_LT(Set, Script.find("setpci -s 00:1c.0 174.b=00:04\n")) << Script;
  const json Trace = pciplat::TraceEntries(Result.Record);
  size_t Calls = 0;
  size_t Collapsed = 0;
  for (const json &Entry : Trace) {
    Calls += Entry["type"] == "call" ? 1 : 0;
    Collapsed += Entry["type"] == "absent-probes" ? Entry["probes"].get<size_t>() : 0;
  }
  EXPECT_EQ(Calls, Result.Report["driver_calls"].get<size_t>() + 1 + Result.Report["functions"].size())
      << "every sequencer call, the entry point and one GetPciRom per function";
  EXPECT_GT(Collapsed, 200U);
  EXPECT_LT(Trace.size(), Result.Record.Accesses.size() / 4);
}

} // namespace
