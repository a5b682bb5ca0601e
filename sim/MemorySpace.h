// Physical memory behind the CPU I/O protocol: memory-mapped devices at fixed
// ranges. Addresses that nothing decodes read all ones and ignore writes.
#pragma once

#include "base/Uefi.h"

#include <map>
#include <memory>

namespace sim {

class MmioDevice {
public:
  virtual ~MmioDevice() = default;
  virtual UINT32 Read32(UINT64 Offset) = 0;
  virtual void Write32(UINT64 Offset, UINT32 Value) = 0;
};

class MemorySpace {
public:
  // Maps Device over [Base, Base + Size); returns it for the caller to inspect.
  template <typename Device> Device &Map(UINT64 Base, UINT64 Size, std::unique_ptr<Device> Instance) {
    Device &Result = *Instance;
    Regions[Base] = Region{Size, std::move(Instance)};
    return Result;
  }
  void Unmap(UINT64 Base) { Regions.erase(Base); }

  // 32-bit aligned accesses reach devices; other widths are assembled from them.
  UINT64 Read(UINT64 Address, UINT8 Width);
  void Write(UINT64 Address, UINT8 Width, UINT64 Value);

private:
  struct Region {
    UINT64 Size;
    std::unique_ptr<MmioDevice> Device;
  };
  MmioDevice *DeviceAt(UINT64 Address, UINT64 *Offset);

  std::map<UINT64, Region> Regions;
};

} // namespace sim
