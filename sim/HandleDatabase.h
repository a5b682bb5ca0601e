// Handles and the protocol interfaces installed on them, with the UEFI boot
// services' contracts: install on a new or existing handle, look up by handle,
// locate the first instance, list handles by protocol. Failures can be
// injected per protocol or per handle and protocol.
#pragma once

#include "base/Uefi.h"
#include "sim/Guid.h"

#include <map>
#include <memory>
#include <utility>
#include <vector>

namespace sim {

class Pool;

class HandleDatabase {
public:
  explicit HandleDatabase(Pool &PoolForBuffers) : Buffers(PoolForBuffers) {}

  EFI_STATUS Install(EFI_HANDLE *Handle, const EFI_GUID &Protocol, VOID *Interface);
  // All pairs or none; a new handle is made only when every pair can go on it.
  EFI_STATUS InstallMultiple(EFI_HANDLE *Handle, const std::vector<std::pair<const EFI_GUID *, VOID *>> &Pairs);
  EFI_STATUS Uninstall(EFI_HANDLE Handle, const EFI_GUID &Protocol, VOID *Interface);
  EFI_STATUS HandleProtocol(EFI_HANDLE Handle, const EFI_GUID &Protocol, VOID **Interface);
  EFI_STATUS LocateProtocol(const EFI_GUID &Protocol, VOID **Interface);
  EFI_STATUS LocateHandleBuffer(EFI_LOCATE_SEARCH_TYPE SearchType, const EFI_GUID *Protocol, UINTN *Count,
                                EFI_HANDLE **Buffer);

  // Handles carrying Protocol, in installation order.
  std::vector<EFI_HANDLE> HandlesWith(const EFI_GUID &Protocol) const;
  // The interface of Protocol on Handle, or null.
  VOID *Find(EFI_HANDLE Handle, const EFI_GUID &Protocol) const;
  bool IsHandle(EFI_HANDLE Handle) const;
  size_t HandleCount() const { return Handles.size(); }
  EFI_HANDLE NewHandle();

  // Fault injection.
  void FailLocateProtocol(const EFI_GUID &Protocol, EFI_STATUS Status) { LocateFailures[Protocol] = Status; }
  void FailHandleProtocol(EFI_HANDLE Handle, const EFI_GUID &Protocol, EFI_STATUS Status) {
    HandleFailures[{Handle, Protocol}] = Status;
  }
  void FailLocateHandleBuffer(EFI_STATUS Status) { LocateHandleBufferFailure = Status; }
  void FailInstall(const EFI_GUID &Protocol, EFI_STATUS Status) { InstallFailures[Protocol] = Status; }

private:
  struct Installed {
    EFI_GUID Protocol;
    VOID *Interface;
  };
  struct HandleRecord {
    std::vector<Installed> Protocols;
  };
  struct HandleKeyLess {
    bool operator()(const std::pair<EFI_HANDLE, EFI_GUID> &Left, const std::pair<EFI_HANDLE, EFI_GUID> &Right) const;
  };

  HandleRecord *Record(EFI_HANDLE Handle) const;

  Pool &Buffers;
  std::vector<std::unique_ptr<HandleRecord>> Handles;
  // (handle, protocol) in installation order, across all handles.
  std::vector<std::pair<EFI_HANDLE, EFI_GUID>> InstallOrder;
  std::map<EFI_GUID, EFI_STATUS, GuidLess> LocateFailures;
  std::map<EFI_GUID, EFI_STATUS, GuidLess> InstallFailures;
  std::map<std::pair<EFI_HANDLE, EFI_GUID>, EFI_STATUS, HandleKeyLess> HandleFailures;
  EFI_STATUS LocateHandleBufferFailure = EFI_SUCCESS;
};

} // namespace sim
