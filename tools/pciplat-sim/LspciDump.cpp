#include "LspciDump.h"

#include "TextFormat.h"

#include <cctype>
#include <cstdio>
#include <set>
#include <sstream>
#include <utility>

namespace pciplat {

namespace {

bool IsHexDigit(char Character) { return std::isxdigit(static_cast<unsigned char>(Character)) != 0; }
bool IsSpace(char Character) { return std::isspace(static_cast<unsigned char>(Character)) != 0; }

std::optional<unsigned> ParseHex(const std::string &Text, unsigned Max) {
  if (Text.empty() || Text.size() > 8) {
    return std::nullopt;
  }
  unsigned Value = 0;
  for (const char Character : Text) {
    if (!IsHexDigit(Character)) {
      return std::nullopt;
    }
    Value = Value * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(Character)) != 0
                                                   ? Character - '0'
                                                   : std::tolower(static_cast<unsigned char>(Character)) - 'a' + 10);
  }
  if (Value > Max) {
    return std::nullopt;
  }
  return Value;
}

struct Address {
  UINT32 Domain;
  sim::Bdf Location;
};

std::optional<unsigned> Field(const std::string &Text, unsigned Max, const char *What, const std::string &Range,
                              std::string *Why) {
  const auto Value = ParseHex(Text, 0xFFFFFFFF);
  if (!Value) {
    *Why = std::string("bad ") + What + " " + Quoted(Text);
    return std::nullopt;
  }
  if (*Value > Max) {
    *Why = std::string(What) + " number " + Text + " is out of range (" + Range + ")";
    return std::nullopt;
  }
  return Value;
}

// "[dddd:]bb:dd.f" at the start of a header line.
std::optional<Address> ParseAddress(const std::string &Word, std::string *Why) {
  std::string Rest = Word;
  UINT32 Domain = 0;
  const size_t FirstColon = Rest.find(':');
  if (FirstColon != std::string::npos && Rest.find(':', FirstColon + 1) != std::string::npos) {
    const auto Parsed = Field(Rest.substr(0, FirstColon), 0xFFFFFFFF, "domain", "", Why);
    if (!Parsed) {
      return std::nullopt;
    }
    Domain = *Parsed;
    Rest = Rest.substr(FirstColon + 1);
  }
  const size_t Colon = Rest.find(':');
  const size_t Dot = Rest.find('.');
  if (Colon == std::string::npos || Dot == std::string::npos || Dot < Colon) {
    *Why = "expected a function address like 00:1f.2, got " + Quoted(Word);
    return std::nullopt;
  }
  const auto Bus = Field(Rest.substr(0, Colon), 0xFF, "bus", "00-ff", Why);
  const auto Device = Bus ? Field(Rest.substr(Colon + 1, Dot - Colon - 1), 0x1F, "device", "00-1f", Why) : std::nullopt;
  const auto Function = Device ? Field(Rest.substr(Dot + 1), 7, "function", "0-7", Why) : std::nullopt;
  if (!Function) {
    return std::nullopt;
  }
  return Address{Domain, {static_cast<UINT8>(*Bus), static_cast<UINT8>(*Device), static_cast<UINT8>(*Function)}};
}

bool IsBlank(const std::string &Line) {
  for (const char Character : Line) {
    if (!IsSpace(Character)) {
      return false;
    }
  }
  return true;
}

// "ofs: bb bb ...": two or three hex digits, a colon, then a space or nothing.
// A header's "00:1f.3" has a digit after its colon instead.
bool IsDataLine(const std::string &Line) {
  const size_t Colon = Line.find(':');
  if (Colon < 2 || Colon > 3) {
    return false;
  }
  for (size_t Index = 0; Index < Colon; ++Index) {
    if (!IsHexDigit(Line[Index])) {
      return false;
    }
  }
  return Colon + 1 == Line.size() || IsSpace(Line[Colon + 1]);
}

// Reads one capture line by line, keeping the function being filled.
class DumpReader {
public:
  DumpReader(std::string Source, std::string *Error) : Source(std::move(Source)), Error(Error) {}

  bool Take(const std::string &Line);
  bool Finish();
  std::vector<DumpedFunction> &Functions() { return Found; }

private:
  bool Header(const std::string &Line);
  bool Data(const std::string &Line);
  bool Fail(unsigned Line, const std::string &Why) {
    *Error = Source + ":" + std::to_string(Line) + ": " + Why;
    return false;
  }

  std::string Source;
  std::string *Error;
  std::vector<DumpedFunction> Found;
  std::set<std::pair<UINT32, sim::Bdf>> Seen;
  unsigned Number = 0;
  bool Open = false;     // the last function still takes hex lines
  unsigned Expected = 0; // next offset expected in it
};

