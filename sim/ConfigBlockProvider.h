// The platform driver that keeps the chipset's configuration blocks and hands
// them out by name through PLATFORM_CONFIG_BLOCK_PROTOCOL. Blocks have any
// size and are plain bytes the tests inspect; asking for a block the provider
// does not hold answers EFI_NOT_FOUND.
#pragma once

#include "platform/ConfigBlockProtocol.h"
#include "sim/HandleDatabase.h"

#include <map>
#include <string>
#include <vector>

namespace sim {

class ConfigBlockProvider {
public:
  ConfigBlockProvider();
  ConfigBlockProvider(const ConfigBlockProvider &) = delete;
  ConfigBlockProvider &operator=(const ConfigBlockProvider &) = delete;

  // Installs the interface on a handle of its own.
  EFI_STATUS Install(HandleDatabase &Handles);
  EFI_HANDLE Handle() const { return ProviderHandle; }
  PLATFORM_CONFIG_BLOCK_PROTOCOL *Protocol() { return &Instance.Protocol; }

  // Adds (or replaces) a block of Size bytes, each holding Fill. The storage
  // is exactly Size bytes, so the sanitizers catch a write past its end.
  std::vector<UINT8> &AddBlock(const std::u16string &Name, size_t Size, UINT8 Fill = 0);
  void RemoveBlock(const std::u16string &Name) { Blocks.erase(Name); }
  // Answers success for Name but hands out a null address.
  void AnswerNullFor(const std::u16string &Name) { NullAnswers[Name] = true; }

  bool Has(const std::u16string &Name) const { return Blocks.count(Name) != 0; }
  std::vector<UINT8> &Block(const std::u16string &Name) { return Blocks.at(Name); }
  // GetConfigBlock calls made for Name, found or not.
  size_t Requests(const std::u16string &Name) const;

private:
  // The interface first, so that This leads back to its provider.
  struct Interface {
    PLATFORM_CONFIG_BLOCK_PROTOCOL Protocol;
    ConfigBlockProvider *Owner;
  };
  static EFI_STATUS EFIAPI GetConfigBlock(PLATFORM_CONFIG_BLOCK_PROTOCOL *This, const CHAR16 *Name, VOID **Block);
  EFI_STATUS Get(const CHAR16 *Name, VOID **Block);

  Interface Instance{};
  EFI_HANDLE ProviderHandle = nullptr;
  std::map<std::u16string, std::vector<UINT8>> Blocks;
  std::map<std::u16string, bool> NullAnswers;
  std::map<std::u16string, size_t> RequestCounts;
};

} // namespace sim
