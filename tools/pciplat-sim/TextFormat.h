// Small text helpers shared by the runner's readers and reports.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace pciplat {

// "0x" and Digits lower-case hex digits.
std::string Hex(uint64_t Value, int Digits);
// Digits lower-case hex digits, no prefix.
std::string HexDigits(uint64_t Value, int Digits);

// Input quoted for a message: control and non-ASCII bytes as \xNN, so a
// damaged file cannot garble the terminal; long text is cut short.
std::string Quoted(std::string_view Text);
// The same without the quotes, for names inside a field path.
std::string Escaped(std::string_view Text);

} // namespace pciplat
