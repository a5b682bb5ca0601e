// The one record of the calls made into the driver's EFI_PCI_PLATFORM_PROTOCOL:
// a recorder stands between the caller (the sequencer, a test, the runner) and
// the driver, and notes each call with where it began and ended in the access
// log. Per-call access counts (benches, the tests that pin the access pattern)
// and the runner's trace marks are both derived from that record.
#pragma once

#include "sim/Machine.h"

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace sim {

enum class PlatformMember { PlatformNotify, PlatformPrepController, GetPlatformPolicy, GetPciRom };

const char *PlatformMemberName(PlatformMember Member);

struct PlatformCall {
  PlatformMember Member;
  UINT32 Phase = 0; // host-bridge or controller phase
  UINT32 ChipsetPhase = 0;
  // PlatformPrepController's address; GetPciRom's when its handle carries one
  // of the model's PCI I/O instances.
  std::optional<Bdf> Location;
  size_t FirstAccess = 0;                        // access-log index where the call began
  size_t EndAccess = 0;                          // and where it returned: the call made [FirstAccess, EndAccess)
  std::array<size_t, kAccessKinds> MadeByKind{}; // the accesses of each kind in that span
  EFI_STATUS Status = EFI_SUCCESS;
};

// "PlatformNotify(BeginEnumeration, ChipsetEntry)", "GetPciRom(01:00.0)".
std::string FormatPlatformCall(const PlatformCall &Call);

// Where a call begins in the access log, as the trace shows it.
struct CallMark {
  size_t FirstAccess; // index in the access log
  std::string Call;   // as FormatPlatformCall writes it
};

std::vector<CallMark> CallMarks(const std::vector<PlatformCall> &Calls);

// Hand Protocol() to the caller in the driver's place: each call is recorded,
// then made with the driver's own table. Only one exists at a time.
class PlatformCallRecorder {
public:
  PlatformCallRecorder(Machine &Target, EFI_PCI_PLATFORM_PROTOCOL &Driver);
  ~PlatformCallRecorder();
  PlatformCallRecorder(const PlatformCallRecorder &) = delete;
  PlatformCallRecorder &operator=(const PlatformCallRecorder &) = delete;

  EFI_PCI_PLATFORM_PROTOCOL &Protocol() { return Interposed; }
  // In the order the calls began.
  const std::vector<PlatformCall> &Calls() const { return Recorded; }

private:
  static EFI_STATUS EFIAPI Notify(EFI_PCI_PLATFORM_PROTOCOL *This, EFI_HANDLE HostBridge,
                                  EFI_PCI_HOST_BRIDGE_RESOURCE_ALLOCATION_PHASE Phase,
                                  EFI_PCI_EXECUTION_PHASE ChipsetPhase);
  static EFI_STATUS EFIAPI PrepController(EFI_PCI_PLATFORM_PROTOCOL *This, EFI_HANDLE HostBridge, EFI_HANDLE RootBridge,
                                          EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_PCI_ADDRESS PciAddress,
                                          EFI_PCI_CONTROLLER_RESOURCE_ALLOCATION_PHASE Phase,
                                          EFI_PCI_EXECUTION_PHASE ChipsetPhase);
  static EFI_STATUS EFIAPI PlatformPolicy(const EFI_PCI_PLATFORM_PROTOCOL *This, EFI_PCI_PLATFORM_POLICY *PciPolicy);
  static EFI_STATUS EFIAPI PciRom(const EFI_PCI_PLATFORM_PROTOCOL *This, EFI_HANDLE PciHandle, VOID **RomImage,
                                  UINTN *RomSize);
  // Notes a call as it begins; Finish completes the note once it returns.
  size_t Begin(PlatformMember Member, UINT32 Phase = 0, UINT32 ChipsetPhase = 0,
               std::optional<Bdf> Location = std::nullopt);
  EFI_STATUS Finish(size_t Index, EFI_STATUS Status);

  Machine &Board;
  EFI_PCI_PLATFORM_PROTOCOL &Driver;
  EFI_PCI_PLATFORM_PROTOCOL Interposed{};
  std::vector<PlatformCall> Recorded;
};

} // namespace sim
