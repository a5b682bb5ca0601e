// The one walk over a PCI hierarchy that every pass of the driver is built on:
// depth first from a first bus, in the shared scan order, descending below a
// function only to a secondary bus above the current one and entering each bus
// at most once per walk. Bus numbers are programmed by firmware and may be
// wrong (loops, several bridges claiming one bus); these two rules keep every
// walk finite and linear in the size of the hierarchy.
//
// The walk is iterative: its levels live in one array of PCI_WALK_MAX_LEVELS
// entries (a descent always goes to a higher bus number, so 256 buses bound the
// depth), and the machine stack it needs does not grow with the hierarchy.
//
// A walker supplies:
//   LEVEL_STATE  what a level carries for it, e.g. the port above the bus;
//   BELOW_FIRST  how buses below the first are scanned (PCI_BUS_SCAN);
//   PCI_FUNCTION_PROBE Probe(UINT8 Bus, UINT8 Device, UINT8 Function)
//                probes one function; its header type steers the scan order;
//   UINT8 Visit(LEVEL_STATE &Level, const PCI_WALK_POSITION &At, const PCI_BUS_SET &Entered,
//               LEVEL_STATE *Below)
//                runs for each present function and returns the bus below it
//                (0: none), with *Below filled for that level. The walk
//                descends there when PciWalkMayDescend allows; a walker whose
//                visit does work only for a descent asks it first;
//   void Leave(const LEVEL_STATE &Level)
//                runs when a bus the walk descended to is done.
#pragma once

#include "BusSet.h"
#include "ScanOrder.h"

inline constexpr UINTN PCI_WALK_MAX_LEVELS = 256;

// How a walk scans the functions of a bus.
enum class PCI_BUS_SCAN : UINT8 {
  ScanOrder,    // the shared scan order (ScanOrder.h)
  FunctionZero, // function 0 of devices 0-31 only
};

// A present function the walk has reached.
struct PCI_WALK_POSITION {
  UINT8 Bus;
  UINT8 Device;
  UINT8 Function;
  UINT8 HeaderType;
};

// Whether a walk at Bus may descend to Secondary.
inline bool PciWalkMayDescend(const PCI_BUS_SET &Entered, UINT8 Bus, UINT8 Secondary) {
  return Secondary > Bus && !Entered.Contains(Secondary);
}

// Device * 8 + function: the position a level's scan resumes at.
using PCI_SCAN_SLOT = UINT16;
inline constexpr PCI_SCAN_SLOT PCI_SCAN_SLOT_END = (PCI_MAX_DEVICE + 1) * (PCI_MAX_FUNCTION + 1);

// The slot after Slot. Function 0's multi-function decision is taken from its
// probe, before the walk can descend below it.
constexpr PCI_SCAN_SLOT NextScanSlot(PCI_SCAN_SLOT Slot, PCI_FUNCTION_PROBE Found, PCI_BUS_SCAN Scan) {
  const PCI_SCAN_SLOT NextDevice = (Slot | PCI_MAX_FUNCTION) + 1;
  const bool SingleFunctionDevice =
      (Slot & PCI_MAX_FUNCTION) == 0 && Found.Present && !IsMultiFunction(Found.HeaderType);
  return Scan == PCI_BUS_SCAN::FunctionZero || SingleFunctionDevice ? NextDevice : Slot + 1;
}

template <typename LEVEL_STATE> struct PCI_WALK_LEVEL {
  PCI_SCAN_SLOT Next;
  UINT8 Bus;
  LEVEL_STATE State;
};

template <typename WALKER>
void WalkPciHierarchy(WALKER &Walker, UINT8 FirstBus, const typename WALKER::LEVEL_STATE &FirstLevel) {
  using LEVEL_STATE = typename WALKER::LEVEL_STATE;
  PCI_WALK_LEVEL<LEVEL_STATE> Levels[PCI_WALK_MAX_LEVELS];
  PCI_BUS_SET Entered;
  Entered.Add(FirstBus);
  Levels[0] = {0, FirstBus, FirstLevel};
  UINTN Depth = 1;
  while (Depth != 0) {
    PCI_WALK_LEVEL<LEVEL_STATE> &Level = Levels[Depth - 1];
    if (Level.Next == PCI_SCAN_SLOT_END) {
      if (--Depth != 0) {
        Walker.Leave(Level.State);
      }
      continue;
    }
    const auto Device = static_cast<UINT8>(Level.Next / (PCI_MAX_FUNCTION + 1));
    const auto Function = static_cast<UINT8>(Level.Next & PCI_MAX_FUNCTION);
    const PCI_FUNCTION_PROBE Found = Walker.Probe(Level.Bus, Device, Function);
    Level.Next = NextScanSlot(Level.Next, Found, Depth == 1 ? PCI_BUS_SCAN::ScanOrder : WALKER::BELOW_FIRST);
    if (!Found.Present) {
      continue;
    }
    LEVEL_STATE Below{};
    const UINT8 Secondary = Walker.Visit(Level.State, {Level.Bus, Device, Function, Found.HeaderType}, Entered, &Below);
    if (PciWalkMayDescend(Entered, Level.Bus, Secondary) && Depth < PCI_WALK_MAX_LEVELS) {
      Entered.Add(Secondary);
      Levels[Depth++] = {0, Secondary, Below};
    }
  }
}
