#include "Firmware.h"

#include "platform/ConfigBlockProtocol.h"

namespace e2e {

constinit EFI_HANDLE gImageHandle = nullptr;
constinit EFI_SYSTEM_TABLE *gSystemTable = nullptr;
constinit EFI_BOOT_SERVICES *gBootServices = nullptr;
constinit EFI_RUNTIME_SERVICES *gRuntimeServices = nullptr;

void InitFirmware(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  gImageHandle = ImageHandle;
  gSystemTable = SystemTable;
  gBootServices = SystemTable->BootServices;
  gRuntimeServices = SystemTable->RuntimeServices;
}

HandleList::HandleList(const EFI_GUID *Protocol) {
  mStatus = gBootServices->LocateHandleBuffer(Protocol == nullptr ? AllHandles : ByProtocol, Protocol, nullptr, &mCount,
                                              &mHandles);
  if (EFI_ERROR(mStatus)) {
    mCount = 0;
    mHandles = nullptr;
  }
}

HandleList::~HandleList() {
  if (mHandles != nullptr) {
    gBootServices->FreePool(mHandles);
  }
}

bool HandleList::Contains(EFI_HANDLE Handle) const {
  for (UINTN Index = 0; Index < mCount; ++Index) {
    if (mHandles[Index] == Handle) {
      return true;
    }
  }
  return false;
}

bool BytesEqual(const VOID *Left, const VOID *Right, UINTN Length) {
  const auto *A = static_cast<const UINT8 *>(Left);
  const auto *B = static_cast<const UINT8 *>(Right);
  for (UINTN Index = 0; Index < Length; ++Index) {
    if (A[Index] != B[Index]) {
      return false;
    }
  }
  return true;
}

const UINT8 *ConfigBlock(const CHAR16 *Name) {
  auto *Provider = LocateInterface<PLATFORM_CONFIG_BLOCK_PROTOCOL>(kPlatformConfigBlockProtocolGuid);
  VOID *Block = nullptr;
  if (Provider == nullptr || EFI_ERROR(Provider->GetConfigBlock(Provider, Name, &Block))) {
    return nullptr;
  }
  return static_cast<const UINT8 *>(Block);
}

} // namespace e2e
