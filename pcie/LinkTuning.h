// PCI Express link tuning at the begin of resource allocation: common clock
// and ASPM L1 on the links below the bus-0 ports, with retraining, then one
// max payload size for every PCI Express function.
#pragma once

#include "base/Protocols.h"

// Its presence, whatever it holds, switches the ASPM pass off. A variable
// larger than the buffer does not count as present.
inline constexpr EFI_GUID DISABLE_ASPM_VARIABLE_GUID = {
    0x7C436110, 0xAB2A, 0x4BBB, {0xA8, 0x80, 0xFE, 0x41, 0x99, 0x5C, 0x9F, 0x82}};
inline constexpr const CHAR16 *DISABLE_ASPM_VARIABLE_NAME = u"DisableASPM";
inline constexpr UINTN DISABLE_ASPM_VARIABLE_BUFFER_SIZE = 32;

// How long a retrained link may stay in training before the driver moves on,
// and how often it looks meanwhile. A link that trains at all does so well
// within a second; a stuck one must not hold the boot longer than that.
inline constexpr UINTN PCIE_LINK_TRAINING_TIMEOUT_US = 1000000;
inline constexpr UINTN PCIE_LINK_TRAINING_POLL_INTERVAL_US = 1000;
// The most all retrain waits of one ASPM pass stall together. Each link is
// waited for once per pass (the children of a port share its one link); past
// the budget retrains are still requested but not waited for, so links that
// never finish training delay the boot by at most this much per
// begin-resource-allocation notification, however many there are. Two waits'
// worth: a stuck link costs its full timeout and leaves as much again for the
// links that train, which take far less.
inline constexpr UINTN PCIE_LINK_RETRAIN_BUDGET_US = 2 * PCIE_LINK_TRAINING_TIMEOUT_US;

// Sets common clock and L1 on the qualifying links below every bus-0 bridge,
// unless "DisableASPM" exists.
void ConfigurePcieAspm(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *RootBridgeIo);

// Gives every PCI Express function reachable from bus 0 the largest max
// payload size all of them support.
void ConfigureMaxPayload(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *RootBridgeIo);

enum class MAX_PAYLOAD_MODE : UINT8 {
  Gather = 0, // lower Minimum to each function's supported size
  Apply = 1,  // program Minimum into each function's device control
};
// One walk over Bus and the buses below its PCI Express ports.
void ProgramMaxPayload(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *RootBridgeIo, UINT8 Bus, MAX_PAYLOAD_MODE Mode, UINT8 &Minimum);
