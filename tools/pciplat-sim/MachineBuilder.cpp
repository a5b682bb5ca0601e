#include "MachineBuilder.h"

#include "sim/IoApic.h"

#include <memory>

namespace pciplat {

namespace {

void LayOutPcie(const DescribedRegisters::PcieCapability &Pcie, sim::PciFunction &Function) {
  if (Pcie.Offset) {
    Function.NextCapabilityAt(*Pcie.Offset);
  }
  Function.PcieCapability(Pcie.Settings);
  const UINT8 Capability = *Function.PcieCapabilityOffset();
  if (Pcie.L1ExitLatencyCode) {
    Function.Poke32(Capability + 0x0CU, Function.Peek32(Capability + 0x0CU) | (*Pcie.L1ExitLatencyCode << 15));
  }
  if (Pcie.L1AcceptableLatencyCode) {
    Function.Poke32(Capability + 0x04U, Function.Peek32(Capability + 0x04U) | (*Pcie.L1AcceptableLatencyCode << 9));
  }
}

} // namespace

// Composed apart and loaded whole, as a captured space is, so that a described
// function and a captured one behave alike in the model.
std::array<UINT8, sim::kConfigSpaceSize> ComposeConfiguration(const sim::Bdf &Location,
                                                              const DescribedRegisters &Registers) {
  // A function of its own, not one of a scratch bus: a bus's tables cost more
  // to set up and take down than composing the registers.
  sim::PciFunction Function(Location);
  Function.Ids(Registers.VendorId, Registers.DeviceId);
  if (Registers.RevisionId) {
    Function.Revision(*Registers.RevisionId);
  }
  if (Registers.ClassCode) {
    const UINT32 Class = *Registers.ClassCode;
    Function.ClassCode(static_cast<UINT8>(Class >> 16), static_cast<UINT8>(Class >> 8), static_cast<UINT8>(Class));
  }
  if (Registers.Bridge) {
    Function.Bridge(Location.Bus, Registers.Bridge->Secondary, Registers.Bridge->Subordinate);
  }
  Function.MultiFunction(Registers.MultiFunction);
  if (Registers.Pcie) {
    LayOutPcie(*Registers.Pcie, Function);
  }
  return Function.Bytes();
}

void BuildMachine(const Board &Layout, sim::Machine &Machine) {
  for (const Board::Function &Function : Layout.Functions) {
    const auto Bytes =
        Function.Described ? ComposeConfiguration(Function.Location, *Function.Described) : Function.Bytes;
    Machine.Pci().Add(Function.Location).LoadConfiguration(Bytes).SetTrainingReads(Function.TrainingReads);
    if (Function.ReadsFail) {
      Machine.Pci().FailReads(Function.Location);
    }
  }
  for (const BoardVariable &Variable : Layout.Variables) {
    Machine.Variables().Set(Variable.Name, Variable.Vendor, Variable.Data);
  }
  for (const UINT64 Base : Layout.IoApics) {
    Machine.Physical().Map(Base, sim::IoApic::kWindowSize, std::make_unique<sim::IoApic>(0));
  }
  if (!Layout.RootBridgeIo) {
    Machine.Handles().FailLocateProtocol(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_GUID, EFI_NOT_FOUND);
  }
  if (!Layout.CpuIo) {
    Machine.Handles().FailLocateProtocol(EFI_CPU_IO_PROTOCOL_GUID, EFI_NOT_FOUND);
  }
  Machine.SetConfigWindowDecoded(Layout.ConfigWindow);
  Machine.SetUnalignedConfigAccess(Layout.UnalignedConfigAccess);
}

std::vector<sim::FirmwareVolume *> BuildFirmwareVolumes(const Board &Layout, sim::Machine &Machine) {
  std::vector<sim::FirmwareVolume *> Volumes;
  for (const BoardVolume &Described : Layout.Volumes) {
    sim::FirmwareVolume &Volume = Machine.AddFirmwareVolume();
    for (const BoardFile &File : Described.Files) {
      Volume.AddRawFile(File.Guid, std::vector<UINT8>(File.Size, File.Fill));
    }
    if (Described.Unreadable) {
      Volume.FailInterfaceLookup(EFI_DEVICE_ERROR);
    }
    Volumes.push_back(&Volume);
  }
  return Volumes;
}

void BuildConfigBlocks(const Board &Layout, sim::Machine &Machine, sim::ConfigBlockProvider &Provider) {
  if (!Layout.ConfigBlockProvider) {
    return;
  }
  for (const BoardConfigBlock &Block : Layout.ConfigBlocks) {
    Provider.AddBlock(std::u16string(Block.Name.begin(), Block.Name.end()), Block.Size);
  }
  (void)Provider.Install(Machine.Handles());
}

} // namespace pciplat
