#include "fuzz/Scenarios.h"

#include "checks/Invariants.h"
#include "fuzz/CallbackHarness.h"
#include "fuzz/HostileBoard.h"
#include "platform/SetupData.h"
#include "published/PciLayout.h"
#include "published/Published.h"
#include "sim/BoardBuilder.h"
#include "sim/FirmwareVolume.h"
#include "sim/PciIoDevice.h"
#include "sim/Sequencer.h"

#include <algorithm>
#include <iterator>

namespace fuzz {

namespace {

using Violations = std::vector<std::string>;

void Append(Violations *All, Violations More, const char *Where) {
  for (std::string &Line : More) {
    All->push_back(std::string(Where) + ": " + std::move(Line));
  }
}

void ExpectSuccess(Violations *All, EFI_STATUS Status, const char *Call) {
  if (Status != EFI_SUCCESS) {
    All->push_back(std::string(Call) + " returned an error");
  }
}

// One full enumeration as the PCI bus driver makes it; every call answers as
// documented.
std::vector<sim::Bdf> Enumerate(sim::Machine &Board, EFI_PCI_PLATFORM_PROTOCOL &Platform, Violations *All) {
  sim::PciBusDriverSequencer Sequencer(Board, Platform);
  Sequencer.Enumerate();
  for (const sim::DriverCall &Call : Sequencer.Calls()) {
    const EFI_STATUS Expected = Call.Member == "GetPlatformPolicy" ? EFI_UNSUPPORTED : EFI_SUCCESS;
    if (Call.Status != Expected) {
      All->push_back(sim::FormatDriverCall(Call) + " answered an undocumented status");
    }
  }
  return Sequencer.Found();
}

CallbackHarness::SlotBehaviour BehaviourOf(const HostileCallback &Callback) {
  CallbackHarness::SlotBehaviour Behaviour;
  switch (Callback.Action) {
  case CallbackAction::RegisterSlot:
    Behaviour.RegistersSlot = true;
    Behaviour.RegisteredSlot = Callback.Argument & 0x07;
    Behaviour.RegisteredMask = Callback.Argument >> 3;
    break;
  case CallbackAction::SetHeaderType:
    Behaviour.SetsHeaderType = true;
    Behaviour.HeaderType = Callback.Argument;
    break;
  case CallbackAction::ToggleBridgeType:
    Behaviour.TogglesBridge = true;
    break;
  case CallbackAction::Nothing:
    break;
  }
  Behaviour.CallsPlatform = Callback.CallsPlatform;
  Behaviour.PlatformCall = Callback.PlatformCall;
  return Behaviour;
}

// Invariants every run keeps, whatever it did.
void CheckRun(sim::Machine &Board, const sim::RegisterOwnership &Owned, const sim::RunBudget &Budget,
              bool AspmSwitchedOff, sim::PoolOwners *Owners, Violations *All) {
  Append(All, Board.Faults(), "model");
  Append(All, sim::CheckConfigurationWrites(Board.Log(), Owned, AspmSwitchedOff), "config");
  Append(All, sim::CheckLinkWritesFollowReads(Board.Log(), Owned), "failed read");
  Append(All, sim::CheckWindowWrites(Board.Log(), Owned, AspmSwitchedOff), "window");
  Append(All, sim::CheckMemoryWrites(Board.Log()), "memory");
  Append(All, sim::CheckBudget(Board, Budget), "budget");
  Append(All, sim::CheckOptionRomSets(Board, Owners), "option ROM set");
  Append(All, sim::CheckPoolAccounting(Board, *Owners), "pool");
}

} // namespace

EnumerationResult EnumerateAndCheck(sim::Machine &Board, const EnumerationOptions &Options) {
  const sim::RegisterOwnership Owned = sim::RegisterOwnership::Of(Board.Pci());
  const size_t Requests = Options.RequestOptionRoms ? Board.Pci().Functions().size() : 0;
  const sim::RunBudget Budget = sim::BudgetFor(Board.Pci(), 1, Requests);
  Board.LimitAccesses(Budget.Accesses);
  EnumerationResult Result{};
  Violations &All = Result.Violations;
  if (Board.LoadDriver() != EFI_SUCCESS || Board.PciPlatform() == nullptr || Board.PciCallback() == nullptr) {
    All.emplace_back("the driver did not install");
    return Result;
  }
  EFI_PCI_PLATFORM_PROTOCOL &Platform = *Board.PciPlatform();
  const size_t AllocationsBefore = Board.Memory().AllocationRequests();
  CallbackHarness Harness(Board, *Board.PciCallback(), &All);
  if (Options.FailingAllocation != 0) {
    Harness.FailAllocation(Options.FailingAllocation);
  }
  for (const HostileCallback &Callback : Options.Callbacks) {
    Harness.SetBehaviour(Callback.Slot, BehaviourOf(Callback));
    Harness.Register(Callback.Slot, Callback.Mask);
  }
  const std::vector<sim::Bdf> Found = Enumerate(Board, Platform, &All);
  std::vector<sim::ReturnedImage> Returned;
  if (Options.RequestOptionRoms) {
    // The bus driver installs PCI I/O on every function it found, then asks
    // for each one's option ROM.
    for (const sim::Bdf &Location : Found) {
      const EFI_HANDLE Handle = Board.AddPciIoDevice(Location).Handle();
      const size_t FailedBefore = Board.Memory().FailedAllocations();
      VOID *Image = nullptr;
      UINTN Size = 0;
      const EFI_STATUS Status = Platform.GetPciRom(&Platform, Handle, &Image, &Size);
      Result.Requests.push_back({Status, Board.Memory().FailedAllocations() != FailedBefore});
      if (Status == EFI_SUCCESS) {
        Returned.push_back({Image, Size});
        if (Image == nullptr || Size == 0) {
          All.emplace_back("GetPciRom succeeded with a null or empty image");
        }
      } else if (Status != EFI_NOT_FOUND) {
        All.emplace_back("GetPciRom answered a status other than EFI_SUCCESS or EFI_NOT_FOUND");
      }
    }
  }
  Result.Allocations = Board.Memory().AllocationRequests() - AllocationsBefore;
  sim::PoolOwners Owners;
  Harness.CheckRegistry(&Owners);
  Append(&All, sim::CheckReturnedImages(Board, Returned, &Owners), "returned image");
  CheckRun(Board, Owned, Budget, Options.AspmSwitchedOff, &Owners, &All);
  return Result;
}

std::vector<std::string> RunEnumeration(const uint8_t *Data, size_t Size) {
  const HostileBoard Description = DecodeHostileBoard(Data, Size);
  sim::Machine Board;
  BuildHostileBoard(Description, Board);
  EnumerationOptions Options;
  Options.AspmSwitchedOff = Description.AspmSwitchedOff();
  Options.FailingAllocation = Description.FailingAllocation;
  Options.Callbacks = Description.Callbacks;
  return EnumerateAndCheck(Board, Options).Violations;
}

namespace {

// GetPciRom input layout (one byte each unless said otherwise):
//   flags     bit0 "Setup" present, bit1 the volume list cannot be had,
//             bit2 every fourth request passes a null RomImage, bit3 a null RomSize
//   "Setup" length / 3, the value of its byte 91
//   failing allocation (0 = none), counted from after the driver is loaded
//   volume count (0-3), each: flags (bit0 interface lookup fails, bit1 files
//             with an odd size byte answer ReadSection with success and a null
//             buffer, bit2 files with an even size byte hold no bytes), file
//             mask (bits 0-4 the table's files, bit 5 a file nobody asks for),
//             then one size byte per file present (size 1 + 16 * byte)
//   device count (0-7), each 8 bytes: table row (7 = none), device, function,
//             vendor ID and device ID when not from a row (2 bytes each, low
//             first), flags (bit0 GetLocation fails, bit1 class read fails,
//             bit2 vendor read fails, bit3 Ethernet class, bit4 no PCI I/O,
//             bit5 device ID read fails, bit6 each failing call still
//             writes the true values)
//   requests until the input ends, one byte each: the handle (devices first,
//             then a null handle, the driver's image handle, a volume handle,
//             something that is no handle)
constexpr UINT8 kTableRows = std::size(published::kOptionRomRows);
constexpr UINTN kSetupEthernetSwitch = published::kSetupEthernetSwitch;

struct RomDevice {
  EFI_HANDLE Handle;
  bool HasPciIo;
  bool Identified; // location, class and IDs readable
  bool Ethernet;
  sim::Bdf Where;
  UINT16 VendorId;
  UINT16 DeviceId;
};

bool MatchesAnyRow(const RomDevice &Device) {
  for (const published::OptionRomRow &Row : published::kOptionRomRows) {
    if (Row.VendorId == Device.VendorId && Row.DeviceId == Device.DeviceId && Row.Device == Device.Where.Device &&
        Row.Function == Device.Where.Function) {
      return true;
    }
  }
  return false;
}

void AddVolumes(ByteReader &Input, sim::Machine &Board) {
  const UINT8 Volumes = Input.Byte() & 0x03;
  for (UINT8 Index = 0; Index < Volumes; ++Index) {
    sim::FirmwareVolume &Volume = Board.AddFirmwareVolume();
    const UINT8 Flags = Input.Byte();
    const UINT8 Files = Input.Byte();
    static constexpr EFI_GUID kStranger = {0x11111111, 0x2222, 0x3333, {4, 4, 4, 4, 4, 4, 4, 4}};
    const EFI_GUID Names[] = {published::kOptionRomRows[0].File, published::kOptionRomRows[1].File,
                              published::kOptionRomRows[2].File, published::kOptionRomRows[4].File,
                              published::kOptionRomRows[5].File, kStranger};
    for (size_t File = 0; File < std::size(Names); ++File) {
      if ((Files & (1U << File)) == 0) {
        continue;
      }
      const UINT8 SizeByte = Input.Byte();
      const size_t Size = 1 + 16 * size_t{SizeByte};
      if ((Flags & 0x02) != 0 && (SizeByte & 1) != 0) {
        Volume.AddFileWithoutImage(Names[File], Size);
      } else if ((Flags & 0x04) != 0 && (SizeByte & 1) == 0) {
        Volume.AddRawFile(Names[File], {});
      } else {
        Volume.AddRawFile(Names[File], std::vector<UINT8>(Size, static_cast<UINT8>(0xC0 + File)));
      }
    }
    if ((Flags & 0x01) != 0) {
      Volume.FailInterfaceLookup(EFI_DEVICE_ERROR);
    }
  }
}

RomDevice AddDevice(ByteReader &Input, UINT8 Index, sim::Machine &Board) {
  const UINT8 Row = Input.Byte() % (kTableRows + 1);
  RomDevice Device{};
  Device.Where = {static_cast<UINT8>(0x20 + Index), static_cast<UINT8>(Input.Byte() & 0x1F),
                  static_cast<UINT8>(Input.Byte() & 0x07)};
  Device.VendorId = Input.Word();
  Device.DeviceId = Input.Word();
  const UINT8 Flags = Input.Byte();
  if (Row < kTableRows) {
    const published::OptionRomRow &Entry = published::kOptionRomRows[Row];
    Device.Where.Device = Entry.Device;
    Device.Where.Function = Entry.Function;
    Device.VendorId = Entry.VendorId;
    Device.DeviceId = Entry.DeviceId;
  }
  Device.Ethernet = (Flags & 0x08) != 0;
  Board.Pci().Add(Device.Where).Ids(Device.VendorId, Device.DeviceId).ClassCode(Device.Ethernet ? 0x02 : 0x03, 0x00);
  Device.HasPciIo = (Flags & 0x10) == 0;
  Device.Identified = (Flags & 0x27) == 0;
  if (!Device.HasPciIo) {
    Device.Handle = Board.Handles().NewHandle();
    return Device;
  }
  sim::PciIoDevice &PciIo = Board.AddPciIoDevice(Device.Where);
  Device.Handle = PciIo.Handle();
  const bool LeavesValues = (Flags & 0x40) != 0; // a failing call still writes the true values
  if ((Flags & 0x01) != 0) {
    PciIo.FailGetLocation(EFI_DEVICE_ERROR, LeavesValues);
  }
  const std::pair<UINT8, UINT32> ReadFailures[] = {{0x02, published::layout::PCI_CLASS_CODE_OFFSET},
                                                   {0x04, published::layout::PCI_VENDOR_ID_OFFSET},
                                                   {0x20, published::layout::PCI_DEVICE_ID_OFFSET}};
  for (const auto &[Bit, Offset] : ReadFailures) {
    if ((Flags & Bit) != 0) {
      PciIo.FailConfigRead(Offset, EFI_DEVICE_ERROR, LeavesValues);
    }
  }
  return Device;
}

// Byte 91 of the Setup image after a request has loaded it: the variable's
// byte when the variable reaches it, the not-loaded mark when it is too
// short, and 0 (Ethernet option ROMs off) when it cannot be read at all.
UINT8 ExpectedEthernetSwitch(bool Present, size_t Length, UINT8 Value) {
  if (!Present || Length > published::kSetupSize) {
    return 0;
  }
  return Length > kSetupEthernetSwitch ? Value : published::kSetupNotLoaded;
}

} // namespace

namespace {

// What the input's head describes: the "Setup" variable, the volumes, the
// devices; the requests follow.
struct RomRequestBoard {
  UINT8 Flags;
  bool SetupPresent;
  size_t SetupLength;
  UINT8 SetupSwitch;
  size_t FailingAllocation;
  std::vector<RomDevice> Devices;
};

RomRequestBoard BuildRomRequestBoard(ByteReader &Input, sim::Machine &Board) {
  RomRequestBoard Described{};
  Described.Flags = Input.Byte();
  Described.SetupPresent = (Described.Flags & 0x01) != 0;
  Described.SetupLength = size_t{Input.Byte()} * 3;
  Described.SetupSwitch = Input.Byte();
  if (Described.SetupPresent) {
    std::vector<UINT8> Setup(Described.SetupLength, 0x5A);
    if (Described.SetupLength > kSetupEthernetSwitch) {
      Setup[kSetupEthernetSwitch] = Described.SetupSwitch;
    }
    Board.Variables().Set(published::kSetupName, published::kSetupVariableGuid, Setup);
  }
  if ((Described.Flags & 0x02) != 0) {
    Board.Handles().FailLocateHandleBuffer(EFI_NOT_FOUND);
  }
  Described.FailingAllocation = Input.Byte();
  AddVolumes(Input, Board);
  const UINT8 DeviceCount = Input.Byte() & 0x07;
  for (UINT8 Index = 0; Index < DeviceCount; ++Index) {
    Described.Devices.push_back(AddDevice(Input, Index, Board));
  }
  return Described;
}

// One GetPciRom, checked against what the device is; a returned image is
// kept for the ownership checks.
void CheckRequest(const RomDevice *Device, EFI_STATUS Status, const sim::ReturnedImage &Image,
                  std::vector<sim::ReturnedImage> *Returned, Violations *All) {
  const bool HasPciIo = Device != nullptr && Device->HasPciIo;
  if (Status == EFI_SUCCESS) {
    Returned->push_back(Image);
    if (Image.Image == nullptr || Image.Size == 0) {
      All->emplace_back("GetPciRom succeeded with a null or empty image");
    }
    if (!HasPciIo || !Device->Identified || !MatchesAnyRow(*Device)) {
      All->emplace_back("GetPciRom found an image for a device no table row names");
    }
  } else if (Status != EFI_NOT_FOUND) {
    All->emplace_back("GetPciRom answered a status other than EFI_SUCCESS or EFI_NOT_FOUND");
  }
}

// The requests until the input ends, over the described devices and handles
// that are none. True when one reached a device with PCI I/O, which reads
// Setup.
bool RequestRoms(ByteReader &Input, sim::Machine &Board, const RomRequestBoard &Described,
                 std::vector<sim::ReturnedImage> *Returned, Violations *All) {
  EFI_PCI_PLATFORM_PROTOCOL &Platform = *Board.PciPlatform();
  int NotAHandle = 0;
  const auto Volumes = Board.Handles().HandlesWith(EFI_FIRMWARE_VOLUME_PROTOCOL_GUID);
  const EFI_HANDLE Others[] = {nullptr, Board.DriverImageHandle(), Volumes.empty() ? nullptr : Volumes.front(),
                               &NotAHandle};
  bool SetupLoaded = false;
  for (size_t Request = 0; !Input.AtEnd(); ++Request) {
    const size_t Choice = Input.Byte() % (Described.Devices.size() + std::size(Others));
    const RomDevice *Device = Choice < Described.Devices.size() ? &Described.Devices[Choice] : nullptr;
    const EFI_HANDLE Handle = Device != nullptr ? Device->Handle : Others[Choice - Described.Devices.size()];
    const bool NullImage = (Described.Flags & 0x04) != 0 && Request % 4 == 3;
    const bool NullSize = (Described.Flags & 0x08) != 0 && Request % 4 == 1;
    VOID *Image = nullptr;
    UINTN RomSize = 0;
    const EFI_STATUS Status =
        Platform.GetPciRom(&Platform, Handle, NullImage ? nullptr : &Image, NullSize ? nullptr : &RomSize);
    if (NullImage || NullSize) {
      if (Status != EFI_INVALID_PARAMETER) {
        All->emplace_back("GetPciRom with a null result pointer did not answer EFI_INVALID_PARAMETER");
      }
      continue;
    }
    SetupLoaded = SetupLoaded || (Device != nullptr && Device->HasPciIo);
    CheckRequest(Device, Status, {Image, RomSize}, Returned, All);
  }
  return SetupLoaded;
}

} // namespace

std::vector<std::string> RunOptionRomRequests(const uint8_t *Data, size_t Size) {
  ByteReader Input(Data, Size);
  sim::Machine Board;
  Violations All;
  const RomRequestBoard Described = BuildRomRequestBoard(Input, Board);
  const sim::RunBudget Budget = sim::BudgetFor(Board.Pci(), 0, Size);
  Board.LimitAccesses(Budget.Accesses);
  if (Board.LoadDriver() != EFI_SUCCESS || Board.PciPlatform() == nullptr) {
    All.emplace_back("the driver did not install");
    return All;
  }
  if (Described.FailingAllocation != 0) {
    Board.Memory().FailAllocation(Described.FailingAllocation);
  }
  std::vector<sim::ReturnedImage> Returned;
  if (RequestRoms(Input, Board, Described, &Returned, &All)) {
    const UINT8 Expected = ExpectedEthernetSwitch(Described.SetupPresent, Described.SetupLength, Described.SetupSwitch);
    if (SetupData()[kSetupEthernetSwitch] != Expected) {
      All.emplace_back("Setup byte 91 is " + std::to_string(SetupData()[kSetupEthernetSwitch]) + ", expected " +
                       std::to_string(Expected));
    }
  }
  sim::PoolOwners Owners;
  Append(&All, sim::CheckReturnedImages(Board, Returned, &Owners), "returned image");
  CheckRun(Board, sim::RegisterOwnership::Of(Board.Pci()), Budget, false, &Owners, &All);
  return All;
}

namespace {

// Callback registration input layout: operations until the input ends, two
// bytes each (operation, argument); the low three bits of the operation say
// what to do:
//   0 register slot (argument & 7) with mask MaskOf(argument >> 3)
//   1 register a null callback with mask MaskOf(argument >> 3)
//   2 a prepare-controller call for bus (argument), device 0, function 0:
//     dispatching (ChipsetEntry, before child bus enumeration) unless
//     operation bit 3 is set (then ChipsetExit, which dispatches nothing)
//   3 the walk at the begin of resource allocation
//   4 the walk at the end of resource allocation
//   5 the (1 + (argument & 3))-th allocation from now fails; with argument
//     bit 7 set instead: slot (argument & 7) calls back into the platform
//     protocol whenever it is called (hook (argument >> 3) & 3: begin- or
//     end-allocation notify, prepare controller)
//   6 slot (argument & 7) registers slot ((argument >> 3) & 7) with mask
//     MaskOf(operation >> 3) whenever it is called
//   7 slot (argument & 7) writes (operation) into the record's header-type
//     byte, or flips it between bridge and endpoint when operation bit 3 is set
// Masks: 0-15 as they are, 16-31 with every bit above the three points set.
// What one input may ask for: the first kMostOperations operations, of which
// the first walk (3 or 4) is made and later ones passed over. A walk is a
// whole notification (at the begin of resource allocation four walks of every
// bus, about 1,700 probes); the registry's behaviour (order, masks,
// duplicates, callbacks registering others, failing allocations) shows in the
// prepare-controller dispatches, which stay unbounded within the operations,
// and in the one walk. More walks reached no edge the corpus did not reach
// with one, and made an execution cost ten times more.
constexpr size_t kMostOperations = 64;
constexpr size_t kMostWalks = 1;

bool IsWalk(UINT8 Operation) { return (Operation & 0x07) == 3 || (Operation & 0x07) == 4; }

UINT32 MaskOf(UINT8 Value) {
  constexpr UINT8 kPlainMasks = 16;
  return Value < kPlainMasks ? Value : 0xFFFFFFF8U | (Value & 0x07U);
}

void BuildCallbackBoard(sim::Machine &Board) {
  sim::PcieCapabilityConfig Link;
  Link.SlotClock = true;
  Link.L1Supported = true;
  sim::AddHostBridge(Board.Pci(), 0x8086, 0x29C0, 0x02);
  sim::AddRootPort(Board.Pci(), {0, 1, 0}, 1, 1, Link);
  sim::AddPcieEndpoint(Board.Pci(), {1, 0, 0}, Link);
  sim::AddConventionalFunction(Board.Pci(), {0, 2, 0}, 0x8086, 0x24D0).MultiFunction();
  sim::AddConventionalFunction(Board.Pci(), {0, 2, 3}, 0x8086, 0x24D3);
  sim::AddConventionalFunction(Board.Pci(), {2, 0, 0}, 0x8086, 0x1111); // behind no bridge, unless a callback makes one
  Board.Pci().Find({0, 2, 3})->Poke8(published::layout::PCI_BRIDGE_SECONDARY_BUS_OFFSET, 2);
}

} // namespace

namespace {

// One registration run: the driver's two protocols and the harness watching
// the callbacks.
struct RegistrationRun {
  sim::Machine &Board;
  EFI_PCI_PLATFORM_PROTOCOL &Platform;
  CallbackHarness &Harness;
  Violations *All;

