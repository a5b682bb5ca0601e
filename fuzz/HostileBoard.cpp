#include "fuzz/HostileBoard.h"

#include <algorithm>

#include "published/PciLayout.h"
#include "published/Published.h"
#include "sim/BoardBuilder.h"

namespace fuzz {

using namespace published::layout;

namespace {

constexpr UINT8 kFunctionCapabilityListBit = 0x01;
constexpr UINT8 kFunctionPcie = 0x02;
constexpr UINT8 kFunctionL1 = 0x04;
constexpr UINT8 kFunctionSlotClock = 0x08;
constexpr UINT8 kFunctionFailAllReads = 0x10;
constexpr UINT8 kFunctionFailOneRegister = 0x20;
constexpr UINT8 kFunctionCapabilityCycle = 0x40;
constexpr UINT8 kFunctionVendorAbsent = 0x80;
constexpr UINT8 kTrainingNever = 0x0F;
constexpr UINT8 kDefaultCapabilityOffset = 0x40;
constexpr UINT8 kFillerCapabilityId = 0x09; // vendor specific
constexpr size_t kMaxCallbacks = 16;

HostileFunction DecodeFunction(ByteReader &Input) {
  HostileFunction Function{};
  const UINT8 Bus = Input.Byte();
  const UINT8 DeviceAndFunction = Input.Byte();
  Function.Where = {Bus, static_cast<UINT8>(DeviceAndFunction & 0x1F), static_cast<UINT8>(DeviceAndFunction >> 5)};
  Function.HeaderType = Input.Byte();
  Function.SecondaryBus = Input.Byte();
  Function.Flags = Input.Byte();
  Function.CapabilityOffset = Input.Byte();
  Function.PortAndPayload = Input.Byte();
  Function.SpeedAndTraining = Input.Byte();
  Function.FailingRegister = Input.Byte();
  Function.PokeCount = Input.Byte() & 0x07;
  for (UINT8 Index = 0; Index < Function.PokeCount; ++Index) {
    const UINT8 Offset = Input.Byte();
    Function.Pokes[Index] = {Offset, Input.Byte()};
  }
  return Function;
}

void BuildFunction(const HostileFunction &Description, UINT16 DeviceId, sim::Machine &Target) {
  sim::PciFunction &Function = Target.Pci().Add(Description.Where);
  Function.Ids((Description.Flags & kFunctionVendorAbsent) != 0 ? 0xFFFF : 0x8086, DeviceId).ClassCode(0xFF, 0x00);
  std::vector<UINT8> Capabilities;
  if ((Description.Flags & kFunctionPcie) != 0) {
    const UINT8 Offset = Description.CapabilityOffset == 0 ? kDefaultCapabilityOffset : Description.CapabilityOffset;
    // A filler capability first, so that a cycle has somewhere to go back to.
    if ((Description.Flags & kFunctionCapabilityCycle) != 0 && Offset != kDefaultCapabilityOffset) {
      Capabilities.push_back(Function.NextCapabilityAt(kDefaultCapabilityOffset).AddCapability(kFillerCapabilityId, 4));
    }
    sim::PcieCapabilityConfig Link;
    Link.PortType = Description.PortAndPayload & 0x0F;
    Link.MaxPayloadSupported = (Description.PortAndPayload >> 4) & 0x07;
    Link.L1Supported = (Description.Flags & kFunctionL1) != 0;
    Link.SlotClock = (Description.Flags & kFunctionSlotClock) != 0;
    Link.LinkSpeed = Description.SpeedAndTraining & 0x0F;
    const UINT8 Training = Description.SpeedAndTraining >> 4;
    Link.TrainingReads = Training == kTrainingNever ? sim::kTrainsNever : Training;
    Function.NextCapabilityAt(Offset).PcieCapability(Link);
    Capabilities.push_back(Offset);
  }
  if ((Description.Flags & kFunctionCapabilityCycle) != 0 && !Capabilities.empty()) {
    Function.Poke8(Capabilities.back() + PCI_CAPABILITY_NEXT_OFFSET, Capabilities.front());
  }
  if ((Description.Flags & kFunctionCapabilityListBit) != 0) {
    Function.Poke8(PCI_STATUS_OFFSET, Function.Peek8(PCI_STATUS_OFFSET) | PCI_STATUS_CAPABILITY_LIST);
  }
  Function.Poke8(PCI_HEADER_TYPE_OFFSET, Description.HeaderType);
  Function.Poke8(PCI_BRIDGE_SECONDARY_BUS_OFFSET - 1, Description.Where.Bus);
  Function.Poke8(PCI_BRIDGE_SECONDARY_BUS_OFFSET, Description.SecondaryBus);
  for (UINT8 Index = 0; Index < Description.PokeCount; ++Index) {
    Function.Poke8(Description.Pokes[Index].first, Description.Pokes[Index].second);
  }
  Function.SetReadOnly(0, sim::kConfigSpaceSize);
  if (const auto Cap = Function.PcieCapabilityOffset(); Cap && *Cap + PCIE_CAPABILITY_USED_LENGTH <= 0x100) {
    Function.SetWritableMask(*Cap + PCIE_DEVICE_CONTROL_OFFSET, 0xFF);
    Function.SetWritableMask(*Cap + PCIE_DEVICE_CONTROL_OFFSET + 1, 0xFF);
    Function.SetWritableMask(*Cap + PCIE_LINK_CONTROL_OFFSET, 0xFF);
  }
  if ((Description.Flags & kFunctionFailAllReads) != 0) {
    Target.Pci().FailReads(Description.Where);
  }
  if ((Description.Flags & kFunctionFailOneRegister) != 0) {
    Target.Pci().FailReads(Description.Where, Description.FailingRegister);
  }
}

} // namespace

HostileBoard DecodeHostileBoard(const uint8_t *Data, size_t Size) {
  ByteReader Input(Data, Size);
  HostileBoard Board;
  const UINT8 Flags = Input.Byte();
  Board.DisableAspm = (Flags & 0x01) != 0;
  Board.HostBridgeFamily = (Flags & 0x02) != 0;
  Board.EarlyRevision = (Flags & 0x04) != 0;
  Board.Setup = (Flags & 0x08) != 0;
  Board.NoRootBridge = (Flags & 0x10) != 0;
  Board.NoCpuIo = (Flags & 0x20) != 0;
  Board.UnalignedAllowed = (Flags & 0x40) != 0;
  Board.DisableAspmTooLarge = (Flags & 0x80) != 0;
  Board.FailingAllocation = Input.Byte();
  const size_t Callbacks = Input.Byte() % (kMaxCallbacks + 1);
  for (size_t Index = 0; Index < Callbacks; ++Index) {
    HostileCallback Callback{};
    Callback.Slot = Input.Byte();
    Callback.Mask = Input.Byte();
    const UINT8 Action = Input.Byte();
    Callback.Action = static_cast<CallbackAction>(Action & 0x03);
    Callback.CallsPlatform = (Action & 0x04) != 0;
    Callback.PlatformCall = static_cast<UINT8>(std::min((Action >> 3) & 0x03, 2));
    Callback.Argument = Input.Byte();
    Board.Callbacks.push_back(Callback);
  }
  size_t StuckLinks = 0;
  Board.Functions.reserve(kMostHostileFunctions);
  while (!Input.AtEnd() && Board.Functions.size() < kMostHostileFunctions) {
    HostileFunction Function = DecodeFunction(Input);
    if ((Function.SpeedAndTraining >> 4) == kTrainingNever && ++StuckLinks > kMostStuckLinks) {
      Function.SpeedAndTraining = static_cast<UINT8>(Function.SpeedAndTraining & 0xEF); // 14 reads: trains late
    }
    Board.Functions.push_back(Function);
  }
  return Board;
}

void BuildHostileBoard(const HostileBoard &Board, sim::Machine &Target) {
  if (Board.HostBridgeFamily) {
    sim::AddHostBridge(Target.Pci(), 0x8086, 0x4001, Board.EarlyRevision ? 0x10 : 0x20);
  }
  UINT16 DeviceId = 0x1000;
  for (const HostileFunction &Function : Board.Functions) {
    BuildFunction(Function, DeviceId++, Target);
  }
  if (Board.DisableAspm) {
    const size_t Size = Board.DisableAspmTooLarge ? published::kDisableAspmMaxSize + 1 : 1;
    Target.Variables().Set(published::kDisableAspmName, published::kDisableAspmGuid, std::vector<UINT8>(Size, 1));
  }
  if (Board.Setup) {
    Target.Variables().Set(published::kSetupName, published::kSetupVariableGuid,
                           std::vector<UINT8>(published::kSetupSize, 0x5A));
  }
  if (Board.NoRootBridge) {
    Target.Handles().FailLocateProtocol(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_GUID, EFI_NOT_FOUND);
  }
  Target.SetUnalignedConfigAccess(Board.UnalignedAllowed);
  if (Board.NoCpuIo) {
    Target.Handles().FailLocateProtocol(EFI_CPU_IO_PROTOCOL_GUID, EFI_NOT_FOUND);
  }
}

} // namespace fuzz
