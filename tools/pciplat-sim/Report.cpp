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

// The driver's reasons for a function's link, retrain and payload decisions.
std::string LinkReasons(const json &Changes) {
  std::string Text;
  for (const char *Kind : {"link", "retrain", "payload"}) {
    const json &Reasons = Changes[std::string(Kind) + "_reasons"];
    if (!Reasons.empty()) {
      Text += (Text.empty() ? "" : "; ") + std::string(Kind) + ": " + ReasonsText(Reasons);
    }
  }
  return Text.empty() ? "-" : Text;
}

void RenderLinks(const json &Functions, std::string &Out) {
  Out += "\nPCI Express links and payload (before -> after)\n";
  Out += "  function  common clock  ASPM L1      max payload   retrains (polls each)  why\n";
  for (const json &Function : Functions) {
    const json &Changes = Function["changes"];
    if (!Changes.contains("common_clock")) {
      if (Changes.contains("link_reasons")) { // the host bridge, not itself a PCI Express function
        Out += Format("  %-8s  %-62s  link: %s\n", Function["location"].get<std::string>().c_str(), "-",
                      ReasonsText(Changes["link_reasons"]).c_str());
      }
      continue;
    }
    std::string Retrains = std::to_string(Changes["retrain_polls"].size());
    if (!Changes["retrain_polls"].empty()) {
      Retrains += " (";
      for (size_t Index = 0; Index < Changes["retrain_polls"].size(); ++Index) {
        Retrains += (Index != 0 ? ", " : "") + std::to_string(Changes["retrain_polls"][Index].get<unsigned>());
      }
      Retrains += ")";
    }
    Out += Format("  %-8s  %-3s -> %-4s  %-3s -> %-4s  %4u -> %-5u  %-21s  %s\n",
                  Function["location"].get<std::string>().c_str(), OnOff(Changes["common_clock"][0]).c_str(),
                  OnOff(Changes["common_clock"][1]).c_str(), OnOff(Changes["aspm_l1"][0]).c_str(),
                  OnOff(Changes["aspm_l1"][1]).c_str(), Changes["max_payload"][0].get<unsigned>(),
                  Changes["max_payload"][1].get<unsigned>(), Retrains.c_str(), LinkReasons(Changes).c_str());
  }
  Out += "\nConfiguration window registers changed\n";
  bool Any = false;
  for (const json &Function : Functions) {
    const json &Changes = Function["changes"];
    for (const char *Register : {"window_0x56", "window_0x174"}) {
      if (Changes[Register][0] != Changes[Register][1]) {
        Out += Format("  %s  %s: %s -> %s  why: %s\n", Function["location"].get<std::string>().c_str(), Register + 7,
                      Changes[Register][0].get<std::string>().c_str(), Changes[Register][1].get<std::string>().c_str(),
                      ReasonsText(Changes["window_reasons"]).c_str());
        Any = true;
      }
    }
  }
  if (!Any) {
    Out += "  none\n";
  }
}

void RenderPayload(const json &Payload, std::string &Out) {
  if (Payload.is_null()) {
    return;
  }
  Out += "\nMax payload size\n  " + ReasonsText(Payload["reasons"]);
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
    Out += "  " + (Warning.contains("location") ? Warning["location"].get<std::string>() + "  " : std::string()) +
           Warning["message"].get<std::string>() + "\n";
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

void RenderOptionRoms(const json &Functions, std::string &Out) {
  Out += "\nOption ROMs served\n";
  bool Any = false;
  for (const json &Function : Functions) {
    if (!Function.contains("option_rom")) {
      continue;
    }
    Any = true;
    const json &Rom = Function["option_rom"];
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
  if (!Any) {
    Out += "  none\n";
  }
}

void RenderPlatform(const json &Report, std::string &Out) {
  Out += "\nConfiguration blocks\n";
  if (Report["config_blocks"].empty()) {
    Out += "  none available\n";
  }
  for (const auto &[Name, Block] : Report["config_blocks"].items()) {
    Out +=
        Format("  %-13s %u bytes, %u non-zero after the run, %u requests", Name.c_str(), Block["size"].get<unsigned>(),
               Block["nonzero_bytes"].get<unsigned>(), Block["requests"].get<unsigned>());
    if (Name == "QMX_DEP_CONF" && Block.contains("dword_at_14")) {
      Out += ", offset 14 = " + Block["dword_at_14"].get<std::string>();
    }
    Out += "; why: " + ReasonsText(Block["reasons"]) + "\n";
  }
  Out += "\nI/O APICs\n";
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
  if (Report["entry_status"] != "EFI_SUCCESS") {
    Out += "The driver's entry point failed: " + Report["entry_status"].get<std::string>() + "\n";
    RenderWarnings(Report["warnings"], Out);
    return Out;
  }
  Out += "\n";
  RenderTree(Report["functions"], Out);
  RenderWarnings(Report["warnings"], Out);
  RenderLinks(Report["functions"], Out);
  RenderPayload(Report.value("payload", json()), Out);
  RenderCallbacks(Report["functions"], Out);
  RenderOptionRoms(Report["functions"], Out);
  RenderPlatform(Report, Out);
  return Out;
}

} // namespace pciplat
