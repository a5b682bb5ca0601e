// Reading and writing configuration spaces in lspci's text form.
#include "LspciDump.h"

#include "sim/BoardBuilder.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string HexLines(unsigned Bytes, unsigned Base = 0) {
  std::string Text;
  char Line[80];
  for (unsigned Offset = 0; Offset < Bytes; Offset += 16) {
    int Used = std::snprintf(Line, sizeof(Line), "%02x:", Offset);
    for (unsigned Byte = 0; Byte < 16; ++Byte) {
      Used +=
          std::snprintf(Line + Used, sizeof(Line) - static_cast<size_t>(Used), " %02x", (Base + Offset + Byte) & 0xFF);
    }
    Text += std::string(Line) + "\n";
  }
  return Text;
}

TEST(LspciDumpTest, ReadsEveryDumpDepthWithOrWithoutDomains) {
  const std::string Text = "00:00.0 Host bridge: something (rev 02)\n" + HexLines(64) + "\n" + "0000:00:1f.3 SMBus\n" +
                           HexLines(256, 1) + "\n" + "0a:1c.7\r\n" + HexLines(4096, 2);
  std::string Error;
  const auto Dump = pciplat::ParseLspciDump(Text, "dump.txt", &Error);
  ASSERT_TRUE(Dump) << Error;
  ASSERT_EQ(Dump->size(), 3U);
  EXPECT_EQ((*Dump)[0].Location, (sim::Bdf{0, 0, 0}));
  EXPECT_EQ((*Dump)[0].Length, 64U);
  EXPECT_EQ((*Dump)[0].Bytes[63], 63);
  EXPECT_EQ((*Dump)[0].Bytes[64], 0) << "bytes beyond the dump read as zero";
  EXPECT_EQ((*Dump)[1].Location, (sim::Bdf{0, 0x1F, 3}));
  EXPECT_EQ((*Dump)[1].Length, 256U);
  EXPECT_EQ((*Dump)[2].Location, (sim::Bdf{0x0A, 0x1C, 7}));
  EXPECT_EQ((*Dump)[2].Length, 4096U);
  EXPECT_EQ((*Dump)[2].Bytes[0xFFF], (0xFFF + 2) & 0xFF);
}

// The same two functions in each form lspci writes: the parser must find the
// same bytes in all of them.
TEST(LspciDumpTest, ReadsEveryFormLspciWrites) {
  const std::string Bridge = HexLines(256, 7);
  const std::string Endpoint = HexLines(64, 9);
  struct Case {
    const char *Name;
    std::string Text;
  };
  const Case Cases[] = {
      {"-xxx", "00:1c.0 PCI bridge: Maker Root Port (rev 02)\n" + Bridge + "\n01:00.0 Ethernet controller: X\n" +
                   Endpoint + "\n"},
      {"-vvxxx",
       "00:1c.0 PCI bridge: Maker Root Port (rev 02) (prog-if 00 [Normal decode])\n"
       "\tControl: I/O+ Mem+ BusMaster+ SpecCycle- MemWINV- VGASnoop- ParErr- Stepping- SERR- FastB2B- DisINTx+\n"
       "\tBus: primary=00, secondary=01, subordinate=01, sec-latency=0\n"
       "\tCapabilities: [40] Express (v2) Root Port (Slot+), MSI 00\n"
       "\t\tLnkCap:\tPort #1, Speed 2.5GT/s, Width x1, ASPM L0s L1, Exit Latency L0s <1us, L1 <4us\n"
       "\tKernel driver in use: pcieport\n" +
           Bridge + "\n01:00.0 Ethernet controller: X\n\tCapabilities: <access denied>\n" + Endpoint},
      {"-nn -D", "0000:00:1c.0 PCI bridge [0604]: Maker Root Port [8086:2940] (rev 02)\n" + Bridge +
                     "\n0000:01:00.0 Ethernet controller [0200]: X [8086:1096]\n" + Endpoint},
      {"-n, CRLF", "00:1c.0 0604: 8086:2940 (rev 02)\r\n" + Bridge + "\r\n01:00.0 0200: 8086:1096\r\n" + Endpoint},
  };
  for (const Case &Test : Cases) {
    std::string Error;
    const auto Dump = pciplat::ParseLspciDump(Test.Text, Test.Name, &Error);
    ASSERT_TRUE(Dump) << Test.Name << ": " << Error;
    ASSERT_EQ(Dump->size(), 2U) << Test.Name;
    EXPECT_EQ((*Dump)[0].Location, (sim::Bdf{0, 0x1C, 0})) << Test.Name;
    EXPECT_EQ((*Dump)[0].Length, 256U) << Test.Name;
    EXPECT_EQ((*Dump)[0].Bytes[255], (255 + 7) & 0xFF) << Test.Name;
    EXPECT_EQ((*Dump)[1].Length, 64U) << Test.Name;
    EXPECT_EQ((*Dump)[1].Bytes[0], 9) << Test.Name;
  }
}

