// Bytes out of a 16550 UART by port I/O, as firmware debug output is written:
// no protocol is needed, so it works from the first instruction of the image.
// The firmware has set the UART up (baud rate, line format); this only waits
// for the transmitter and never for long: a UART that stays busy is given up
// for the rest of the boot, so a missing or stuck port never stalls the boot.
#pragma once

#include "EfiBaseTypes.h"

void UartWrite(UINT16 Base, const char *Text, UINTN Length);
