// Lays a board out into a firmware model: its functions (a description's
// registers composed, a capture's bytes as taken), variables, I/O APICs,
// firmware volumes, configuration blocks, and the services it lacks made
// unavailable.
#pragma once

#include "Board.h"
#include "sim/ConfigBlockProvider.h"
#include "sim/FirmwareVolume.h"
#include "sim/Machine.h"

#include <vector>

namespace pciplat {

// A described function's configuration space as it powers on.
std::array<UINT8, sim::kConfigSpaceSize> ComposeConfiguration(const sim::Bdf &Location,
                                                              const DescribedRegisters &Registers);
// Functions, variables, I/O APICs, the services the board lacks and whether
// the configuration window decodes. Volumes and blocks follow.
void BuildMachine(const Board &Layout, sim::Machine &Machine);
// Adds the board's firmware volumes to Machine, in order, and returns them.
std::vector<sim::FirmwareVolume *> BuildFirmwareVolumes(const Board &Layout, sim::Machine &Machine);
// When the board has a configuration-block provider: adds its blocks to
// Provider and installs it into Machine.
void BuildConfigBlocks(const Board &Layout, sim::Machine &Machine, sim::ConfigBlockProvider &Provider);

} // namespace pciplat
