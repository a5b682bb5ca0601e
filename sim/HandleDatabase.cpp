#include "sim/HandleDatabase.h"

#include "sim/Pool.h"

#include <algorithm>
#include <cstring>

namespace sim {

bool HandleDatabase::HandleKeyLess::operator()(const std::pair<EFI_HANDLE, EFI_GUID> &Left,
                                               const std::pair<EFI_HANDLE, EFI_GUID> &Right) const {
  if (Left.first != Right.first) {
    return std::less<EFI_HANDLE>()(Left.first, Right.first);
  }
  return GuidLess()(Left.second, Right.second);
}

HandleDatabase::HandleRecord *HandleDatabase::Record(EFI_HANDLE Handle) const {
  for (const auto &Candidate : Handles) {
    if (Candidate.get() == Handle) {
      return Candidate.get();
    }
  }
  return nullptr;
}

bool HandleDatabase::IsHandle(EFI_HANDLE Handle) const { return Handle != nullptr && Record(Handle) != nullptr; }

EFI_HANDLE HandleDatabase::NewHandle() {
  Handles.push_back(std::make_unique<HandleRecord>());
  return Handles.back().get();
}

VOID *HandleDatabase::Find(EFI_HANDLE Handle, const EFI_GUID &Protocol) const {
  const HandleRecord *Target = Record(Handle);
  if (Target == nullptr) {
    return nullptr;
  }
  for (const auto &Entry : Target->Protocols) {
    if (Entry.Protocol == Protocol) {
      return Entry.Interface;
    }
  }
  return nullptr;
}

EFI_STATUS HandleDatabase::Install(EFI_HANDLE *Handle, const EFI_GUID &Protocol, VOID *Interface) {
  return InstallMultiple(Handle, {{&Protocol, Interface}});
}

EFI_STATUS HandleDatabase::InstallMultiple(EFI_HANDLE *Handle,
                                           const std::vector<std::pair<const EFI_GUID *, VOID *>> &Pairs) {
  if (Handle == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  if (*Handle != nullptr && !IsHandle(*Handle)) {
    return EFI_INVALID_PARAMETER;
  }
  for (size_t Index = 0; Index < Pairs.size(); ++Index) {
    const EFI_GUID &Protocol = *Pairs[Index].first;
    const auto Injected = InstallFailures.find(Protocol);
    if (Injected != InstallFailures.end()) {
      return Injected->second;
    }
    const bool OnHandle = *Handle != nullptr && Find(*Handle, Protocol) != nullptr;
    const bool Repeated = std::any_of(Pairs.begin(), Pairs.begin() + static_cast<long>(Index),
                                      [&](const auto &Earlier) { return *Earlier.first == Protocol; });
    if (OnHandle || Repeated) {
      return EFI_INVALID_PARAMETER;
    }
  }
  if (*Handle == nullptr) {
    *Handle = NewHandle();
  }
  HandleRecord *Target = Record(*Handle);
  for (const auto &[Protocol, Interface] : Pairs) {
    Target->Protocols.push_back({*Protocol, Interface});
    InstallOrder.emplace_back(*Handle, *Protocol);
  }
  return EFI_SUCCESS;
}

EFI_STATUS HandleDatabase::Uninstall(EFI_HANDLE Handle, const EFI_GUID &Protocol, VOID *Interface) {
  HandleRecord *Target = Record(Handle);
  if (Target == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  const auto Found = std::find_if(Target->Protocols.begin(), Target->Protocols.end(), [&](const Installed &Entry) {
    return Entry.Protocol == Protocol && Entry.Interface == Interface;
  });
  if (Found == Target->Protocols.end()) {
    return EFI_NOT_FOUND;
  }
  Target->Protocols.erase(Found);
  InstallOrder.erase(std::find(InstallOrder.begin(), InstallOrder.end(), std::make_pair(Handle, Protocol)));
  return EFI_SUCCESS;
}

EFI_STATUS HandleDatabase::HandleProtocol(EFI_HANDLE Handle, const EFI_GUID &Protocol, VOID **Interface) {
  if (Interface == nullptr || !IsHandle(Handle)) {
    return EFI_INVALID_PARAMETER;
  }
  const auto Injected = HandleFailures.find({Handle, Protocol});
  if (Injected != HandleFailures.end()) {
    *Interface = nullptr;
    return Injected->second;
  }
  *Interface = Find(Handle, Protocol);
  return *Interface != nullptr ? EFI_SUCCESS : EFI_UNSUPPORTED;
}

EFI_STATUS HandleDatabase::LocateProtocol(const EFI_GUID &Protocol, VOID **Interface) {
  if (Interface == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  const auto Injected = LocateFailures.find(Protocol);
  if (Injected != LocateFailures.end()) {
    *Interface = nullptr;
    return Injected->second;
  }
  for (const auto &[Handle, Installed] : InstallOrder) {
    if (Installed == Protocol) {
      *Interface = Find(Handle, Protocol);
      return EFI_SUCCESS;
    }
  }
  *Interface = nullptr;
  return EFI_NOT_FOUND;
}

std::vector<EFI_HANDLE> HandleDatabase::HandlesWith(const EFI_GUID &Protocol) const {
  std::vector<EFI_HANDLE> Result;
  for (const auto &[Handle, Installed] : InstallOrder) {
    if (Installed == Protocol && std::find(Result.begin(), Result.end(), Handle) == Result.end()) {
      Result.push_back(Handle);
    }
  }
  return Result;
}

EFI_STATUS HandleDatabase::LocateHandleBuffer(EFI_LOCATE_SEARCH_TYPE SearchType, const EFI_GUID *Protocol, UINTN *Count,
                                              EFI_HANDLE **Buffer) {
  if (Count == nullptr || Buffer == nullptr || SearchType != ByProtocol || Protocol == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  *Count = 0;
  *Buffer = nullptr;
  if (EFI_ERROR(LocateHandleBufferFailure)) {
    return LocateHandleBufferFailure;
  }
  const std::vector<EFI_HANDLE> Found = HandlesWith(*Protocol);
  if (Found.empty()) {
    return EFI_NOT_FOUND;
  }
  VOID *Array = nullptr;
  const EFI_STATUS Status = Buffers.Allocate(EfiBootServicesData, Found.size() * sizeof(EFI_HANDLE), &Array);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  std::memcpy(Array, Found.data(), Found.size() * sizeof(EFI_HANDLE));
  *Count = Found.size();
  *Buffer = static_cast<EFI_HANDLE *>(Array);
  return EFI_SUCCESS;
}

} // namespace sim
