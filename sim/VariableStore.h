// Firmware variables with the GetVariable contract of the UEFI specification
// (section 8.2): size in and out, EFI_BUFFER_TOO_SMALL with the needed size,
// and the caller's buffer untouched on every error.
#pragma once

#include "base/Uefi.h"
#include "sim/Guid.h"

#include <map>
#include <string>
#include <utility>
#include <vector>

// Variable attributes (UEFI specification, section 8.2).
inline constexpr UINT32 EFI_VARIABLE_NON_VOLATILE = 0x00000001U;
inline constexpr UINT32 EFI_VARIABLE_BOOTSERVICE_ACCESS = 0x00000002U;
inline constexpr UINT32 EFI_VARIABLE_RUNTIME_ACCESS = 0x00000004U;

namespace sim {

class VariableStore {
public:
  void Set(const std::u16string &Name, const EFI_GUID &Vendor, std::vector<UINT8> Data,
           UINT32 Attributes = EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS);
  void Remove(const std::u16string &Name, const EFI_GUID &Vendor);
  bool Exists(const std::u16string &Name, const EFI_GUID &Vendor) const;
  // Every GetVariable of this variable answers Status (an error) from now on.
  void FailWith(const std::u16string &Name, const EFI_GUID &Vendor, EFI_STATUS Status);

  EFI_STATUS Get(const CHAR16 *Name, const EFI_GUID *Vendor, UINT32 *Attributes, UINTN *DataSize, VOID *Data);
  EFI_STATUS SetFromService(const CHAR16 *Name, const EFI_GUID *Vendor, UINT32 Attributes, UINTN DataSize,
                            const VOID *Data);

  // GetVariable calls made for this name, whatever their outcome.
  size_t ReadCount(const std::u16string &Name) const;

private:
  using Key = std::pair<std::u16string, EFI_GUID>;
  struct KeyLess {
    bool operator()(const Key &Left, const Key &Right) const;
  };
  struct Variable {
    std::vector<UINT8> Data;
    UINT32 Attributes;
  };
  std::map<Key, Variable, KeyLess> Variables;
  std::map<Key, EFI_STATUS, KeyLess> Failures;
  std::map<std::u16string, size_t> Reads;
};

} // namespace sim