bool DumpReader::Take(const std::string &Line) {
  ++Number;
  if (IsBlank(Line)) {
    return Finish();
  }
  if (IsSpace(Line[0])) {
    return true; // a decoded line of -v, -vv or -vvv
  }
  if (IsDataLine(Line)) {
    return Open ? Data(Line) : Fail(Number, "hex line " + Quoted(Line.substr(0, 3)) + " outside a function");
  }
  return Finish() && Header(Line);
}

bool DumpReader::Header(const std::string &Line) {
  std::istringstream Words(Line);
  std::string Word;
  Words >> Word;
  std::string Why;
  const auto Parsed = ParseAddress(Word, &Why);
  if (!Parsed) {
    return Fail(Number, Why);
  }
  if (!Seen.insert({Parsed->Domain, Parsed->Location}).second) {
    return Fail(Number, "function " + Word + " appears twice");
  }
  Found.push_back(DumpedFunction{Parsed->Location, 0, {}, Number, Parsed->Domain});
  Open = true;
  Expected = 0;
  return true;
}

bool DumpReader::Data(const std::string &Line) {
  const size_t Colon = Line.find(':');
  const unsigned Offset = *ParseHex(Line.substr(0, Colon), 0xFFF);
  if (Offset != Expected) {
    return Fail(Number, "offset " + Line.substr(0, Colon) + " out of order, expected " + HexDigits(Expected, 2));
  }
  std::istringstream Bytes(Line.substr(Colon + 1));
  std::string Byte;
  unsigned Count = 0;
  while (Bytes >> Byte) {
    const auto Value = ParseHex(Byte, 0xFF);
    if (!Value || Byte.size() != 2) {
      return Fail(Number, Quoted(Byte) + " is not a hex byte");
    }
    if (Expected >= sim::kConfigSpaceSize) {
      return Fail(Number, "data beyond the 4096-byte configuration space");
    }
    Found.back().Bytes[Expected++] = static_cast<UINT8>(*Value);
    ++Count;
  }
  if (Count != 16) {
    return Fail(Number, "expected 16 bytes on the line, found " + std::to_string(Count));
  }
  return true;
}

bool DumpReader::Finish() {
  if (!Open) {
    return true;
  }
  Open = false;
  DumpedFunction &Last = Found.back();
  const std::string Name = sim::FormatBdf(Last.Location);
  if (Expected == 0) {
    return Fail(Last.Line,
                "function " + Name + " has no hex lines; capture the configuration space with `lspci -xxxx` (as root)");
  }
  if (Expected != 64 && Expected != 256 && Expected != 4096) {
    return Fail(Last.Line,
                "function " + Name + " has " + std::to_string(Expected) + " bytes; a dump holds 64, 256 or 4096");
  }
  Last.Length = Expected;
  return true;
}

} // namespace

std::optional<std::vector<DumpedFunction>> ParseLspciDump(const std::string &Text, const std::string &Source,
                                                          std::string *Error) {
  DumpReader Reader(Source, Error);
  std::istringstream Lines(Text);
  std::string Line;
  while (std::getline(Lines, Line)) {
    if (!Line.empty() && Line.back() == '\r') {
      Line.pop_back();
    }
    if (!Reader.Take(Line)) {
      return std::nullopt;
    }
  }
  if (!Reader.Finish()) {
    return std::nullopt;
  }
  if (Reader.Functions().empty()) {
    *Error = Source + ": no functions in the dump";
    return std::nullopt;
  }
  return std::move(Reader.Functions());
}

std::string FormatLspciDump(const sim::PciBus &Bus) {
  std::string Text;
  char Line[80];
  for (const auto &[Location, Function] : Bus.Functions()) {
    // The header line as `lspci -n` writes it; lspci's dump reader needs text
    // after the address.
    std::snprintf(Line, sizeof(Line), "%s %02x%02x: %04x:%04x (rev %02x)\n", sim::FormatBdf(Location).c_str(),
                  Function->Peek8(0x0B), Function->Peek8(0x0A), Function->Peek16(0x00), Function->Peek16(0x02),
                  Function->Peek8(0x08));
    Text += Line;
    for (unsigned Offset = 0; Offset < sim::kConfigSpaceSize; Offset += 16) {
      int Used = std::snprintf(Line, sizeof(Line), "%02x:", Offset);
      for (unsigned Byte = 0; Byte < 16; ++Byte) {
        Used += std::snprintf(Line + Used, sizeof(Line) - static_cast<size_t>(Used), " %02x",
                              Function->Peek8(Offset + Byte));
      }
      Text += Line;
      Text += '\n';
    }
    Text += '\n';
  }
  return Text;
}

} // namespace pciplat