  void Notify(EFI_PCI_HOST_BRIDGE_RESOURCE_ALLOCATION_PHASE Phase) {
    ExpectSuccess(All, Platform.PlatformNotify(&Platform, Board.HostBridgeHandle(), Phase, ChipsetExit),
                  "PlatformNotify");
  }

  void PrepareController(UINT8 Bus, bool Exit) {
    EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_PCI_ADDRESS Address{};
    Address.Bus = Bus;
    const size_t CallsBefore = Harness.Calls();
    ExpectSuccess(All,
                  Platform.PlatformPrepController(&Platform, Board.HostBridgeHandle(), Board.RootBridgeHandle(),
                                                  Address, EfiPciBeforeChildBusEnumeration,
                                                  Exit ? ChipsetExit : ChipsetEntry),
                  "PlatformPrepController");
    if (Exit && Harness.Calls() != CallsBefore) {
      All->emplace_back("PlatformPrepController with ChipsetExit dispatched callbacks");
    }
  }

  void SetBehaviour(UINT8 Operation, UINT8 Argument) {
    CallbackHarness::SlotBehaviour Behaviour;
    if ((Operation & 0x07) == 6) {
      Behaviour.RegistersSlot = true;
      Behaviour.RegisteredSlot = (Argument >> 3) & 0x07;
      Behaviour.RegisteredMask = MaskOf(Operation >> 3);
    } else {
      const bool Variant = (Operation & 0x08) != 0;
      Behaviour.TogglesBridge = Variant;
      Behaviour.SetsHeaderType = !Variant;
      Behaviour.HeaderType = Operation;
    }
    Harness.SetBehaviour(Argument & 0x07, Behaviour);
  }

