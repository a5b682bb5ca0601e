// pciplat-sim: runs a whole PCI enumeration of a board in the firmware model
// with the real driver code, and reports what the driver did.
#include "Board.h"
#include "Diff.h"
#include "LspciDump.h"
#include "Report.h"
#include "Run.h"
#include "TextFormat.h"
#include "Trace.h"
#include "base/DecisionTable.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitDriverFault = 1;
constexpr int kExitBadInput = 2;

constexpr const char *kUsage =
    "usage: pciplat-sim [options]\n"
    "Runs a whole PCI enumeration of a board with the driver and reports what it did.\n"
    "Options take their value as --option VALUE or --option=VALUE.\n"
    "  --board FILE        board description (JSON; see boards/README.md); default: built-in board\n"
    "  --lspci FILE        take the hierarchy from `lspci -x`/`-xxx`/`-xxxx` text, with or without -v, -n, -D\n"
    "  --disable-aspm      create the \"DisableASPM\" variable\n"
    "  --sequence SEQ      how the bus driver calls the driver: one-pass (default), or ovmf as OVMF's does\n"
    "                      (two bus-allocation passes, resource collection after the begin of allocation)\n"
    "  --decision-lines    print the driver's decision records, one line each, as its debug image writes them\n"
    "  --json              print the report as one JSON document\n"
    "  --diff              print only the registers the driver changed, in setpci notation\n"
    "  --trace             print the access log, with driver calls and register names, after the report\n"
    "  --numeric           no names from the PCI ID database\n"
    "  --dump-before FILE  write every function's configuration space before the run (lspci -xxxx form)\n"
    "  --dump-after FILE   the same after the run; `lspci -vv -F FILE` decodes it\n"
    "  --setpci FILE       write the driver's configuration writes as a setpci script, to run by hand\n"
    "  --version           print the version and the report's schema version\n"
    "Warnings (where the board and the rules disagree) are in the report; their count goes to stderr.\n"
    "Exit status: 0 done, 1 the model caught the driver misbehaving, 2 bad input.\n";

constexpr const char *kVersion = "pciplat-sim 0.2.0";

struct Arguments {
  std::optional<std::string> BoardFile;
  std::optional<std::string> LspciFile;
  std::optional<std::string> DumpBefore;
  std::optional<std::string> DumpAfter;
  std::optional<std::string> SetpciFile;
  std::optional<std::string> Sequence;
  bool DisableAspm = false;
  bool DecisionLines = false;
  bool Json = false;
  bool Diff = false;
  bool Trace = false;
  bool Numeric = false;
};

int BadInput(const std::string &Message) {
  std::fprintf(stderr, "pciplat-sim: error: %s\n", pciplat::PrintableText(Message).c_str());
  return kExitBadInput;
}

// One line, the error first: a usage error ends with where to look.
int BadUsage(const std::string &Message) { return BadInput(Message + " (try 'pciplat-sim --help')"); }

std::optional<std::string> ReadText(const std::string &Path, std::string *Error) {
  std::ifstream File(Path, std::ios::binary);
  if (std::filesystem::is_directory(Path)) {
    *Error = Path + ": is a folder, not a file";
    return std::nullopt;
  }
  if (!File) {
    *Error = Path + ": cannot open: " + std::strerror(errno);
    return std::nullopt;
  }
  std::ostringstream Text;
  Text << File.rdbuf();
  if (File.bad()) {
    *Error = Path + ": read error";
    return std::nullopt;
  }
  return Text.str();
}

bool WriteText(const std::string &Path, const std::string &Text, std::string *Error) {
  std::ofstream File(Path, std::ios::binary);
  File << Text;
  File.close();
  if (!File) {
    *Error = Path + ": cannot write";
    return false;
  }
  return true;
}

std::optional<std::string> *ValueOption(const std::string &Name, Arguments &Out) {
  if (Name == "--board") {
    return &Out.BoardFile;
  }
  if (Name == "--lspci") {
    return &Out.LspciFile;
  }
  if (Name == "--dump-before") {
    return &Out.DumpBefore;
  }
  if (Name == "--dump-after") {
    return &Out.DumpAfter;
  }
  if (Name == "--sequence") {
    return &Out.Sequence;
  }
  return Name == "--setpci" ? &Out.SetpciFile : nullptr;
}

bool *FlagOption(const std::string &Name, Arguments &Out) {
  if (Name == "--disable-aspm") {
    return &Out.DisableAspm;
  }
  if (Name == "--json") {
    return &Out.Json;
  }
  if (Name == "--diff") {
    return &Out.Diff;
  }
  if (Name == "--trace") {
    return &Out.Trace;
  }
  if (Name == "--decision-lines") {
    return &Out.DecisionLines;
  }
  return Name == "--numeric" ? &Out.Numeric : nullptr;
}

