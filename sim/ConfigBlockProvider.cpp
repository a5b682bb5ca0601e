#include "sim/ConfigBlockProvider.h"

#include <type_traits>

namespace sim {

namespace {

// The provider's own copy of its published GUID: a wrong GUID in the
// driver's headers finds no provider here.
constexpr EFI_GUID kConfigBlockProtocolGuid = {
    0xAA81D9C8, 0xF05D, 0x4857, {0x8E, 0x66, 0x54, 0x97, 0xC8, 0xAB, 0xB0, 0xAD}};

} // namespace

ConfigBlockProvider::ConfigBlockProvider() { Instance = Interface{{GetConfigBlock}, this}; }

EFI_STATUS ConfigBlockProvider::Install(HandleDatabase &Handles) {
  return Handles.Install(&ProviderHandle, kConfigBlockProtocolGuid, &Instance.Protocol);
}

std::vector<UINT8> &ConfigBlockProvider::AddBlock(const std::u16string &Name, size_t Size, UINT8 Fill) {
  std::vector<UINT8> &Stored = Blocks[Name];
  Stored.assign(Size, Fill);
  Stored.shrink_to_fit();
  return Stored;
}

size_t ConfigBlockProvider::Requests(const std::u16string &Name) const {
  const auto Found = RequestCounts.find(Name);
  return Found == RequestCounts.end() ? 0 : Found->second;
}

EFI_STATUS EFIAPI ConfigBlockProvider::GetConfigBlock(PLATFORM_CONFIG_BLOCK_PROTOCOL *This, const CHAR16 *Name,
                                                      VOID **Block) {
  static_assert(std::is_standard_layout_v<Interface>);
  if (This == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  return reinterpret_cast<Interface *>(This)->Owner->Get(Name, Block);
}

EFI_STATUS ConfigBlockProvider::Get(const CHAR16 *Name, VOID **Block) {
  if (Name == nullptr || Block == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  const std::u16string Wanted(Name);
  ++RequestCounts[Wanted];
  if (NullAnswers.count(Wanted) != 0) {
    *Block = nullptr;
    return EFI_SUCCESS;
  }
  const auto Found = Blocks.find(Wanted);
  if (Found == Blocks.end()) {
    return EFI_NOT_FOUND;
  }
  *Block = Found->second.data();
  return EFI_SUCCESS;
}

} // namespace sim
