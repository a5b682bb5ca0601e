// The debug image's side of the decision records: each becomes one line on
// the serial port, in the board runner's line format.
#include "base/DecisionTable.h"
#include "efi/Uart16550.h"

#ifndef PCIPLAT_DEBUG_UART_BASE
#error "PCIPLAT_DEBUG_UART_BASE names the debug image's UART (set by the build)"
#endif

void RecordDecision(const DECISION &Decision) {
  char Line[DECISION_LINE_CAPACITY + 2];
  UINTN Length = FormatDecisionLine(Decision, Line, DECISION_LINE_CAPACITY);
  Line[Length++] = '\r';
  Line[Length++] = '\n';
  UartWrite(PCIPLAT_DEBUG_UART_BASE, Line, Length);
}
