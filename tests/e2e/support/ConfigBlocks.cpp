// The chipset configuration-block provider: two named blocks, filled with a
// known byte before the driver under test runs, handed out in place.
#include "Support.h"
#include "platform/ConfigBlockProtocol.h"

namespace e2e::support {
namespace {

constinit UINT8 gDepConfBlock[kDepConfBlockSize] = {};
constinit UINT8 gConfBlock[kConfBlockSize] = {};

bool SameName(const CHAR16 *Left, const CHAR16 *Right) {
  for (;; ++Left, ++Right) {
    if (*Left != *Right) {
      return false;
    }
    if (*Left == 0) {
      return true;
    }
  }
}

EFI_STATUS EFIAPI GetConfigBlock(PLATFORM_CONFIG_BLOCK_PROTOCOL * /*This*/, const CHAR16 *Name, VOID **Block) {
  if (Name == nullptr || Block == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  if (SameName(Name, kDepConfBlockName)) {
    *Block = gDepConfBlock;
  } else if (SameName(Name, kConfBlockName)) {
    *Block = gConfBlock;
  } else {
    return EFI_NOT_FOUND;
  }
  return EFI_SUCCESS;
}

constinit PLATFORM_CONFIG_BLOCK_PROTOCOL gProvider = {GetConfigBlock};

} // namespace

EFI_STATUS InstallConfigBlockProvider() {
  gBootServices->SetMem(gDepConfBlock, sizeof(gDepConfBlock), kConfigBlockFill);
  gBootServices->SetMem(gConfBlock, sizeof(gConfBlock), kConfigBlockFill);
  EFI_HANDLE Handle = nullptr;
  return gBootServices->InstallProtocolInterface(&Handle, &kPlatformConfigBlockProtocolGuid, EFI_NATIVE_INTERFACE,
                                                 &gProvider);
}

} // namespace e2e::support
