#include "sim/Pool.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {

Pool::~Pool() {
  for (auto &[Buffer, Info] : Live) {
    (void)Info;
    std::free(Buffer);
  }
}

void Pool::FailAllocation(size_t Nth) { FailAt = Nth == 0 ? 0 : Requests + Nth; }

void Pool::SucceedWithoutBuffer(size_t Nth) { NullAt = Nth == 0 ? 0 : Requests + Nth; }

EFI_STATUS Pool::Allocate(EFI_MEMORY_TYPE Type, UINTN Size, VOID **Buffer) {
  ++Requests;
  if (Buffer == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  if (FailAll || Requests == FailAt) {
    ++Failed;
    *Buffer = nullptr;
    return EFI_OUT_OF_RESOURCES;
  }
  if (Requests == NullAt) {
    *Buffer = nullptr;
    return EFI_SUCCESS;
  }
  VOID *Memory = std::malloc(Size == 0 ? 1 : Size);
  if (Memory == nullptr) {
    *Buffer = nullptr;
    return EFI_OUT_OF_RESOURCES;
  }
  std::memset(Memory, kFreshPoison, Size);
  Live[Memory] = Allocation{Size, Type, Requests};
  Freed.erase(Memory);
  *Buffer = Memory;
  return EFI_SUCCESS;
}

EFI_STATUS Pool::Free(VOID *Buffer) {
  const auto Found = Live.find(Buffer);
  if (Found == Live.end()) {
    char Text[96];
    std::snprintf(Text, sizeof(Text), "%s of %p", Freed.count(Buffer) != 0 ? "double free" : "foreign free", Buffer);
    FaultLog.emplace_back(Text);
    return EFI_INVALID_PARAMETER;
  }
  Live.erase(Found);
  Freed.insert(Buffer);
  std::free(Buffer);
  return EFI_SUCCESS;
}

} // namespace sim
