// A board decoded from arbitrary bytes: any number of functions at any
// bus/device/function, raw header-type bytes, secondary bus numbers that are
// equal, lower or 255, capability lists with cycles and pointers into the
// header, arbitrary link status and capability bits, read errors, links that
// never finish training, a failing Nth allocation, "DisableASPM" present or
// not, the host bridge family or not. Every byte string decodes to some board;
// missing bytes read as zero.
//
// Layout (one byte each unless said otherwise):
//   flags            bit0 "DisableASPM" (bit7: 33 bytes, too large to count)
//                    bit1 host bridge of the family at 0:0.0, bit2 early revision
//                    bit3 "Setup" present, bit4 no root bridge, bit5 no CPU I/O,
//                    bit6 the root bridge allows unaligned accesses
//   failing allocation (0 = none), counted from after the driver is loaded
//   callback count C, then C callbacks of 4 bytes: slot, mask, action (bits
//   1-0; bit 2 also calls the platform protocol back, bits 4-3 which hook),
//   argument
//   functions until the input ends (at most kMostHostileFunctions), 10 bytes plus 2 per poke:
//     bus, device | function << 5, header type, secondary bus,
//     flags (bit0 capability-list status bit, bit1 PCI Express capability,
//            bit2 L1 supported, bit3 slot clock, bit4 every read fails,
//            bit5 reads of one register fail, bit6 last capability points back
//            at the first, bit7 vendor ID all ones),
//     capability offset (0 = 0x40), port type | max payload supported << 4,
//     link speed | training reads << 4 (15 = never, for the first kMostStuckLinks such functions), failing register,
//     poke count (low 3 bits), then that many (offset, value) pairs
#pragma once

#include "sim/Machine.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace fuzz {

// What one board may ask for: the first kMostHostileFunctions functions of an
// input are laid out and the rest of it is passed over. Every function costs
// the whole enumeration a scan of its bus and its share of five walks, so a
// longer input mostly makes each execution slower; the hostile shapes (loops,
// shared secondary buses, deep chains, damaged lists) take a few functions
// each, and the committed corpus reaches every edge it reached unbounded.
inline constexpr size_t kMostHostileFunctions = 32;
// A link that never finishes training costs a whole retrain wait (a thousand
// polls) each time the driver retrains it; past the first kMostStuckLinks such
// functions of a board, a link finishes training after 14 reads instead.
inline constexpr size_t kMostStuckLinks = 2;

// Reads the input front to back; past its end every byte reads zero.
class ByteReader {
public:
  ByteReader(const uint8_t *Data, size_t Size) : Data(Data), Size(Size) {}
  UINT8 Byte() { return Offset < Size ? Data[Offset++] : 0; }
  UINT16 Word() {
    const UINT8 Low = Byte();
    return static_cast<UINT16>(Low | (Byte() << 8));
  }
  bool AtEnd() const { return Offset >= Size; }

private:
  const uint8_t *Data;
  size_t Size;
  size_t Offset = 0;
};

// What a registered callback does when it is called.
enum class CallbackAction : UINT8 {
  Nothing = 0,
  RegisterSlot = 1,     // registers slot (Argument & 7) with mask (Argument >> 3) whenever called
  SetHeaderType = 2,    // writes Argument into the record's header-type byte
  ToggleBridgeType = 3, // flips the record between a bridge and an endpoint
};

struct HostileCallback {
  UINT8 Slot;
  UINT32 Mask;
  CallbackAction Action;
  UINT8 Argument;
  // Action byte bit 2: the callback also calls back into the platform
  // protocol, bits 4-3 saying how (0 begin-allocation notify, 1 end-allocation
  // notify, 2 or 3 prepare controller).
  bool CallsPlatform = false;
  UINT8 PlatformCall = 0;
};

struct HostileFunction {
  sim::Bdf Where;
  UINT8 HeaderType;
  UINT8 SecondaryBus;
  UINT8 Flags;
  UINT8 CapabilityOffset;
  UINT8 PortAndPayload;
  UINT8 SpeedAndTraining;
  UINT8 FailingRegister;
  // Bytes written over the laid-out space (offset, value), up to seven: held
  // in place, as the board is decoded afresh for every input.
  std::array<std::pair<UINT8, UINT8>, 7> Pokes;
  UINT8 PokeCount;
};

struct HostileBoard {
  bool DisableAspm = false;
  bool DisableAspmTooLarge = false;
  bool HostBridgeFamily = false;
  bool EarlyRevision = false;
  bool Setup = false;
  bool NoRootBridge = false;
  bool NoCpuIo = false;
  bool UnalignedAllowed = false;
  size_t FailingAllocation = 0;
  std::vector<HostileCallback> Callbacks;
  std::vector<HostileFunction> Functions;

  // "DisableASPM" exists and fits the driver's buffer, and the pass runs at all.
  bool AspmSwitchedOff() const { return DisableAspm && !DisableAspmTooLarge; }
};

HostileBoard DecodeHostileBoard(const uint8_t *Data, size_t Size);

// Puts the board into a fresh machine, before the driver is loaded. Functions
// ignore writes everywhere but the link control and device control of the
// capability they were built with, so the driver cannot rewrite a capability
// list under its own feet and every write stays visible in the access log.
void BuildHostileBoard(const HostileBoard &Board, sim::Machine &Target);

} // namespace fuzz