  void CallBack(UINT8 Argument) {
    CallbackHarness::SlotBehaviour Behaviour;
    Behaviour.CallsPlatform = true;
    Behaviour.PlatformCall = static_cast<UINT8>(std::min((Argument >> 3) & 0x03, 2));
    Harness.SetBehaviour(Argument & 0x07, Behaviour);
  }

  // One operation of the input: low 3 bits of Operation choose it.
  void Perform(UINT8 Operation, UINT8 Argument) {
    switch (Operation & 0x07) {
    case 0:
      Harness.Register(Argument & 0x07, MaskOf(Argument >> 3));
      break;
    case 1:
      Harness.RegisterNull(MaskOf(Argument >> 3));
      break;
    case 2:
      PrepareController(Argument, (Operation & 0x08) != 0);
      break;
    case 3:
      Notify(EfiPciHostBridgeBeginResourceAllocation);
      break;
    case 4:
      Notify(EfiPciHostBridgeEndResourceAllocation);
      break;
    case 5:
      if ((Argument & 0x80) != 0) {
        CallBack(Argument);
      } else {
        Harness.FailAllocation(1 + (Argument & 0x03));
      }
      break;
    default:
      SetBehaviour(Operation, Argument);
      break;
    }
  }
};

} // namespace

std::vector<std::string> RunCallbackRegistrations(const uint8_t *Data, size_t Size) {
  ByteReader Input(Data, Size);
  sim::Machine Board;
  BuildCallbackBoard(Board);
  const sim::RegisterOwnership Owned = sim::RegisterOwnership::Of(Board.Pci());
  const sim::RunBudget Budget = sim::BudgetFor(Board.Pci(), Size / 2 + 1, 0);
  Board.LimitAccesses(Budget.Accesses);
  Violations All;
  if (Board.LoadDriver() != EFI_SUCCESS || Board.PciPlatform() == nullptr || Board.PciCallback() == nullptr) {
    All.emplace_back("the driver did not install");
    return All;
  }
  CallbackHarness Harness(Board, *Board.PciCallback(), &All);
  RegistrationRun Run{Board, *Board.PciPlatform(), Harness, &All};
  Run.Notify(EfiPciHostBridgeBeginEnumeration);
  size_t Walks = 0;
  for (size_t Performed = 0; !Input.AtEnd() && Performed < kMostOperations; ++Performed) {
    const UINT8 Operation = Input.Byte();
    const UINT8 Argument = Input.Byte();
    if (IsWalk(Operation) && ++Walks > kMostWalks) {
      continue;
    }
    Run.Perform(Operation, Argument);
    Harness.EndDispatch();
  }
  sim::PoolOwners Owners;
  Harness.CheckRegistry(&Owners);
  CheckRun(Board, Owned, Budget, false, &Owners, &All);
  return All;
}

} // namespace fuzz