TEST(LspciDumpTest, KeepsFunctionsOfOtherDomainsApart) {
  const std::string Text = "0000:00:00.0 Host bridge: A\n" + HexLines(64) + "\n0001:00:00.0 Host bridge: B\n" +
                           HexLines(64, 1) + "\n10000:00:00.0 Host bridge: C\n" + HexLines(64, 2);
  std::string Error;
  const auto Dump = pciplat::ParseLspciDump(Text, "two domains", &Error);
  ASSERT_TRUE(Dump) << Error;
  ASSERT_EQ(Dump->size(), 3U) << "the same address in another domain is another function";
  EXPECT_EQ((*Dump)[0].Domain, 0U);
  EXPECT_EQ((*Dump)[1].Domain, 1U);
  EXPECT_EQ((*Dump)[2].Domain, 0x10000U);
}

TEST(LspciDumpTest, NamesTheLineAndTheFaultOfBadInput) {
  const std::string Good = HexLines(64);
  struct Case {
    const char *Name;
    std::string Text;
    std::string Expected;
  };
  const Case Cases[] = {
      {"not hex", "00:00.0\n00: 86 80 zz 29 06 00 90 20 02 00 00 06 00 00 00 00\n", "dump:2: 'zz' is not a hex byte"},
      {"short line", "00:00.0\n00: 86 80\n", "dump:2: expected 16 bytes on the line, found 2"},
      {"duplicate", "00:01.0\n" + Good + "\n00:01.0\n" + Good, "dump:7: function 00:01.0 appears twice"},
      {"bus out of range", "100:00.0\n" + Good, "dump:1: bus number 100 is out of range (00-ff)"},
      {"device out of range", "00:20.0\n" + Good, "dump:1: device number 20 is out of range (00-1f)"},
      {"function out of range", "00:00.8\n" + Good, "dump:1: function number 8 is out of range (0-7)"},
      {"not an address", "hello world\n", "dump:1: expected a function address like 00:1f.2, got 'hello'"},
      {"no hex lines", "00:1c.0 PCI bridge: something\n\tBus: primary=00\n\n",
       "dump:1: function 00:1c.0 has no hex lines; capture the configuration space with `lspci -xxxx`"},
      {"hex line without a header", "\n" + Good, "dump:2: hex line '00:' outside a function"},
      {"control characters", "00:00.0\n00: 86 80 \x1b[2J 29\n", "dump:2: '\\x1b[2J' is not a hex byte"},
      {"offset order", "00:00.0\n10: " + Good.substr(4, 48) + "\n", "dump:2: offset 10 out of order, expected 0"},
      {"odd length", "00:00.0\n" + HexLines(32), "dump:1: function 00:00.0 has 32 bytes; a dump holds 64, 256 or 4096"},
      {"empty", "\n\n", "dump: no functions in the dump"},
  };
  for (const Case &Test : Cases) {
    std::string Error;
    EXPECT_FALSE(pciplat::ParseLspciDump(Test.Text, "dump", &Error)) << Test.Name;
    EXPECT_EQ(Error.rfind(Test.Expected, 0), 0U) << Test.Name << ": " << Error;
  }
}

TEST(LspciDumpTest, WritesWhatItReads) {
  sim::PciBus Bus;
  sim::AddRootPort(Bus, {0, 0x1C, 0}, 1, 1);
  sim::AddPcieEndpoint(Bus, {1, 0, 0}, {});
  const std::string Text = pciplat::FormatLspciDump(Bus);
  std::string Error;
  const auto Dump = pciplat::ParseLspciDump(Text, "round trip", &Error);
  ASSERT_TRUE(Dump) << Error;
  ASSERT_EQ(Dump->size(), 2U);
  EXPECT_EQ((*Dump)[0].Bytes, Bus.Find({0, 0x1C, 0})->Bytes());
  EXPECT_EQ((*Dump)[1].Bytes, Bus.Find({1, 0, 0})->Bytes());
}

} // namespace
