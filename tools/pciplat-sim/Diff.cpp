#include "Diff.h"

#include "TextFormat.h"
#include "pcie/ConfigWindow.h"

#include <set>
#include <tuple>

namespace pciplat {

namespace {

using nlohmann::json;

sim::Bdf Target(const sim::Access &Entry) { return {Entry.Bus(), Entry.Device(), Entry.Function()}; }

bool IsWindow(const sim::Access &Entry) {
  return Entry.Kind == sim::AccessKind::WindowRead || Entry.Kind == sim::AccessKind::WindowWrite;
}
bool IsConfigWrite(const sim::Access &Entry) {
  return Entry.Kind == sim::AccessKind::ConfigWrite || Entry.Kind == sim::AccessKind::WindowWrite;
}
bool IsConfigRead(const sim::Access &Entry) {
  return Entry.Kind == sim::AccessKind::ConfigRead || Entry.Kind == sim::AccessKind::WindowRead;
}

std::string RegisterOf(const ConfigSpace &Space, const sim::Access &Write) {
  return AccessRegister(Space, Write.Register(), Write.Width, IsWindow(Write));
}

} // namespace

json RegisterChanges(const RunRecord &Record) {
  json Changes = json::array();
  std::set<std::tuple<sim::Bdf, UINT16, UINT8>> Seen;
  for (const sim::Access &Write : Record.Accesses) {
    const auto Before = Record.Before.find(Target(Write));
    if (!IsConfigWrite(Write) || Before == Record.Before.end() ||
        Write.Register() + Write.Width > sim::kConfigSpaceSize ||
        !Seen.insert({Target(Write), Write.Register(), Write.Width}).second) {
      continue;
    }
    const ConfigSpace &After = Record.After.at(Target(Write));
    const UINT32 Old = ReadWidth(Before->second, Write.Register(), Write.Width);
    const UINT32 New = ReadWidth(After, Write.Register(), Write.Width);
    if (Old == New) {
      continue;
    }
    json Change = {{"location", sim::FormatBdf(Target(Write))},
                   {"register", RegisterOf(Before->second, Write)},
                   {"before", Hex(Old, Write.Width * 2)},
                   {"after", Hex(New, Write.Width * 2)}};
    const std::string Meaning = AccessMeaning(Before->second, Write.Register(), Write.Width, New, IsWindow(Write));
    if (!Meaning.empty()) {
      Change["meaning"] = Meaning;
    }
    Changes.push_back(Change);
  }
  return Changes;
}

std::string RenderChanges(const json &Changes) {
  std::string Out;
  for (const json &Change : Changes) {
    Out += Change["location"].get<std::string>() + " " + Change["register"].get<std::string>() + ": " +
           Change["before"].get<std::string>().substr(2) + " -> " + Change["after"].get<std::string>().substr(2);
    Out += Change.contains("meaning") ? " (" + Change["meaning"].get<std::string>() + ")\n" : "\n";
  }
  return Out.empty() ? "none\n" : Out;
}

namespace {

// The register's value as the driver last saw or wrote it, per function.
class Shadow {
public:
  explicit Shadow(const ConfigSpaces &Before) : Spaces(Before) {}
  ConfigSpace *Find(const sim::Bdf &Location) {
    const auto Found = Spaces.find(Location);
    return Found != Spaces.end() ? &Found->second : nullptr;
  }
  static void Store(ConfigSpace &Space, const sim::Access &Entry) {
    for (unsigned Byte = 0; Byte < Entry.Width; ++Byte) {
      Space[Entry.Register() + Byte] = static_cast<UINT8>(Entry.Value >> (8 * Byte));
    }
  }

private:
  ConfigSpaces Spaces;
};

// The fields a driver write to a register governs, from the published layouts;
// the script writes them whole, with the value the driver left there.
struct WrittenFields {
  bool Window;      // a chipset window register, by offset
  unsigned Offset;  // in the PCI Express capability, or the window register's
  unsigned Width;   // bytes
  UINT32 Mask;      // the fields
  const char *What; // for the script's header
};
constexpr UINT32 kLinkControlOffset = PCIE_LINK_CONTROL_OFFSET;
constexpr UINT32 kLinkStatusOffset = PCIE_LINK_STATUS_OFFSET;
// LnkCtl bit 5, PCI Express Base Specification 4.0 section 7.5.3.7: a command
// that reads as 0, in the mask only of the write that sets it.
constexpr UINT32 kRetrainLink = PCIE_LINK_CONTROL_RETRAIN;
constexpr UINT32 kLinkTraining = PCIE_LINK_STATUS_TRAINING; // LnkSta bit 11, section 7.5.3.8
constexpr UINT32 kAspmControlAndCommonClock =
    PCIE_LINK_CONTROL_ASPM_L0S | PCIE_LINK_CONTROL_ASPM_L1 | PCIE_LINK_CONTROL_COMMON_CLOCK;
constexpr unsigned kTrainingPolls = 100;
constexpr const char *kTrainingPollInterval = "0.01"; // seconds: 1 s in all
constexpr WrittenFields kWrittenFields[] = {
    // Section 7.5.3.7: ASPM Control bits 1:0, Common Clock Configuration bit 6.
    {false, kLinkControlOffset, 1, kAspmControlAndCommonClock,
     "LnkCtl ASPM Control (bits 1:0) and Common Clock Configuration (bit 6)"},
    // Section 7.5.3.4: Max_Payload_Size bits 7:5.
    {false, PCIE_DEVICE_CONTROL_OFFSET, 2, PCIE_DEVICE_CONTROL_MAX_PAYLOAD_MASK, "DevCtl Max_Payload_Size (bits 7:5)"},
    {true, PCIE_WINDOW_PORT_CONTROL_OFFSET, 2, PCIE_WINDOW_PORT_CONTROL_BIT, "chipset window register 0x56 bit 12"},
    {true, PCIE_WINDOW_LINK_SETUP_OFFSET, 1, PCIE_WINDOW_LINK_SETUP_ACTIVE, "chipset window register 0x174 bit 2"},
};

bool IsLinkControl(const RegisterName &Name, unsigned Offset) {
  return Name.In && Name.In->Id == PCI_CAPABILITY_ID_PCI_EXPRESS && Offset == Name.In->Offset + kLinkControlOffset;
}

// The bits a write covers: the whole fields the driver's write to that
// register governs, and any other bit it changed.
UINT32 WriteMask(const ConfigSpace &Space, const sim::Access &Write, UINT32 Prior) {
  const auto Value = static_cast<UINT32>(Write.Value);
  const RegisterName Name = NameRegister(Space, Write.Register());
  UINT32 Mask = Prior ^ Value;
  for (const WrittenFields &Fields : kWrittenFields) {
    const bool InCapability = !Fields.Window && Name.In && Name.In->Id == PCI_CAPABILITY_ID_PCI_EXPRESS &&
                              Write.Register() == Name.In->Offset + Fields.Offset;
    const bool AtWindow = Fields.Window && Write.Register() == Fields.Offset;
    if (IsWindow(Write) == Fields.Window && (InCapability || AtWindow) && Write.Width == Fields.Width) {
      Mask |= Fields.Mask;
    }
  }
  if (!IsWindow(Write) && IsLinkControl(Name, Write.Register())) {
    Mask |= Value & kRetrainLink;
  }
  return Mask;
}

bool SetsRetrainLink(const ConfigSpace &Space, const sim::Access &Write) {
  return !IsWindow(Write) && IsLinkControl(NameRegister(Space, Write.Register()), Write.Register()) &&
         Write.Width == 1 && (Write.Value & kRetrainLink) != 0;
}

// The functions the driver walked: those the bus driver's scan found and
// those its own accesses reached through the root bridge. A window access
// reaches whatever the address decodes to, walked or not.
std::set<sim::Bdf> WalkedFunctions(const RunRecord &Record) {
  std::set<sim::Bdf> Walked(Record.Found.begin(), Record.Found.end());
  for (const sim::Access &Entry : Record.Accesses) {
    const bool ThroughRootBridge =
        Entry.Kind == sim::AccessKind::ConfigRead || Entry.Kind == sim::AccessKind::ConfigWrite;
    if (ThroughRootBridge && !EFI_ERROR(Entry.Status) && Record.Before.contains(Target(Entry))) {
      Walked.insert(Target(Entry));
    }
  }
  return Walked;
}

std::string ScriptHeader(const ScriptSource &Source) {
  std::string Out = "#!/bin/sh\n"
                    "# REVIEW BEFORE USE. This script writes configuration registers of live hardware.\n"
                    "#\n"
                    "# The configuration writes the PCI platform driver made in the firmware model,\n"
                    "# in the driver's order, as setpci commands.\n"
                    "# Generated by " +
                    Escaped(Source.Runner) + ", report schema " + std::to_string(kReportSchemaVersion) +
                    ", from: " + PrintableText(Source.BoardName) +
                    "\n# Bus driver sequence: " + Escaped(Source.Sequence) +
                    "; \"DisableASPM\" variable: " + (Source.DisableAspm ? "present" : "absent") +
                    "\n# PCI domain: " + HexDigits(Source.Domain, 4) + " (the segment the driver walked)\n#\n";
  Out += "# Run it by hand, as root, only on the machine this was generated from, after\n"
         "# reading every line; pciplat-sim never runs it. Each command writes value:mask:\n"
         "# setpci reads the register, keeps the bits outside the mask and writes it back.\n"
         "# The mask covers whole fields, with the value the driver's write left in them:\n";
  for (const WrittenFields &Fields : kWrittenFields) {
    Out += "#   " + std::string(Fields.What) + "\n";
  }
  return Out + "#   LnkCtl Retrain Link (bit 5) in the writes that set it, then a wait for the\n"
               "#   link to train; any other bit the driver's write changed.\n"
               "# Every configuration write the driver made is replayed, also those that\n"
               "# changed nothing in the model: the live machine's fields may differ.\n"
               "# Not replayed: memory writes (I/O APIC IDs, configuration blocks), element\n"
               "# writes, and writes to functions the driver did not walk (noted below).\n";
}

std::string WaitFunction() {
  return "# Retrain Link (LnkCtl bit 5, PCI Express Base Specification 4.0 section 7.5.3.7)\n"
         "# starts link training; Link Training (LnkSta bit 11, section 7.5.3.8) reads 1\n"
         "# until it ends. Waits up to " +
         std::to_string(kTrainingPolls) + " x " + kTrainingPollInterval +
         " s for it to clear;\n# stops the script if it does not.\n"
         "wait_for_link_training() {\n"
         "  polls=0\n"
         "  while [ $((0x$(setpci -s \"$1\" CAP_EXP+" +
         HexDigits(kLinkStatusOffset, 2) + ".w) & " + Hex(kLinkTraining, 4) +
         ")) -ne 0 ]; do\n"
         "    polls=$((polls + 1))\n"
         "    if [ \"$polls\" -ge " +
         std::to_string(kTrainingPolls) +
         " ]; then\n"
         "      echo \"$1: LnkSta Link Training (bit 11) still set: stopping\" >&2\n"
         "      return 1\n"
         "    fi\n"
         "    sleep " +
         kTrainingPollInterval + "\n  done\n}\n";
}

class ScriptWriter {
public:
  ScriptWriter(const RunRecord &Record, const ScriptSource &Source)
      : Record(Record), Seen(Record.Before), Walked(WalkedFunctions(Record)), Domain(HexDigits(Source.Domain, 4)) {}

