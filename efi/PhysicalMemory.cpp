// Physical accesses in the image: the boot environment maps memory one to one,
// so an address is a pointer. Volatile keeps every access exactly as written.
#include "base/PhysicalMemory.h"

UINT8 PhysicalRead8(UINT64 Address) { return *reinterpret_cast<volatile UINT8 *>(Address); }

UINT16 PhysicalRead16(UINT64 Address) { return *reinterpret_cast<volatile UINT16 *>(Address); }

void PhysicalWrite8(UINT64 Address, UINT8 Value) { *reinterpret_cast<volatile UINT8 *>(Address) = Value; }

void PhysicalWrite16(UINT64 Address, UINT16 Value) { *reinterpret_cast<volatile UINT16 *>(Address) = Value; }
