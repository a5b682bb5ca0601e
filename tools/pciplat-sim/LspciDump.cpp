#include "LspciDump.h"

#include <cctype>
#include <cstdio>
#include <set>
#include <sstream>

namespace pciplat {

namespace {

std::optional<unsigned> ParseHex(const std::string &Text, unsigned Max) {
  if (Text.empty() || Text.size() > 8) {
    return std::nullopt;
  }
  unsigned Value = 0;
  for (const char Character : Text) {
    if (std::isxdigit(static_cast<unsigned char>(Character)) == 0) {
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

// "[dddd:]bb:dd.f" at the start of a header line.
std::optional<sim::Bdf> ParseLocation(const std::string &Word, std::string *Why) {
  std::string Rest = Word;
  const size_t FirstColon = Rest.find(':');
  const size_t SecondColon = Rest.find(':', FirstColon + 1);
  if (FirstColon != std::string::npos && SecondColon != std::string::npos) {
    const auto Domain = ParseHex(Rest.substr(0, FirstColon), 0xFFFF);
    if (!Domain) {
      *Why = "bad domain in '" + Word + "'";
      return std::nullopt;
    }
    if (*Domain != 0) {
      *Why = "domain " + Rest.substr(0, FirstColon) + " is not supported (only segment 0 has a root bridge here)";
      return std::nullopt;
    }
    Rest = Rest.substr(FirstColon + 1);
  }
  const size_t Colon = Rest.find(':');
  const size_t Dot = Rest.find('.');
  if (Colon == std::string::npos || Dot == std::string::npos || Dot < Colon) {
    *Why = "expected a function address like 00:1f.2, got '" + Word + "'";
    return std::nullopt;
  }
  const auto Bus = ParseHex(Rest.substr(0, Colon), 0xFFFF);
  const auto Device = ParseHex(Rest.substr(Colon + 1, Dot - Colon - 1), 0xFFFF);
  const auto Function = ParseHex(Rest.substr(Dot + 1), 0xFFFF);
  if (!Bus || !Device || !Function) {
    *Why = "bad function address '" + Word + "'";
    return std::nullopt;
  }
  if (*Bus > 0xFF) {
    *Why = "bus number " + Rest.substr(0, Colon) + " is out of range (00-ff)";
    return std::nullopt;
  }
  if (*Device > 0x1F) {
    *Why = "device number " + Rest.substr(Colon + 1, Dot - Colon - 1) + " is out of range (00-1f)";
    return std::nullopt;
  }
  if (*Function > 7) {
    *Why = "function number " + Rest.substr(Dot + 1) + " is out of range (0-7)";
    return std::nullopt;
  }
  return sim::Bdf{static_cast<UINT8>(*Bus), static_cast<UINT8>(*Device), static_cast<UINT8>(*Function)};
}

bool IsBlank(const std::string &Line) {
  for (const char Character : Line) {
    if (std::isspace(static_cast<unsigned char>(Character)) == 0) {
      return false;
    }
  }
  return true;
}

} // namespace

std::optional<std::vector<DumpedFunction>> ParseLspciDump(const std::string &Text, const std::string &Source,
                                                          std::string *Error) {
  std::vector<DumpedFunction> Functions;
  std::set<sim::Bdf> Seen;
  std::istringstream Lines(Text);
  std::string Line;
  unsigned Number = 0;
  DumpedFunction *Current = nullptr;
  unsigned Expected = 0; // next offset expected in the current function
  auto Fail = [&](const std::string &Why) {
    *Error = Source + ":" + std::to_string(Number) + ": " + Why;
    return std::nullopt;
  };
  auto Finish = [&]() -> bool {
    if (Current == nullptr) {
      return true;
    }
    if (Expected != 64 && Expected != 256 && Expected != 4096) {
      *Error = Source + ":" + std::to_string(Current->Line) + ": function " + sim::FormatBdf(Current->Location) +
               " has " + std::to_string(Expected) + " bytes; a dump holds 64, 256 or 4096";
      return false;
    }
    Current->Length = Expected;
    Current = nullptr;
    return true;
  };

  while (std::getline(Lines, Line)) {
    ++Number;
    if (!Line.empty() && Line.back() == '\r') {
      Line.pop_back();
    }
    if (IsBlank(Line)) {
      if (!Finish()) {
        return std::nullopt;
      }
      continue;
    }
    const size_t Colon = Line.find(':');
    const bool IsDataLine = Colon != std::string::npos && Colon <= 3 && Line.find('.') > Colon + 3;
    if (!IsDataLine || Current == nullptr) {
      // A header line starts a new function.
      if (!Finish()) {
        return std::nullopt;
      }
      std::istringstream Words(Line);
      std::string Word;
      Words >> Word;
      std::string Why;
      const auto Location = ParseLocation(Word, &Why);
      if (!Location) {
        return Fail(Why);
      }
      if (!Seen.insert(*Location).second) {
        return Fail("function " + sim::FormatBdf(*Location) + " appears twice");
      }
      Functions.push_back(DumpedFunction{*Location, 0, {}, Number});
      Current = &Functions.back();
      Expected = 0;
      continue;
    }
    const auto Offset = ParseHex(Line.substr(0, Colon), 0xFFF);
    if (!Offset) {
      return Fail("bad offset '" + Line.substr(0, Colon) + "'");
    }
    if (*Offset != Expected) {
      char Want[8];
      std::snprintf(Want, sizeof(Want), "%x", Expected);
      return Fail("offset " + Line.substr(0, Colon) + " out of order, expected " + Want);
    }
    std::istringstream Bytes(Line.substr(Colon + 1));
    std::string Byte;
    unsigned Count = 0;
    while (Bytes >> Byte) {
      const auto Value = ParseHex(Byte, 0xFF);
      if (!Value || Byte.size() != 2) {
        return Fail("'" + Byte + "' is not a hex byte");
      }
      if (Expected >= sim::kConfigSpaceSize) {
        return Fail("data beyond the 4096-byte configuration space");
      }
      Current->Bytes[Expected++] = static_cast<UINT8>(*Value);
      ++Count;
    }
    if (Count != 16) {
      return Fail("expected 16 bytes on the line, found " + std::to_string(Count));
    }
  }
  if (!Finish()) {
    return std::nullopt;
  }
  if (Functions.empty()) {
    *Error = Source + ": no functions in the dump";
    return std::nullopt;
  }
  return Functions;
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
