#include "sim/Guid.h"

#include <cstdio>
#include <cstring>

namespace sim {

bool GuidLess::operator()(const EFI_GUID &Left, const EFI_GUID &Right) const {
  return std::memcmp(&Left, &Right, sizeof(EFI_GUID)) < 0;
}

std::string FormatGuid(const EFI_GUID &Guid) {
  char Text[37];
  std::snprintf(Text, sizeof(Text), "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", Guid.Data1, Guid.Data2,
                Guid.Data3, Guid.Data4[0], Guid.Data4[1], Guid.Data4[2], Guid.Data4[3], Guid.Data4[4], Guid.Data4[5],
                Guid.Data4[6], Guid.Data4[7]);
  return Text;
}

namespace {

std::optional<unsigned> HexDigit(char Character) {
  if (Character >= '0' && Character <= '9') {
    return static_cast<unsigned>(Character - '0');
  }
  if (Character >= 'a' && Character <= 'f') {
    return static_cast<unsigned>(Character - 'a' + 10);
  }
  if (Character >= 'A' && Character <= 'F') {
    return static_cast<unsigned>(Character - 'A' + 10);
  }
  return std::nullopt;
}

} // namespace

std::optional<EFI_GUID> ParseGuid(std::string_view Text) {
  if (Text.size() != 36 || Text[8] != '-' || Text[13] != '-' || Text[18] != '-' || Text[23] != '-') {
    return std::nullopt;
  }
  UINT8 Bytes[16];
  size_t Out = 0;
  for (size_t Index = 0; Index < Text.size();) {
    if (Text[Index] == '-') {
      ++Index;
      continue;
    }
    const auto High = HexDigit(Text[Index]);
    const auto Low = HexDigit(Text[Index + 1]);
    if (!High || !Low) {
      return std::nullopt;
    }
    Bytes[Out++] = static_cast<UINT8>(*High * 16 + *Low);
    Index += 2;
  }
  EFI_GUID Guid{};
  Guid.Data1 = (UINT32{Bytes[0]} << 24) | (UINT32{Bytes[1]} << 16) | (UINT32{Bytes[2]} << 8) | Bytes[3];
  Guid.Data2 = static_cast<UINT16>((Bytes[4] << 8) | Bytes[5]);
  Guid.Data3 = static_cast<UINT16>((Bytes[6] << 8) | Bytes[7]);
  std::memcpy(Guid.Data4, Bytes + 8, 8);
  return Guid;
}

} // namespace sim
