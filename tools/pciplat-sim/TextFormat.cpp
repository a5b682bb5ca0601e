#include "TextFormat.h"

#include <cstdio>

namespace pciplat {

namespace {
constexpr size_t kQuotedMax = 40;
} // namespace

std::string Hex(uint64_t Value, int Digits) { return "0x" + HexDigits(Value, Digits); }

std::string HexDigits(uint64_t Value, int Digits) {
  char Text[24];
  std::snprintf(Text, sizeof(Text), "%0*llx", Digits, static_cast<unsigned long long>(Value));
  return Text;
}

std::string Quoted(std::string_view Text) { return "'" + Escaped(Text) + "'"; }

std::string Escaped(std::string_view Text) {
  std::string Out;
  for (size_t Index = 0; Index < Text.size() && Index < kQuotedMax; ++Index) {
    const auto Byte = static_cast<unsigned char>(Text[Index]);
    if (Byte < 0x20 || Byte >= 0x7F || Byte == '\\') {
      Out += "\\x" + HexDigits(Byte, 2);
    } else {
      Out += static_cast<char>(Byte);
    }
  }
  if (Text.size() > kQuotedMax) {
    Out += "...";
  }
  return Out;
}

} // namespace pciplat