  void Add(const sim::Access &Entry) {
    ConfigSpace *Space = Seen.Find(Target(Entry));
    // Where nothing decodes the window, its accesses reached no configuration space.
    if (Space == nullptr || (!IsConfigRead(Entry) && !IsConfigWrite(Entry)) || EFI_ERROR(Entry.Status) ||
        Entry.Register() + Entry.Width > sim::kConfigSpaceSize || (IsWindow(Entry) && !Record.WindowDecoded)) {
      return;
    }
    if (Entry.Count != 1) {
      Skip(Entry, "a " + std::to_string(Entry.Count) + "-element write");
      return;
    }
    const UINT32 Prior = ReadWidth(*Space, Entry.Register(), Entry.Width);
    Shadow::Store(*Space, Entry);
    if (IsConfigWrite(Entry)) {
      Write(Entry, Prior);
    }
  }
  std::string Text() const { return Out + "\n# " + std::to_string(Commands) + " writes\n"; }

private:
  std::string Address(const sim::Access &Entry) const { return Domain + ":" + sim::FormatBdf(Target(Entry)); }

  void Skip(const sim::Access &Entry, const std::string &Why) {
    if (IsConfigWrite(Entry)) {
      Out += "# not replayed: " + Why + " at " + Address(Entry) + " " + Hex(Entry.Register(), 3) + "\n";
    }
  }

