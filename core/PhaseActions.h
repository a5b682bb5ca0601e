// The work each enumeration phase carries, in the order the phase performs it.
// PlatformNotify and PlatformPrepController call these; each reads like the
// sequence of subsystem actions it runs.
#pragma once

#include "Protocols.h"

void OnBeginEnumeration();
void OnBeginResourceAllocation();
void OnEndResourceAllocation();
void OnPrepareController(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_PCI_ADDRESS PciAddress);
