// Configuration spaces in the text form of `lspci -x`, `-xxx` and `-xxxx`: a
// header line per function ("[domain:]bus:device.function description"), then
// lines of "offset: byte byte ..." in hex, a blank line between functions.
// Decoded lines (-v, -vv, -vvv) start with white space and sit between the
// header and the hex lines; names may be numeric (-n, -nn); lines may end in
// CRLF. `lspci -F FILE` reads the same forms back.
#pragma once

#include "sim/PciBus.h"

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace pciplat {

struct DumpedFunction {
  sim::Bdf Location;
  unsigned Length; // bytes given: 64, 256 or 4096 (the rest reads as zero)
  std::array<UINT8, sim::kConfigSpaceSize> Bytes;
  unsigned Line;     // header line in the source, for messages
  UINT32 Domain = 0; // PCI segment; only segment 0 has a root bridge here
};

// Parses Text (from Source, used in messages). On error returns nullopt and
// sets Error to "Source:LINE: what is wrong".
std::optional<std::vector<DumpedFunction>> ParseLspciDump(const std::string &Text, const std::string &Source,
                                                          std::string *Error);

// Every function of Bus in the -xxxx form, ascending by location.
std::string FormatLspciDump(const sim::PciBus &Bus);

} // namespace pciplat