  void Write(const sim::Access &Entry, UINT32 Prior) {
    const ConfigSpace &Layout = Record.Before.at(Target(Entry));
    if (!Walked.contains(Target(Entry))) {
      Skip(Entry, "a window write to a function the driver did not walk");
      return;
    }
    const UINT32 Mask = WriteMask(Layout, Entry, Prior);
    Out += "setpci -s " + Address(Entry) + " " + RegisterOf(Layout, Entry) + "=" +
           HexDigits(static_cast<UINT32>(Entry.Value) & Mask, Entry.Width * 2) + ":" +
           HexDigits(Mask, Entry.Width * 2) + "\n";
    ++Commands;
    if (SetsRetrainLink(Layout, Entry)) {
      Out += "wait_for_link_training " + Address(Entry) + "\n";
    }
  }

  const RunRecord &Record;
  Shadow Seen;
  std::set<sim::Bdf> Walked;
  std::string Domain;
  std::string Out;
  size_t Commands = 0;
};

} // namespace

std::string SetpciScript(const RunRecord &Record, const ScriptSource &Source) {
  ScriptWriter Writer(Record, Source);
  for (const sim::Access &Entry : Record.Accesses) {
    Writer.Add(Entry);
  }
  return ScriptHeader(Source) + "\nset -e\n\n" + WaitFunction() + "\n" + Writer.Text();
}

} // namespace pciplat
