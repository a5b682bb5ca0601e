// What the runner reports beyond the driver's own writes: warnings where a
// board and the rules disagree, the register diff, the setpci script and the
// trace. Expected registers and bits are the published PCI Express ones.
#include "Diff.h"
#include "LspciDump.h"
#include "Run.h"
#include "Trace.h"

#include <gtest/gtest.h>

#include <algorithm>
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
    const json Where =
        Warning.contains("locations") ? Warning["locations"] : json::array({Warning.value("location", "")});
    if (Warning["kind"] == Kind &&
        (Location.empty() || std::find(Where.begin(), Where.end(), Location) != Where.end())) {
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

// The stated worst case (README): a switch of 32 downstream ports with 32
// devices each, every link qualifying and never finishing training, delays
// the boot by at most the pass's retrain budget of 2 s; each link is waited for
// once at most, so at most 2,000 stalls and one look per retrain beyond them.
TEST(RunnerReportTest, LinksThatNeverTrainDelayTheBootByAtMostTheRetrainBudget) {
  const pciplat::RunResult Result = RunFile("never-trains.json");
  EXPECT_EQ(Result.Record.StallMicroseconds, 2000000U);
  size_t Retrains = 0;
  for (const auto &[Port, Each] : Result.Record.RetrainPolls) {
    Retrains += Each.size();
  }
  EXPECT_EQ(Retrains, 1025U) << "every child still retrains its port's link";
  size_t Polls = 0;
  size_t Waits = 0;
  for (const DECISION &Record : Result.Record.Decisions) {
    if (Record.Kind == DECISION_KIND::Retrain && Record.Reason != DECISION_REASON::AlreadyWaited) {
      Polls += Record.Value;
      ++Waits;
    }
  }
  EXPECT_EQ(Waits, 33U) << "one per link";
  EXPECT_LE(Polls, 2000U + 33U) << "2,000 stalls, and one look per link beyond them";
  size_t ConfigAccesses = 0;
  for (const sim::Access &Entry : Result.Record.Accesses) {
    ConfigAccesses += Entry.Kind == sim::AccessKind::ConfigRead || Entry.Kind == sim::AccessKind::ConfigWrite ? 1 : 0;
  }
  EXPECT_LE(ConfigAccesses, 80000U);
}

TEST(RunnerReportTest, TheDefaultBoardWarnsOfTheWindowInTheSlotCapabilitiesAndOfL1Latency) {
  const pciplat::RunResult Result = pciplat::RunBoard(pciplat::DefaultBoard(), {false, false});
  const json &Warnings = Result.Report["warnings"];
  EXPECT_EQ(Result.Report["schema_version"], 3);
  // The PCI Express capability sits at 0x40: slot capabilities at offset
  // 0x14 cover 0x54-0x57, so bit 12 of the word at 0x56 is byte 0x57 bit 4,
  // slot capabilities bit 28, in the Physical Slot Number (bits 31:19). The
  // model's ports implement no slot (capabilities register bit 8 clear), and
  // an upstream port never has one.
  for (const char *Port : {"00:1c.0", "00:1c.1", "00:1c.2", "03:00.0", "04:00.0", "04:01.0"}) {
    const auto Found = Messages(Warnings, "window-in-capability", Port);
    EXPECT_TRUE(Contains(Found, "byte 0x57 bit 4: CAP_EXP+17 (SltCap) bit 28 (Physical Slot Number")) << Port;
    EXPECT_TRUE(Contains(Found, std::string(Port) == "03:00.0" ? "switch upstream port (port type 5)"
                                                               : "the port implements no slot"))
        << Port;
  }
  // Its endpoints leave device capabilities bits 11:9 at 0 (at most 1 us)
  // while the links below the switch add 1 us to a link's own 1 us.
  for (const char *Endpoint : {"05:00.0", "06:00.0"}) {
    EXPECT_TRUE(Contains(Messages(Warnings, "l1-latency", Endpoint), "up to 2 us")) << Endpoint;
  }
  // One line per finding: the five slot-less downstream and root ports share one.
  EXPECT_EQ(Warnings.size(), 3U) << Warnings.dump(2);
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
      {"unreached", "ff:00.0", "no PCI-to-PCI bridge reached from bus 00 has bus ff as its secondary bus"},
      {"unreached", "00:1f.3", "function 0 is not multi-function"},
      {"bus-loop", "05:00.0", "bus 04 leads back here, a bus loop"},
      {"bus-range", "", "00:1d.0 [05-06] and 00:1e.0 [06-06] overlap"},
      // Capability at 0x4c: 0x56 is device status (offset 0x0a), whose error
      // bits are write-1-to-clear; bit 12 lands in its second byte.
      {"window-in-capability", "00:1c.0", "byte 0x57 bit 4: CAP_EXP+0b (DevSta) bit 12"},
      {"window-in-capability", "00:1c.0", "byte 0x56 (CAP_EXP+0a, DevSta) as read, which clears its write-1-to-clear"},
      // Largest exit latency 2 us on the path, one switch: 3 us against 1 us.
      {"l1-latency", "03:00.0", "up to 3 us"},
      {"payload", "03:00.0", "set to 512 bytes (DevCtl bits 7:5) but the function supports 256 bytes"},
      // LnkCap's Max Link Speed 0000b is reserved: the link's 2.5 GT/s is above nothing it names.
      {"link-speed", "02:00.0", "its own LnkCap bits 3:0 (Max Link Speed) hold code 0, which is reserved"},
      {"link-speed", "03:00.0", "02:00.0's LnkCap bits 3:0 (Max Link Speed) hold code 0, which is reserved"},
  };
  for (const Case &Test : Cases) {
    EXPECT_TRUE(Contains(Messages(Warnings, Test.Kind, Test.Location), Test.Part)) << Test.Kind << " " << Test.Part;
  }
}

