#include "sim/VariableStore.h"

#include <cstring>

namespace sim {

bool VariableStore::KeyLess::operator()(const Key &Left, const Key &Right) const {
  if (Left.first != Right.first) {
    return Left.first < Right.first;
  }
  return GuidLess()(Left.second, Right.second);
}

void VariableStore::Set(const std::u16string &Name, const EFI_GUID &Vendor, std::vector<UINT8> Data,
                        UINT32 Attributes) {
  Variables[{Name, Vendor}] = Variable{std::move(Data), Attributes};
}

void VariableStore::Remove(const std::u16string &Name, const EFI_GUID &Vendor) { Variables.erase({Name, Vendor}); }

bool VariableStore::Exists(const std::u16string &Name, const EFI_GUID &Vendor) const {
  return Variables.count({Name, Vendor}) != 0;
}

void VariableStore::FailWith(const std::u16string &Name, const EFI_GUID &Vendor, EFI_STATUS Status) {
  Failures[{Name, Vendor}] = Status;
}

size_t VariableStore::ReadCount(const std::u16string &Name) const {
  const auto Found = Reads.find(Name);
  return Found == Reads.end() ? 0 : Found->second;
}

EFI_STATUS VariableStore::Get(const CHAR16 *Name, const EFI_GUID *Vendor, UINT32 *Attributes, UINTN *DataSize,
                              VOID *Data) {
  if (Name == nullptr || Vendor == nullptr || DataSize == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  const Key Wanted{std::u16string(Name), *Vendor};
  ++Reads[Wanted.first];
  const auto Injected = Failures.find(Wanted);
  if (Injected != Failures.end()) {
    return Injected->second;
  }
  const auto Found = Variables.find(Wanted);
  if (Found == Variables.end()) {
    return EFI_NOT_FOUND;
  }
  const std::vector<UINT8> &Value = Found->second.Data;
  if (*DataSize < Value.size()) {
    *DataSize = Value.size();
    return EFI_BUFFER_TOO_SMALL;
  }
  if (Data == nullptr && !Value.empty()) {
    return EFI_INVALID_PARAMETER;
  }
  if (!Value.empty()) {
    std::memcpy(Data, Value.data(), Value.size());
  }
  *DataSize = Value.size();
  if (Attributes != nullptr) {
    *Attributes = Found->second.Attributes;
  }
  return EFI_SUCCESS;
}

EFI_STATUS VariableStore::SetFromService(const CHAR16 *Name, const EFI_GUID *Vendor, UINT32 Attributes, UINTN DataSize,
                                         const VOID *Data) {
  if (Name == nullptr || Vendor == nullptr || Name[0] == 0 || (DataSize != 0 && Data == nullptr)) {
    return EFI_INVALID_PARAMETER;
  }
  const Key Wanted{std::u16string(Name), *Vendor};
  if (DataSize == 0 || Attributes == 0) {
    return Variables.erase(Wanted) != 0 ? EFI_SUCCESS : EFI_NOT_FOUND;
  }
  const auto *Bytes = static_cast<const UINT8 *>(Data);
  Variables[Wanted] = Variable{std::vector<UINT8>(Bytes, Bytes + DataSize), Attributes};
  return EFI_SUCCESS;
}

} // namespace sim
