#include "ConfigBlocks.h"

#include "ConfigBlockProtocol.h"
#include "IoApic.h"
#include "SetupData.h"
#include "base/Decisions.h"
#include "base/FirmwareServices.h"
#include "base/LocateProtocol.h"

namespace {

// The block stays the provider's; a success without an address counts as a
// missing block rather than a write through null.
UINT8 *GetConfigBlock(PLATFORM_CONFIG_BLOCK_PROTOCOL *Provider, const CHAR16 *Name) {
  VOID *Block = nullptr;
  if (EFI_ERROR(Provider->GetConfigBlock(Provider, Name, &Block))) {
    return nullptr;
  }
  return static_cast<UINT8 *>(Block);
}

void DecideBlock(const UINT8 *Block, UINT64 Which) {
  Decide(DECISION_KIND::ConfigBlock, Block == nullptr ? DECISION_REASON::NoBlock : DECISION_REASON::Written,
         DECISION_NOWHERE, Which);
}

// Stored byte by byte: the field need not be aligned for a 32-bit access.
void WriteLittleEndian32(UINT8 *Field, UINT32 Value) {
  for (UINTN Byte = 0; Byte < sizeof(Value); ++Byte) {
    Field[Byte] = static_cast<UINT8>(Value >> (8 * Byte));
  }
}

void WriteThirdIoApicBase(PLATFORM_CONFIG_BLOCK_PROTOCOL *Provider) {
  UINT8 *Block = GetConfigBlock(Provider, QMX_DEP_CONF_BLOCK_NAME);
  DecideBlock(Block, DECISION_BLOCK_QMX_DEP_CONF);
  if (Block != nullptr) {
    WriteLittleEndian32(Block + QMX_DEP_CONF_IOAPIC_BASE_OFFSET, THIRD_IOAPIC_BASE);
  }
}

void CopySetupIntoQmxConf(PLATFORM_CONFIG_BLOCK_PROTOCOL *Provider) {
  UINT8 *Block = GetConfigBlock(Provider, QMX_CONF_BLOCK_NAME);
  DecideBlock(Block, DECISION_BLOCK_QMX_CONF);
  if (Block != nullptr) {
    BootServices()->CopyMem(Block, SetupData() + SETUP_QMX_CONF_OFFSET, SETUP_QMX_CONF_SIZE);
  }
}

} // namespace

EFI_STATUS ApplySetupToConfigBlocks() {
  // A failed read leaves the Setup image as it was; the copy below uses it anyway,
  // and the option ROM lookup retries while the image is still marked unread.
  (void)LoadSetupData();
  // The service record carries the lookup's status.
  PLATFORM_CONFIG_BLOCK_PROTOCOL *Provider = LocateService<PLATFORM_CONFIG_BLOCK_PROTOCOL>(
      PLATFORM_CONFIG_BLOCK_PROTOCOL_GUID, DECISION_SERVICE_CONFIG_BLOCKS);
  if (Provider == nullptr) {
    Decide(DECISION_KIND::ConfigBlock, DECISION_REASON::NoProvider, DECISION_NOWHERE);
    return EFI_SUCCESS;
  }
  WriteThirdIoApicBase(Provider);
  CopySetupIntoQmxConf(Provider);
  return EFI_SUCCESS;
}