// What a capture cannot show, and causes named as the registers give them:
// the default board captured, then changed as a real machine might be.
TEST(RunnerReportTest, WarningsSayWhatTheRegistersShowAndWhatIsAssumed) {
  std::string Error;
  auto Dump =
      pciplat::ParseLspciDump(pciplat::RunBoard(pciplat::DefaultBoard(), {false, false}).DumpBefore, "default", &Error);
  ASSERT_TRUE(Dump) << Error;
  std::vector<pciplat::DumpedFunction> Capture;
  for (pciplat::DumpedFunction &Each : *Dump) {
    if (Each.Location == sim::Bdf{0, 0x1c, 0}) { // captured with -xxx: 0x174 unknown
      Each.Length = 256;
      std::fill(Each.Bytes.begin() + 256, Each.Bytes.end(), 0);
    }
    if (Each.Location == sim::Bdf{0, 0x1c, 1}) { // link status bit 13: the link is up
      Each.Bytes[0x40 + 0x13] |= 0x20;
    }
    if (Each.Location != sim::Bdf{2, 0, 0}) { // but nothing below it was captured
      Capture.push_back(Each);
    }
  }
  // A CardBus bridge (header type 2) whose CardBus bus number (0x19) is 0x20.
  pciplat::DumpedFunction CardBus{{0, 0x1e, 0}, 256, {0x86, 0x80, 0x48, 0x24}, 1};
  CardBus.Bytes[0x0e] = 0x02;
  CardBus.Bytes[0x19] = 0x20;
  pciplat::DumpedFunction Card{{0x20, 0, 0}, 256, {0x86, 0x80, 0x01, 0x10}, 1};
  Capture.push_back(CardBus);
  Capture.push_back(Card);
  const pciplat::RunResult Result =
      pciplat::RunBoard(pciplat::WithDumpedHierarchy(pciplat::DefaultBoard(), Capture), {false, false});
  const json &Warnings = Result.Report["warnings"];
  EXPECT_TRUE(Contains(Messages(Warnings, "unreached", "20:00.0"), "CardBus bus of 00:1e.0 (header type 2"));
  EXPECT_TRUE(Contains(Messages(Warnings, "unknown-register"), "beyond what the capture holds (0x174 of 00:1c.0)"));
  EXPECT_TRUE(Contains(Messages(Warnings, "payload-guess", "00:1c.1"), "LnkSta bit 13"));
  const json &Functions = Result.Report["functions"];
  const auto Port =
      std::find_if(Functions.begin(), Functions.end(), [](const json &Each) { return Each["location"] == "00:1c.0"; });
  ASSERT_NE(Port, Functions.end());
  EXPECT_TRUE((*Port)["changes"].contains("window_0x174_assumed"));
  EXPECT_EQ(Result.Report["provenance"]["io_apics"], "model-default");
}

// Extended capability lists as a damaged capture may hold them: a header in
// the last dword, a loop, and a structure whose length runs past the space.
TEST(RunnerReportTest, DamagedExtendedCapabilitiesEndTheList) {
  pciplat::DumpedFunction Port{{0, 0x1c, 0}, 4096, {0x86, 0x80, 0x40, 0x29}, 1};
  const auto Header = [&Port](unsigned At, unsigned Id, unsigned Next) {
    const UINT32 Value = Id | 1U << 16 | Next << 20;
    for (unsigned Byte = 0; Byte < 4; ++Byte) {
      Port.Bytes[At + Byte] = static_cast<UINT8>(Value >> (8 * Byte));
    }
  };
  Header(0x100, 0x0002, 0xffc); // virtual channel, next in the last dword
  Header(0xffc, 0x0002, 0x100); // virtual channel again, pointing back
  for (const pciplat::Capability &Each : pciplat::Capabilities(Port.Bytes)) {
    EXPECT_LE(Each.Offset + (Each.Extended ? 4U : 2U), 4096U);
  }
  EXPECT_EQ(pciplat::Capabilities(Port.Bytes).size(), 2U);
  const pciplat::RunResult Result =
      pciplat::RunBoard(pciplat::WithDumpedHierarchy(pciplat::DefaultBoard(), {Port}), {false, false});
  EXPECT_EQ(Result.Report["entry_status"], "EFI_SUCCESS");
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
  const std::string Script = pciplat::SetpciScript(Result.Record, {"default", "pciplat-sim", "one-pass", false, 0});
  EXPECT_NE(Script.find("REVIEW BEFORE USE"), std::string::npos);
  // The whole ASPM Control field (bits 1:0) and Common Clock Configuration (bit
  // 6); the retrain adds Retrain Link (bit 5) and waits for the link.
  EXPECT_NE(Script.find("setpci -s 0000:00:1c.0 CAP_EXP+10.b=42:43\n"), std::string::npos) << Script;
  EXPECT_NE(Script.find("setpci -s 0000:00:1c.0 CAP_EXP+10.b=62:63\nwait_for_link_training 0000:00:1c.0\n"),
            std::string::npos)
      << Script;
  // Max_Payload_Size, bits 7:5 of DevCtl: code 1 is 256 bytes.
  EXPECT_NE(Script.find("setpci -s 0000:01:00.0 CAP_EXP+08.w=0020:00e0\n"), std::string::npos) << Script;
  // The chipset bit is set, then cleared again: both writes, in order.
  const size_t Set = Script.find("setpci -s 0000:00:1c.0 174.b=04:04\n");
  EXPECT_LT(Set, Script.find("setpci -s 0000:00:1c.0 174.b=00:04\n")) << Script;
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
