// Hierarchies generated to a size, for the benchmarks and for the checks that
// the driver's cost grows with the hierarchy as it should: a wide hierarchy of
// switches and multi-function devices that fills a given number of buses, and
// a chain of bridges as deep as bus numbers allow.
#pragma once

#include "sim/PciBus.h"

namespace sim {

struct GeneratedHierarchy {
  unsigned Buses;     // bus numbers in use, bus 0 included
  unsigned Functions; // present functions
  unsigned Bridges;   // PCI-to-PCI bridges among them
};

// Fills Bus with BusCount buses (1 to 256): on bus 0 a host bridge, a
// multi-function south bridge (with the SATA controller the option ROM table
// names) and root ports; behind each root port a switch with up to eight
// downstream ports, each leading to a four-function PCI Express Ethernet
// device (function 0 with two option ROM images). The last root ports take
// what is left: a smaller switch, or one device.
// Every link qualifies for common clock and L1 and trains at once; one
// device in four runs at 5 GT/s, so the host bridge is consulted too.
GeneratedHierarchy AddSwitchedHierarchy(PciBus &Bus, unsigned BusCount);

// A chain of Levels bridges (1 to 255), one per bus from bus 0 down: a root
// port, then switch upstream and downstream ports by turns, each link
// qualifying for common clock and L1; on the last bus an endpoint with the
// smallest max payload size of the chain.
GeneratedHierarchy AddBridgeChain(PciBus &Bus, unsigned Levels);

} // namespace sim
