#include "efi/Uart16550.h"

namespace {

constexpr UINT16 UART_LINE_STATUS = 5;
constexpr UINT8 UART_LINE_STATUS_THR_EMPTY = 0x20; // bit 5: the transmit holding register takes a byte
// About 50 ms of polls on real hardware, several character times at 9600 baud.
constexpr UINT32 UART_READY_POLLS = 50000;

bool mUartGivenUp;

UINT8 InPort8(UINT16 Port) {
  UINT8 Value = 0;
  asm volatile("inb %1, %0" : "=a"(Value) : "Nd"(Port));
  return Value;
}

void OutPort8(UINT16 Port, UINT8 Value) { asm volatile("outb %0, %1" : : "a"(Value), "Nd"(Port)); }

bool TransmitterReady(UINT16 Base) {
  for (UINT32 Poll = 0; Poll < UART_READY_POLLS; ++Poll) {
    if ((InPort8(static_cast<UINT16>(Base + UART_LINE_STATUS)) & UART_LINE_STATUS_THR_EMPTY) != 0) {
      return true;
    }
  }
  return false;
}

} // namespace

void UartWrite(UINT16 Base, const char *Text, UINTN Length) {
  for (UINTN Index = 0; Index < Length && !mUartGivenUp; ++Index) {
    if (!TransmitterReady(Base)) {
      mUartGivenUp = true;
      return;
    }
    OutPort8(Base, static_cast<UINT8>(Text[Index]));
  }
}
