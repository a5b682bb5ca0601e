// The work each enumeration phase carries, in the order the phase performs it,
// and the services and root bridge the phases locate. PlatformNotify and
// PlatformPrepController call these; each reads like the sequence of subsystem
// actions it runs.
#pragma once

#include "base/Protocols.h"

// Nothing located, no root bridge noted.
void ResetEnumerationState();

void OnBeginEnumeration();
void OnBeginResourceAllocation();
void OnEndResourceAllocation();
// Every walk uses the first root bridge the bus driver names.
void NoteRootBridge(EFI_HANDLE RootBridge);
void OnPrepareController(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_PCI_ADDRESS PciAddress);
