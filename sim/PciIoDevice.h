// EFI_PCI_IO_PROTOCOL for one function of the board, on a handle of its own, as
// the PCI bus driver installs it for every device it finds. GetLocation reports
// the function's segment, bus, device and function; Pci.Read and Pci.Write
// reach its configuration space through the root bridge, as a real PCI I/O
// instance does, so the access log records them and PciBus::FailReads applies.
// GetLocation and individual reads can be made to fail.
#pragma once

#include "base/Protocols.h"
#include "sim/PciBus.h"

#include <cstddef>
#include <map>

namespace sim {

class Machine;

class PciIoDevice {
public:
  // Installs the protocol on a new handle of Owner's handle database.
  PciIoDevice(Machine &Owner, Bdf Where, UINT32 Segment);
  PciIoDevice(const PciIoDevice &) = delete;
  PciIoDevice &operator=(const PciIoDevice &) = delete;

  EFI_HANDLE Handle() const { return DeviceHandle; }
  EFI_PCI_IO_PROTOCOL *Protocol() { return &Instance.Protocol; }
  Bdf Location() const { return Where; }
  UINT32 Segment() const { return SegmentNumber; }

  // GetLocation answers Status (an error) from now on and writes nothing, or,
  // with WritesAnyway, still writes the true location: an error that leaves
  // plausible numbers behind, which a caller must not use.
  void FailGetLocation(EFI_STATUS Status, bool WritesAnyway = false) {
    LocationFailure = Status;
    LocationWrittenOnFailure = WritesAnyway;
  }
  // Every Pci.Read starting at Offset answers Status (an error) from now on,
  // without reaching the bus or changing the caller's buffer, or, with
  // ReadsAnyway, after reading the true value into it.
  void FailConfigRead(UINT32 Offset, EFI_STATUS Status, bool ReadsAnyway = false) {
    ReadFailures[Offset] = {Status, ReadsAnyway};
  }

  size_t GetLocationCalls() const { return LocationCalls; }
  size_t ConfigReads() const { return Reads; }

private:
  struct Interface {
    EFI_PCI_IO_PROTOCOL Protocol; // first: the firmware hands callers its address
    PciIoDevice *Device;
  };

  static PciIoDevice &From(EFI_PCI_IO_PROTOCOL *This);
  static EFI_STATUS EFIAPI GetLocationService(EFI_PCI_IO_PROTOCOL *This, UINTN *SegmentOut, UINTN *BusOut,
                                              UINTN *DeviceOut, UINTN *FunctionOut);
  static EFI_STATUS EFIAPI ConfigReadService(EFI_PCI_IO_PROTOCOL *This, EFI_PCI_IO_PROTOCOL_WIDTH Width, UINT32 Offset,
                                             UINTN Count, VOID *Buffer);
  static EFI_STATUS EFIAPI ConfigWriteService(EFI_PCI_IO_PROTOCOL *This, EFI_PCI_IO_PROTOCOL_WIDTH Width, UINT32 Offset,
                                              UINTN Count, VOID *Buffer);
  static EFI_STATUS EFIAPI MemoryOrIoService(EFI_PCI_IO_PROTOCOL *This, EFI_PCI_IO_PROTOCOL_WIDTH Width, UINT8 BarIndex,
                                             UINT64 Offset, UINTN Count, VOID *Buffer);

  EFI_STATUS ConfigAccess(bool Write, EFI_PCI_IO_PROTOCOL_WIDTH Width, UINT32 Offset, UINTN Count, VOID *Buffer);

  Machine &Owner;
  Bdf Where;
  UINT32 SegmentNumber;
  Interface Instance{};
  EFI_HANDLE DeviceHandle = nullptr;
  struct ReadFailure {
    EFI_STATUS Status;
    bool ReadsAnyway;
  };
  EFI_STATUS LocationFailure = EFI_SUCCESS;
  bool LocationWrittenOnFailure = false;
  std::map<UINT32, ReadFailure> ReadFailures;
  size_t LocationCalls = 0;
  size_t Reads = 0;
};

} // namespace sim
