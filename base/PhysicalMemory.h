// Plain loads and stores at physical addresses, which the boot environment maps
// one to one. The image implements them with volatile accesses (efi/); the host
// build routes them into the firmware model (sim/). Nothing else in the driver
// touches memory it does not own.
#pragma once

#include "EfiBaseTypes.h"

UINT8 PhysicalRead8(UINT64 Address);
UINT16 PhysicalRead16(UINT64 Address);
void PhysicalWrite8(UINT64 Address, UINT8 Value);
void PhysicalWrite16(UINT64 Address, UINT16 Value);
