// Where the driver's chipset window writes (0x56, 16 bits, bit 12; 0x174,
// 8 bits, bit 2) land in the function's own layout: the window reaches the
// same bytes as configuration space on the boards that decode it, and the
// chipset's meaning for these offsets need not match what the function puts
// there. Each bit the driver sets or clears is named by byte, register and bit.
#include "TextFormat.h"
#include "Warnings.h"
#include "pcie/ConfigWindow.h"

#include <map>

namespace pciplat {

namespace {

using nlohmann::json;

sim::Bdf Target(const sim::Access &Entry) { return {Entry.Bus(), Entry.Device(), Entry.Function()}; }

// What the driver's writes did to one window register of one function.
struct WindowEffect {
  UINT8 Width = 0;
  UINT32 Set = 0;     // bits a write turned from 0 to 1
  UINT32 Cleared = 0; // bits a write turned from 1 to 0
  bool ReadFirst = false;
};

using Effects = std::map<std::pair<sim::Bdf, UINT16>, WindowEffect>;

Effects CollectEffects(const RunRecord &Record) {
  Effects Found;
  std::map<UINT64, UINT32> LastRead;
  for (const sim::Access &Entry : Record.Accesses) {
    if (Entry.Kind == sim::AccessKind::WindowRead) {
      LastRead[Entry.Address] = static_cast<UINT32>(Entry.Value);
    }
    if (Entry.Kind != sim::AccessKind::WindowWrite || Entry.Register() + Entry.Width > sim::kConfigSpaceSize) {
      continue;
    }
    WindowEffect &Effect = Found[{Target(Entry), Entry.Register()}];
    const auto Prior = LastRead.find(Entry.Address);
    const auto Written = static_cast<UINT32>(Entry.Value);
    Effect.Width = Entry.Width;
    Effect.ReadFirst = Effect.ReadFirst || Prior != LastRead.end();
    if (Prior != LastRead.end()) {
      Effect.Set |= Written & ~Prior->second;
      Effect.Cleared |= Prior->second & ~Written;
      LastRead.erase(Prior);
    }
  }
  return Found;
}

std::string WhatBitDoes(const WindowEffect &Effect, UINT32 Bit) {
  const bool Set = (Effect.Set & Bit) != 0;
  const bool Cleared = (Effect.Cleared & Bit) != 0;
  return Set && Cleared ? "sets and later clears" : Set ? "sets" : Cleared ? "clears" : "writes, unchanged,";
}

// The bit the driver means to set in each window register; a write that
// finds it already set still rewrites the register.
UINT32 DriverBit(UINT16 Register) {
  return Register == PCIE_WINDOW_PORT_CONTROL_OFFSET ? PCIE_WINDOW_PORT_CONTROL_BIT
         : Register == PCIE_WINDOW_LINK_SETUP_OFFSET ? PCIE_WINDOW_LINK_SETUP_ACTIVE
                                                     : 0;
}

// "byte 0x57 bit 4: CAP_PM+07 (Data) bit 4 (Data, bits 7:0)".
std::string Landing(const ConfigSpace &Space, unsigned Length, unsigned Byte, unsigned BitInByte) {
  const RegisterName Name = NameRegister(Space, Byte, Length);
  std::string Text =
      "byte " + Hex(Byte, Byte >= 0x100 ? 3 : 2) + " bit " + std::to_string(BitInByte) + ": " + Name.Setpci;
  if (!Name.Short.empty()) {
    Text += " (" + Name.Short + ") " + RegisterBit(Name, (Byte - Name.RegisterOffset) * 8 + BitInByte);
  }
  return Text + (Name.Reserved.empty() ? "" : ", " + Name.Reserved);
}

// The bytes of a wider write that carry no changed bit are written back as
// read; a write-1-to-clear register among them loses the bits read as 1.
// The bytes of a wider write that carry none of the driver's bits are written
// back as read; a write-1-to-clear register among the bytes written loses the
// bits read as 1.
std::string WrittenBack(const ConfigSpace &Space, unsigned Length, UINT16 Register, const WindowEffect &Effect) {
  const UINT32 Bits = Effect.Set | Effect.Cleared | DriverBit(Register);
  std::string Text;
  for (unsigned Byte = 0; Byte < Effect.Width; ++Byte) {
    const RegisterName Name = NameRegister(Space, Register + Byte, Length);
    const std::string Which = Name.Setpci + (Name.Short.empty() ? "" : ", " + Name.Short);
    if (((Bits >> (8 * Byte)) & 0xFF) == 0) {
      Text += "; the " + std::to_string(Effect.Width * 8) + "-bit write also writes back byte " +
              Hex(Register + Byte, 2) + " (" + Which + ") as read";
    }
    const unsigned Shift = (Register + Byte - Name.RegisterOffset) * 8;
    if (Name.RegisterWidth != 0 && Shift < 32 && ((Name.WriteOneToClear >> Shift) & 0xFF) != 0 && Effect.ReadFirst) {
      Text += (((Bits >> (8 * Byte)) & 0xFF) == 0
                   ? ", which"
                   : "; writing byte " + Hex(Register + Byte, 2) + " (" + Which + ") back as read") +
              std::string(" clears its write-1-to-clear bits read as 1");
    }
  }
  return Text;
}

std::optional<Capability> Holder(const ConfigSpace &Space, unsigned Length, unsigned Byte) {
  const auto Name = NameRegister(Space, Byte, Length);
  return Name.In;
}

void WarnForBit(const RunRecord &Record, const sim::Bdf &Location, UINT16 Register, const WindowEffect &Effect,
                UINT32 Bit, json &Out) {
  const ConfigSpace &Before = Record.Before.at(Location);
  const unsigned Length = Record.CapturedBytes(Location);
  unsigned Index = 0;
  while (((Bit >> Index) & 1) == 0) {
    ++Index;
  }
  const unsigned Byte = Register + Index / 8;
  if (Byte >= Length) {
    return; // not captured: the unknown-register warning covers it
  }
  const auto In = Holder(Before, Length, Byte);
  if (!In) {
    return;
  }
  std::string Text = "chipset window write to " + Hex(Register, Register >= 0x100 ? 3 : 2) + " (" +
                     std::to_string(Effect.Width * 8) + " bits) " + WhatBitDoes(Effect, Bit) + " bit " +
                     std::to_string(Index) + ", in its " + In->Title + " capability at " +
                     Hex(In->Offset, In->Offset >= 0x100 ? 3 : 2) + ": " + Landing(Before, Length, Byte, Index % 8);
  if ((Effect.Cleared & Bit) != 0 && (ReadWidth(Before, Register, Effect.Width) & Bit) != 0) {
    Text += "; the bit was set before the run, and the driver's clear leaves it clear";
  }
  Out.push_back(MakeWarning("window-in-capability", Text + WrittenBack(Before, Length, Register, Effect), Location));
}

} // namespace

void WindowWritesInCapabilities(const RunRecord &Record, json &Out) {
  if (!Record.WindowDecoded) { // the writes land nowhere
    return;
  }
  for (const auto &[Key, Effect] : CollectEffects(Record)) {
    const auto &[Location, Register] = Key;
    if (Record.Before.count(Location) == 0) {
      continue;
    }
    for (UINT32 Bit = 1; Bit != 0 && Bit < (1ULL << (Effect.Width * 8)); Bit <<= 1) {
      if (((Effect.Set | Effect.Cleared | DriverBit(Register)) & Bit) != 0) {
        WarnForBit(Record, Location, Register, Effect, Bit, Out);
      }
    }
  }
}

} // namespace pciplat
