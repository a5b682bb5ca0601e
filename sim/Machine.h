// The firmware model: one machine holding the handle database, boot and runtime
// services, the PCI hierarchy behind a root-bridge I/O protocol, physical memory
// behind a CPU I/O protocol, and the access log. The driver is loaded into it
// and called exactly as the firmware would call it.
#pragma once

#include "PciCallback.h"
#include "base/Decisions.h"
#include "base/Protocols.h"
#include "host/HostSeam.h"
#include "sim/AccessLog.h"
#include "sim/HandleDatabase.h"
#include "sim/MemorySpace.h"
#include "sim/PciBus.h"
#include "sim/Pool.h"
#include "sim/VariableStore.h"

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace sim {

class FirmwareVolume;
class PciIoDevice;

class Machine final : private host::SeamTarget {
public:
  // The machine becomes the one the firmware services and the physical-memory
  // seam act on; only one exists at a time.
  Machine();
  ~Machine();
  Machine(const Machine &) = delete;
  Machine &operator=(const Machine &) = delete;

  static Machine &Current();

  Pool &Memory() { return PoolMemory; }
  HandleDatabase &Handles() { return Database; }
  VariableStore &Variables() { return Store; }
  PciBus &Pci() { return Bus; }
  MemorySpace &Physical() { return Mmio; }
  AccessLog &Log() { return Accesses; }
  const AccessLog &Log() const { return Accesses; }
  EFI_SYSTEM_TABLE *SystemTable() { return &System; }
  EFI_BOOT_SERVICES *BootServices() { return &Boot; }

  EFI_HANDLE HostBridgeHandle() const { return HostBridge; }
  EFI_HANDLE RootBridgeHandle() const { return RootBridge; }
  EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *RootBridgeIo() { return &RootBridgeProtocol; }
  EFI_CPU_IO_PROTOCOL *CpuIo() { return &CpuIoProtocol; }

  // Firmware volumes and per-device PCI I/O instances, each on a new handle
  // and alive as long as the machine. Volumes are listed in the order added.
  FirmwareVolume &AddFirmwareVolume();
  PciIoDevice &AddPciIoDevice(Bdf Where, UINT32 Segment = 0);
  // The PCI I/O instance installed on Handle, or null.
  const PciIoDevice *PciIoDeviceOn(EFI_HANDLE Handle) const;

  // Loads the driver image afresh (module globals zero, as a new image holds
  // them) and calls its entry point.
  EFI_STATUS LoadDriver();
  EFI_HANDLE DriverImageHandle() const { return ImageHandle; }
  // The platform protocol the driver installed, or null.
  EFI_PCI_PLATFORM_PROTOCOL *PciPlatform();
  // The callback protocol the driver installed, or null.
  PCI_CALLBACK_PROTOCOL *PciCallback();

  // Configuration and window accesses allowed from now on (0 = no limit). Past
  // the limit the hardware goes silent: reads fail or read all ones, writes are
  // dropped, nothing more is logged, and one fault is recorded. A run that
  // would never end then winds down and is reported instead of hanging.
  void LimitAccesses(size_t Limit) {
    AccessLimit = Limit;
    Counted = 0;
  }
  size_t AccessesCounted() const { return Counted; }

  // The driver's decisions, in the order it made them.
  const std::vector<DECISION> &Decisions() const { return DecisionLog; }
  void RecordDecision(const DECISION &Decision) override { DecisionLog.push_back(Decision); }

  // Virtual time advanced only by Stall.
  UINT64 ElapsedMicroseconds() const { return Microseconds; }
  size_t StallCalls() const { return Stalls; }

  // Everything the model saw go wrong: pool misuse, physical accesses outside
  // what the driver may touch. Empty after a sound run.
  std::vector<std::string> Faults() const;
  void RecordFault(std::string Fault) { FaultLog.push_back(std::move(Fault)); }

  // The physical-memory seam of the host build lands here.
  UINT64 PhysicalRead(UINT64 Address, UINT8 Width) override;
  void PhysicalWrite(UINT64 Address, UINT8 Width, UINT64 Value) override;

  // Root-bridge and CPU I/O accesses, logged.
  EFI_STATUS RootBridgeAccess(bool Write, EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_WIDTH Width, UINT64 Address, UINTN Count,
                              VOID *Buffer);
  // A root-bridge read of one element that needs no more than a lookup (see
  // PciBus::ReadWithoutEffect), performed and logged as RootBridgeAccess would
  // without calling out; false, with nothing done, for every other read.
  // Defined in sim/Machine.cpp and inlined into the root bridge's entry there.
  bool ReadWithoutCall(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_WIDTH Width, UINT64 Address, UINTN Count, VOID *Buffer);
  EFI_STATUS CpuMemoryAccess(bool Write, EFI_CPU_IO_PROTOCOL_WIDTH Width, UINT64 Address, UINTN Count, VOID *Buffer);
  void Stall(UINTN Microseconds);
  // Every CPU I/O access of Kind (MemoryRead or MemoryWrite) starting at
  // Address answers Status from now on; it reaches no device and is logged.
  void FailCpuMemoryAccess(AccessKind Kind, UINT64 Address, EFI_STATUS Status) {
    CpuMemoryFailures[{Kind, Address}] = Status;
  }

  // Whether the chipset decodes the configuration window (the default). A
  // board without one (QEMU's q35, whose ECAM lies elsewhere) reads 0 there
  // and drops writes; the driver's accesses are still logged.
  void SetConfigWindowDecoded(bool Decoded) { WindowDecoded = Decoded; }

  // Whether the root bridge allows 16- and 32-bit configuration accesses at
  // registers not aligned to their width. Real root-bridge implementations
  // refuse them with EFI_INVALID_PARAMETER, and so does the model by default;
  // the refused access is logged with that status.
  void SetUnalignedConfigAccess(bool Allowed) { UnalignedAllowed = Allowed; }

private:
  void BuildServiceTables();
  // Counts one configuration or window access; false once past the limit.
  bool WithinAccessLimit() {
    ++Counted;
    return AccessLimit == 0 || Counted <= AccessLimit || !PastAccessLimit();
  }
  bool PastAccessLimit(); // records the fault once; true

  Pool PoolMemory;
  HandleDatabase Database{PoolMemory};
  VariableStore Store;
  PciBus Bus;
  MemorySpace Mmio;
  AccessLog Accesses;
  EFI_BOOT_SERVICES Boot{};
  EFI_RUNTIME_SERVICES Runtime{};
  EFI_SYSTEM_TABLE System{};
  EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL RootBridgeProtocol{};
  EFI_CPU_IO_PROTOCOL CpuIoProtocol{};
  EFI_HANDLE HostBridge = nullptr;
  EFI_HANDLE RootBridge = nullptr;
  EFI_HANDLE CpuIoHandle = nullptr;
  EFI_HANDLE ImageHandle = nullptr;
  UINT64 Microseconds = 0;
  size_t Stalls = 0;
  size_t AccessLimit = 0;
  size_t Counted = 0;
  bool WindowDecoded = true;
  bool UnalignedAllowed = false;
  std::vector<std::string> FaultLog;
  std::vector<DECISION> DecisionLog;
  std::map<std::pair<AccessKind, UINT64>, EFI_STATUS> CpuMemoryFailures;
  std::vector<std::unique_ptr<FirmwareVolume>> Volumes;
  std::vector<std::unique_ptr<PciIoDevice>> PciIoDevices;
};

} // namespace sim