// Returns an exit status when the arguments end the program.
std::optional<int> Parse(int argc, char **argv, Arguments &Out) {
  for (int Index = 1; Index < argc; ++Index) {
    const std::string Argument = argv[Index];
    const size_t Equals = Argument.rfind("--", 0) == 0 ? Argument.find('=') : std::string::npos;
    const std::string Name = Argument.substr(0, Equals);
    if (Name == "--help" || Name == "-h") {
      std::fputs(kUsage, stdout);
      return kExitOk;
    }
    if (Name == "--version") {
      std::printf("%s (report schema %d)\n", kVersion, pciplat::kReportSchemaVersion);
      return kExitOk;
    }
    if (bool *Flag = FlagOption(Name, Out)) {
      if (Equals != std::string::npos) {
        return BadUsage("option " + Name + " takes no value");
      }
      *Flag = true;
    } else if (std::optional<std::string> *Value = ValueOption(Name, Out)) {
      if (Equals == std::string::npos && Index + 1 >= argc) {
        return BadUsage("option " + Name + (Name == "--sequence" ? " needs a value" : " needs a file name"));
      }
      *Value = Equals != std::string::npos ? Argument.substr(Equals + 1) : argv[++Index];
      if (Value->value().empty()) {
        return BadUsage("option " + Name + (Name == "--sequence" ? " needs a value" : " needs a file name"));
      }
    } else {
      return BadUsage("unknown option " + pciplat::Quoted(Argument));
    }
  }
  return std::nullopt;
}

// The board to run: the built-in one or a description, with the hierarchy
// of a capture when one is given.
std::optional<pciplat::Board> LoadBoard(const Arguments &Args, std::string *Error) {
  pciplat::Board Layout = pciplat::DefaultBoard();
  if (Args.BoardFile) {
    const auto Text = ReadText(*Args.BoardFile, Error);
    auto Parsed = Text ? pciplat::ParseBoardJson(*Text, *Args.BoardFile, Error) : std::nullopt;
    if (!Parsed) {
      return std::nullopt;
    }
    Layout = std::move(*Parsed);
  }
  if (Args.LspciFile) {
    const auto Text = ReadText(*Args.LspciFile, Error);
    const auto Dump = Text ? pciplat::ParseLspciDump(*Text, *Args.LspciFile, Error) : std::nullopt;
    if (!Dump) {
      return std::nullopt;
    }
    Layout = pciplat::WithDumpedHierarchy(std::move(Layout), *Dump);
    Layout.Name += " (hierarchy from " + *Args.LspciFile + ")";
  }
  return Layout;
}

bool WriteFiles(const Arguments &Args, const pciplat::RunResult &Result, const std::string &BoardName,
                std::string *Error) {
  return (!Args.DumpBefore || WriteText(*Args.DumpBefore, Result.DumpBefore, Error)) &&
         (!Args.DumpAfter || WriteText(*Args.DumpAfter, Result.DumpAfter, Error)) &&
         (!Args.SetpciFile || WriteText(*Args.SetpciFile, pciplat::SetpciScript(Result.Record, BoardName), Error));
}

void PrintDecisionLines(const pciplat::RunRecord &Record) {
  for (const DECISION &Decision : Record.Decisions) {
    char Line[DECISION_LINE_CAPACITY];
    FormatDecisionLine(Decision, Line, sizeof(Line));
    std::puts(Line);
  }
}

void Print(const Arguments &Args, const pciplat::RunResult &Result) {
  if (Args.DecisionLines) {
    PrintDecisionLines(Result.Record);
    return;
  }
  if (Args.Json) {
    nlohmann::json Document = Result.Report;
    if (Args.Trace) {
      Document["trace"] = pciplat::TraceEntries(Result.Record);
    }
    if (Args.Diff) {
      Document["register_changes"] = pciplat::RegisterChanges(Result.Record);
    }
    // File names and capture text need not be UTF-8: replace, never abort.
    std::printf("%s\n", Document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    return;
  }
  if (Args.Diff) {
    std::fputs(pciplat::RenderChanges(pciplat::RegisterChanges(Result.Record)).c_str(), stdout);
  } else {
    std::fputs(pciplat::RenderReport(Result.Report).c_str(), stdout);
  }
  if (Args.Trace) {
    std::printf("\nAccess log\n%s", pciplat::RenderTrace(pciplat::TraceEntries(Result.Record)).c_str());
  }
}

} // namespace

int main(int argc, char **argv) {
  Arguments Args;
  if (const auto Done = Parse(argc, argv, Args)) {
    return *Done;
  }
  std::string Error;
  const auto Layout = LoadBoard(Args, &Error);
  if (!Layout) {
    return BadInput(Error);
  }
  pciplat::RunOptions Options;
  if (Args.Sequence && *Args.Sequence != "one-pass") {
    if (*Args.Sequence != "ovmf") {
      return BadUsage("option --sequence takes one-pass or ovmf, not " + pciplat::Quoted(*Args.Sequence));
    }
    Options.Sequence = sim::BusDriverSequence::Ovmf;
  }
  Options.DisableAspm = Args.DisableAspm;
  Options.Names = !Args.Numeric;
  const pciplat::RunResult Result = pciplat::RunBoard(*Layout, Options);
  if (!WriteFiles(Args, Result, Layout->Name, &Error)) {
    return BadInput(Error);
  }
  Print(Args, Result);
  if (const size_t Warnings = Result.Report["warnings"].size(); Warnings != 0) {
    std::fprintf(stderr, "pciplat-sim: %zu warning%s (see the report's Warnings section)\n", Warnings,
                 Warnings == 1 ? "" : "s");
  }
  const bool Sound = Result.Report["faults"].empty() && Result.Report["entry_status"] == "EFI_SUCCESS";
  return Sound ? kExitOk : kExitDriverFault;
}
