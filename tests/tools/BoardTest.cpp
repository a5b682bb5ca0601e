// Board descriptions: the built-in board, and a clear message for every way a
// description can be wrong.
#include "Board.h"
#include "Run.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(BoardTest, TheBuiltInBoardParses) {
  const pciplat::Board Board = pciplat::DefaultBoard();
  EXPECT_EQ(Board.Name, "default");
  EXPECT_GE(Board.Functions.size(), 10U);
  EXPECT_EQ(Board.IoApics.size(), 3U);
}

// A capture brings the hierarchy only: every other section stays what the
// board it was given with says, or the model's default board.
TEST(BoardTest, EachSectionSaysWhereItCameFrom) {
  using pciplat::BoardSource;
  const auto AllFrom = [](const pciplat::BoardProvenance &Got, BoardSource Hierarchy, BoardSource Rest) {
    return Got.Hierarchy == Hierarchy && Got.Variables == Rest && Got.Volumes == Rest && Got.ConfigBlocks == Rest &&
           Got.IoApics == Rest && Got.Services == Rest;
  };
  std::string Error;
  const auto Described = pciplat::ParseBoardJson(R"({"functions": []})", "board.json", &Error);
  ASSERT_TRUE(Described) << Error;
  const pciplat::DumpedFunction Captured{{0, 0, 0}, 64, {}, 0};
  EXPECT_TRUE(AllFrom(pciplat::DefaultBoard().Provenance, BoardSource::ModelDefault, BoardSource::ModelDefault));
  EXPECT_TRUE(AllFrom(Described->Provenance, BoardSource::Description, BoardSource::Description));
  EXPECT_TRUE(AllFrom(pciplat::WithDumpedHierarchy(pciplat::DefaultBoard(), {Captured}).Provenance,
                      BoardSource::Capture, BoardSource::ModelDefault));
  EXPECT_TRUE(AllFrom(pciplat::WithDumpedHierarchy(*Described, {Captured}).Provenance, BoardSource::Capture,
                      BoardSource::Description));
}

TEST(BoardTest, NamesTheFieldAndTheFaultOfBadDescriptions) {
  const std::string Function = R"({"location": "00:00.0", "vendor": "0x8086", "device": 1})";
  struct Case {
    const char *Name;
    std::string Json;
    std::string Expected;
  };
  const Case Cases[] = {
      {"malformed", "{\"functions\": [", "board.json: parse error at line 1, column 16"},
      {"missing functions", "{}", "board.json: board.functions: missing"},
      {"unknown field", R"({"functions": [], "colour": 1})", "board.json: board.colour: unknown field"},
      {"missing vendor", R"({"functions": [{"location": "00:00.0", "device": 1}]})",
       "board.json: functions[0].vendor: missing"},
      {"bad location", R"({"functions": [{"location": "0:40.0", "vendor": 1, "device": 1}]})",
       "board.json: functions[0].location (device): 64 is out of range (at most 31)"},
      {"duplicate", "{\"functions\": [" + Function + ", " + Function + "]}",
       "board.json: functions[1].location: 00:00.0 is already described by functions[0]"},
      {"bad number", R"({"functions": [{"location": "00:00.0", "vendor": "0x80z6", "device": 1}]})",
       "board.json: functions[0].vendor: '0x80z6' is not a number"},
      {"vendor range", R"({"functions": [{"location": "00:00.0", "vendor": 70000, "device": 1}]})",
       "board.json: functions[0].vendor: 70000 is out of range (at most 65535)"},
      {"payload",
       R"({"functions": [{"location": "00:00.0", "vendor": 1, "device": 1, "pcie": {"type": "endpoint", "max_payload_supported": 300}}]})",
       "board.json: functions[0].pcie.max_payload_supported: 300 is not a payload size"},
      {"port type", R"({"functions": [{"location": "00:00.0", "vendor": 1, "device": 1, "pcie": {"type": "bridge"}}]})",
       "board.json: functions[0].pcie.type: expected one of"},
      {"bad guid", R"({"functions": [], "firmware_volumes": [{"files": [{"guid": "nope", "size": 1}]}]})",
       "board.json: firmware_volumes[0].files[0].guid: 'nope' is not a GUID"},
      {"variable byte out of range",
       R"({"functions": [], "variables": {"Setup": {"guid": "EC87D643-EBA4-4BB5-A1E5-3F3E36B20DA9", "size": 4, "bytes": {"9": 1}}}})",
       "board.json: variables.Setup.bytes.9: 9 is out of range (at most 3)"},
      {"capability offset",
       R"({"functions": [{"location": "00:00.0", "vendor": 1, "device": 1, "pcie": {"type": "endpoint", "offset": "0x42"}}]})",
       "board.json: functions[0].pcie.offset: 0x42 is not a dword-aligned offset"},
      {"latency",
       R"({"functions": [{"location": "00:00.0", "vendor": 1, "device": 1, "pcie": {"type": "endpoint", "l1_exit_latency_us": 3}}]})",
       "board.json: functions[0].pcie.l1_exit_latency_us: 3 is not a latency"},
      {"control characters in a field name", "{\"functions\": [], \"\\u001b[31m\": 1}",
       "board.json: board.\\x1b[31m: unknown field"},
      {"flag type", R"({"functions": [], "services": {"cpu_io": "no"}})",
       "board.json: services.cpu_io: expected true or false"},
      {"field name with control characters", "{\"functions\": [], \"co\\nl\\u001bour\": 1}",
       "board.json: board.co\\x0al\\x1bour: unknown field"},
      // The chipset's block layouts: QMX_CONF holds 427 bytes, QMX_DEP_CONF 18.
      {"config block smaller than its layout", R"({"functions": [], "config_blocks": {"QMX_CONF": 426}})",
       "board.json: config_blocks.QMX_CONF: 426 bytes cannot hold the block's 427-byte layout"},
      {"dependent block smaller than its layout", R"({"functions": [], "config_blocks": {"QMX_DEP_CONF": 17}})",
       "board.json: config_blocks.QMX_DEP_CONF: 17 bytes cannot hold the block's 18-byte layout"},
  };
  for (const Case &Test : Cases) {
    std::string Error;
    EXPECT_FALSE(pciplat::ParseBoardJson(Test.Json, "board.json", &Error)) << Test.Name;
    EXPECT_EQ(Error.rfind(Test.Expected, 0), 0U) << Test.Name << ": " << Error;
  }
}

} // namespace
