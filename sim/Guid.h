// GUID helpers for the model and the tools: comparison, ordering, and the
// registry text form (8-4-4-4-12 hex digits).
#pragma once

#include "base/Uefi.h"

#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace sim {

struct GuidLess {
  bool operator()(const EFI_GUID &Left, const EFI_GUID &Right) const;
};

std::string FormatGuid(const EFI_GUID &Guid);
std::optional<EFI_GUID> ParseGuid(std::string_view Text);

} // namespace sim

inline bool operator==(const EFI_GUID &Left, const EFI_GUID &Right) {
  return std::memcmp(&Left, &Right, sizeof(EFI_GUID)) == 0;
}
