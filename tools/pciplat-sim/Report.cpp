#include "Report.h"

#include "Decisions.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <map>
#include <vector>

namespace pciplat {

namespace {

using nlohmann::json;

std::string Format(const char *Pattern, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char *Pattern, ...) {
  va_list Arguments;
  va_start(Arguments, Pattern);
  va_list Again;
  va_copy(Again, Arguments);
  const int Length = std::vsnprintf(nullptr, 0, Pattern, Arguments);
  va_end(Arguments);
  std::string Text(Length > 0 ? static_cast<size_t>(Length) : 0, '\0');
  std::vsnprintf(Text.data(), Text.size() + 1, Pattern, Again);
  va_end(Again);
  return Text;
}

std::string OnOff(const json &Value) { return Value.get<bool>() ? "on" : "off"; }

std::string Describe(const json &Function) {
  std::string Text = Function["location"].get<std::string>() + "  " + Function["ids"].get<std::string>();
  if (Function.contains("class") && !Function["class"].get<std::string>().empty()) {
    Text += "  " + Function["class"].get<std::string>();
  } else {
    Text += "  [" + Function["class_code"].get<std::string>() + "]";
  }
  if (Function.contains("name") && !Function["name"].get<std::string>().empty()) {
    Text += ": " + Function["name"].get<std::string>();
  }
  return Text;
}

int BusOf(const json &Function) { return std::stoi(Function["location"].get<std::string>().substr(0, 2), nullptr, 16); }

void RenderBus(const std::map<int, std::vector<const json *>> &ByBus, int Bus, const std::string &Indent,
               std::string &Out, int Depth) {
  const auto Found = ByBus.find(Bus);
  if (Found == ByBus.end() || Depth > 256) {
    return;
  }
  const auto &Children = Found->second;
  for (size_t Index = 0; Index < Children.size(); ++Index) {
    const json &Function = *Children[Index];
    const bool Last = Index + 1 == Children.size();
    Out += Indent + (Last ? "`- " : "+- ") + Describe(Function);
    if (Function.contains("secondary_bus")) {
      const int Secondary = Function["secondary_bus"].get<int>();
      Out += Format("  -> [%02x]\n", Secondary);
      if (Secondary > Bus) {
        RenderBus(ByBus, Secondary, Indent + (Last ? "   " : "|  "), Out, Depth + 1);
      }
    } else {
      Out += "\n";
    }
  }
}

void RenderTree(const json &Functions, std::string &Out) {
  std::map<int, std::vector<const json *>> ByBus;
  for (const json &Function : Functions) {
    ByBus[BusOf(Function)].push_back(&Function);
  }
  Out += "Hierarchy\n[00]\n";
  RenderBus(ByBus, 0, "", Out, 0);
}

std::string Joined(const json &Texts, const char *Separator) {
  std::string Text;
  for (const json &Each : Texts) {
    Text += (Text.empty() ? "" : Separator) + Each.get<std::string>();
  }
  return Text;
}

std::string Change(const json &BeforeAfter) {
  return Format("%-3s -> %-3s", OnOff(BeforeAfter[0]).c_str(), OnOff(BeforeAfter[1]).c_str());
}

// The driver's reasons for a link and its retrains, and whether the bits it
// ORed in were there before.
std::string LinkWhy(const json &Link) {
  std::string Text = ReasonsText(Link["reasons"]);
  Text = Text == "-" ? "" : Text;
  if (Link.contains("note")) {
    Text += (Text.empty() ? "" : "; ") + Link["note"].get<std::string>();
  }
  if (Link.contains("ored") && Link["already_set"].get<bool>()) {
    Text += (Text.empty() ? "" : "; ") + std::string("the bits of ") + Link["ored"].get<std::string>() +
            " were already set before the run";
  }
  if (!Link["retrain_reasons"].empty()) {
    Text += (Text.empty() ? "" : "; ") + std::string("retrain: ") + ReasonsText(Link["retrain_reasons"]);
  }
  return Text.empty() ? "-" : Text;
}

void RenderLinkTable(const json &Functions, std::string &Out) {
  Out += "\nPCI Express links (LnkCtl before -> after: bit 6 common clock, bit 0 ASPM L0s, bit 1 ASPM L1)\n";
  Out += "  function  common clock  ASPM L0s    ASPM L1     retrains (polls)  why\n";
  std::vector<std::string> Linkless;
  for (const json &Function : Functions) {
    if (!Function["changes"].contains("pcie")) {
      continue;
    }
    const json &Pcie = Function["changes"]["pcie"];
    if (!Pcie.contains("link")) {
      Linkless.push_back(Function["location"].get<std::string>() + " (" + Pcie["port_type"].get<std::string>() + ")");
      continue;
    }
    const json &Link = Pcie["link"];
    std::string Retrains = std::to_string(Link["retrain_polls"].size());
    std::string Polls;
    for (const json &Each : Link["retrain_polls"]) {
      Polls += (Polls.empty() ? "" : ", ") + std::to_string(Each.get<unsigned>());
    }
    Retrains += Polls.empty() ? "" : " (" + Polls + ")";
    Out += Format("  %-8s  %-12s  %-10s  %-10s  %-16s  %s\n", Function["location"].get<std::string>().c_str(),
                  Change(Link["common_clock"]).c_str(), Change(Link["aspm_l0s"]).c_str(),
                  Change(Link["aspm_l1"]).c_str(), Retrains.c_str(), LinkWhy(Link).c_str());
  }
  for (const json &Function : Functions) {
    if (Function["changes"].contains("host_bridge_reasons")) {
      Out += Format("  %-8s  %s\n", Function["location"].get<std::string>().c_str(),
                    ReasonsText(Function["changes"]["host_bridge_reasons"]).c_str());
    }
  }
  if (!Linkless.empty()) {
    json Names = Linkless;
    Out += "  not listed, without a link of their own: " + Joined(Names, ", ") + "\n";
  }
}

void RenderPayloadTable(const json &Functions, std::string &Out) {
  Out += "\nMax payload size per function (DevCap bits 2:0 supported; DevCtl bits 7:5 before -> after)\n";
  Out += "  function  supports  set            why\n";
  for (const json &Function : Functions) {
    if (!Function["changes"].contains("pcie")) {
      continue;
    }
    const json &Payload = Function["changes"]["pcie"]["payload"];
    Out += Format("  %-8s  %4u      %4u -> %-5u  %s\n", Function["location"].get<std::string>().c_str(),
                  Payload["supported"].get<unsigned>(), Payload["bytes"][0].get<unsigned>(),
                  Payload["bytes"][1].get<unsigned>(), ReasonsText(Payload["reasons"]).c_str());
  }
}

// One row per function whose window registers the driver wrote: both
// registers before -> after, then the driver's reasons.
void RenderWindowRegisters(const json &Functions, bool Decoded, std::string &Out) {
  Out += "\nConfiguration window registers written (before -> after)\n";
  if (!Decoded) {
    Out += "  (nothing decodes the window at 0xE0000000 on this board: the driver's reads there returned 0 and its\n"
           "  writes reached no register; before -> after are the configuration space's own bytes at 0x56 and 0x174)\n";
  }
  bool Any = false;
  for (const json &Function : Functions) {
    const json &Changes = Function["changes"];
    const bool Changed = Changes["window_0x56"][0] != Changes["window_0x56"][1] ||
                         Changes["window_0x174"][0] != Changes["window_0x174"][1];
    if (!Changed && Changes["window_reasons"].empty()) {
      continue;
    }
    Any = true;
    Out += Format(
        "  %s  0x56: %s -> %s, 0x174: %s -> %s  why: %s\n", Function["location"].get<std::string>().c_str(),
        Changes["window_0x56"][0].get<std::string>().c_str(), Changes["window_0x56"][1].get<std::string>().c_str(),
        Changes["window_0x174"][0].get<std::string>().c_str(), Changes["window_0x174"][1].get<std::string>().c_str(),
        ReasonsText(Changes["window_reasons"]).c_str());
    if (Changes.contains("window_0x174_assumed")) {
      Out += "      assumed: " + Changes["window_0x174_assumed"].get<std::string>() + "\n";
    }
  }
  if (!Any) {
    Out += "  none\n";
  }
}

void RenderLinks(const json &Report, std::string &Out) {
  const json &Functions = Report["functions"];
  RenderLinkTable(Functions, Out);
  RenderPayloadTable(Functions, Out);
  RenderWindowRegisters(Functions, Report.value("config_window_decoded", true), Out);
}

void RenderPayload(const json &Payload, std::string &Out) {
  if (Payload.is_null()) {
    return;
  }
  Out += "\nMax payload size chosen\n  " + ReasonsText(Payload["reasons"]);
  if (Payload.contains("scope")) {
    Out += "\n  " + Payload["scope"].get<std::string>();
  }
  std::string SetBy;
  for (const json &Function : Payload["set_by"]) {
    SetBy += (SetBy.empty() ? "" : ", ") + Function.get<std::string>();
  }
  Out += SetBy.empty() ? "\n" : "\n  set by " + SetBy + "\n";
}

void RenderWarnings(const json &Warnings, std::string &Out) {
  Out += Format("\nWarnings (%zu): where the board and the rules disagree; the driver's run is unchanged\n",
                Warnings.size());
  if (Warnings.empty()) {
    Out += "  none\n";
  }
  for (const json &Warning : Warnings) {
    std::string Where = Warning.contains("location") ? Warning["location"].get<std::string>() + "  " : "";
    if (Warning.contains("locations")) {
      Where = std::to_string(Warning["locations"].size()) + " functions (";
      for (size_t Index = 0; Index < Warning["locations"].size(); ++Index) {
        Where += (Index != 0 ? ", " : "") + Warning["locations"][Index].get<std::string>();
      }
      Where += "): ";
    }
    Out += "  " + Where + Warning["message"].get<std::string>() + "\n";
  }
}

void RenderCallbacks(const json &Functions, std::string &Out) {
  Out += "\nCallbacks (calls per phase: prepare controller / begin allocation / end allocation)\n";
  for (const json &Function : Functions) {
    const json &Calls = Function["callbacks"];
    Out += Format("  %s  %d / %d / %d\n", Function["location"].get<std::string>().c_str(),
                  Calls["prep_controller"].get<int>(), Calls["begin_allocation"].get<int>(),
                  Calls["end_allocation"].get<int>());
  }
}

// On a capture, the sections the capture cannot hold come from the model's
// default platform or from a board description: say which.
std::string FromWhere(const json &Report, const char *Section) {
  const json Provenance = Report.value("provenance", json::object());
  if (Provenance.value("hierarchy", "") != "capture") {
    return "";
  }
  const std::string Source = Provenance.value(Section, "");
  return Source == "model-default" ? " (not from the capture: the model's default platform, boards/default.json)"
         : Source == "description" ? " (not from the capture: from the board description)"
                                   : "";
}

// A device no table row names gets EFI_NOT_FOUND with nothing read: one line
// for all of them.
bool NoRowNames(const json &Rom) {
  const json &Reasons = Rom["reasons"];
  return Rom["status"] == "EFI_NOT_FOUND" && Rom["files_read"].empty() && Reasons.size() == 1 &&
         Reasons[0].value("reason", "") == "no-image" && Reasons[0].value("rows", -1) == 0;
}

void RenderOptionRoms(const json &Report, std::string &Out) {
  Out += "\nOption ROMs served" + FromWhere(Report, "firmware_volumes") + "\n";
  json Unnamed = json::array();
  bool Any = false;
  for (const json &Function : Report["functions"]) {
    if (!Function.contains("option_rom")) {
      continue;
    }
    const json &Rom = Function["option_rom"];
    if (NoRowNames(Rom)) {
      Unnamed.push_back(Function["location"]);
      continue;
    }
    Any = true;
    Out += "  " + Function["location"].get<std::string>() + "  " + Rom["status"].get<std::string>();
    if (Rom.contains("size")) {
      Out += Format(", %llu bytes", static_cast<unsigned long long>(Rom["size"].get<uint64_t>()));
      Out += Rom["set_images"].is_null() ? ", no set attached"
                                         : Format(", set of %d images attached", Rom["set_images"].get<int>());
    }
    Out += "\n      why: " + ReasonsText(Rom["reasons"]) + "\n";
    for (const json &File : Rom["files_read"]) {
      Out += "      read " + File.get<std::string>() + "\n";
    }
  }
  if (!Unnamed.empty()) {
    Out += "  EFI_NOT_FOUND, no option ROM table row names the device (" + Joined(Unnamed, ", ") + ")\n";
  } else if (!Any) {
    Out += "  none\n";
  }
}

void RenderPlatform(const json &Report, std::string &Out) {
  Out += "\nFirmware services the driver looked up" + FromWhere(Report, "services") + "\n  " +
         ReasonsText(Report.value("services", json::array())) + "\n";
  Out += "\nConfiguration blocks" + FromWhere(Report, "config_blocks") + "\n";
  if (Report["config_blocks"].empty()) {
    Out += "  none available\n";
  }
  for (const auto &[Name, Block] : Report["config_blocks"].items()) {
    const unsigned Requests = Block["requests"].get<unsigned>();
    Out +=
        Format("  %-13s %u bytes, %u non-zero after the run, %u request%s", Name.c_str(), Block["size"].get<unsigned>(),
               Block["nonzero_bytes"].get<unsigned>(), Requests, Requests == 1 ? "" : "s");
    if (Name == "QMX_DEP_CONF" && Block.contains("dword_at_14")) {
      Out += ", offset 14 = " + Block["dword_at_14"].get<std::string>();
    }
    Out += "; why: " + ReasonsText(Block["reasons"]) + "\n";
  }
  Out += "\nI/O APICs" + FromWhere(Report, "io_apics") + "\n";
  for (const json &Apic : Report["io_apics"]) {
    Out += Format("  %s  ID %u  why: %s\n", Apic["base"].get<std::string>().c_str(), Apic["id"].get<unsigned>(),
                  ReasonsText(Apic["reasons"]).c_str());
  }
  Out += "\nAccesses\n";
  for (const auto &[Kind, Count] : Report["accesses"].items()) {
    Out += Format("  %-13s %llu\n", Kind.c_str(), static_cast<unsigned long long>(Count.get<uint64_t>()));
  }
  Out += Format("  driver calls  %llu, stalled %llu us\n",
                static_cast<unsigned long long>(Report["driver_calls"].get<uint64_t>()),
                static_cast<unsigned long long>(Report["stall_us"].get<uint64_t>()));
  if (!Report["faults"].empty()) {
    Out += "\nModel faults\n";
    for (const json &Fault : Report["faults"]) {
      Out += "  " + Fault.get<std::string>() + "\n";
    }
  }
}

} // namespace

std::string RenderReport(const json &Report) {
  std::string Out = "Board: " + Report["board"].get<std::string>() + "\n";
  Out += "Bus driver sequence: " + Report.value("sequence", std::string("one-pass")) + "\n";
  if (const std::string Variables = FromWhere(Report, "variables"); !Variables.empty()) {
    Out += "Firmware variables and services" + Variables + "\n";
  }
  if (Report["entry_status"] != "EFI_SUCCESS") {
    Out += "The driver's entry point failed: " + Report["entry_status"].get<std::string>() + "\n";
    RenderWarnings(Report["warnings"], Out);
    return Out;
  }
  Out += "\n";
  RenderTree(Report["functions"], Out);
  RenderWarnings(Report["warnings"], Out);
  RenderLinks(Report, Out);
  RenderPayload(Report.value("payload", json()), Out);
  RenderCallbacks(Report["functions"], Out);
  RenderOptionRoms(Report, Out);
  RenderPlatform(Report, Out);
  return Out;
}

} // namespace pciplat
