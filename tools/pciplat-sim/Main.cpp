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

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitDriverFault = 1;
constexpr int kExitBadInput = 2;

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

// An option takes a value (Value names it) or is a flag; exactly one member is set.
struct Option {
  const char *Name;
  const char *Value;
  std::optional<std::string> Arguments::*Text;
  bool Arguments::*Flag;
  const char *Help;
};

constexpr Option kOptions[] = {
    {"--board", "FILE", &Arguments::BoardFile, nullptr,
     "board description (JSON; see boards/README.md); default: built-in board"},
    {"--lspci", "FILE", &Arguments::LspciFile, nullptr,
     "take the hierarchy from `lspci -x`/`-xxx`/`-xxxx` text, with or without -v, -n, -D"},
    {"--disable-aspm", nullptr, nullptr, &Arguments::DisableAspm, "create the \"DisableASPM\" variable"},
    {"--sequence", "SEQ", &Arguments::Sequence, nullptr,
     "how the bus driver calls the driver: one-pass (default), or ovmf as OVMF's does\n"
     "(two bus-allocation passes, resource collection after the begin of allocation)"},
    {"--decision-lines", nullptr, nullptr, &Arguments::DecisionLines,
     "print the driver's decision records, one line each, as its debug image writes them"},
    {"--json", nullptr, nullptr, &Arguments::Json,
     "print the report as one JSON document (with --trace: the access log under \"trace\";\n"
     "with --diff: the changed registers under \"register_changes\")"},
    {"--diff", nullptr, nullptr, &Arguments::Diff, "print only the registers the driver changed, in setpci notation"},
    {"--trace", nullptr, nullptr, &Arguments::Trace,
     "print the access log, with driver calls and register names, after the report"},
    {"--numeric", nullptr, nullptr, &Arguments::Numeric, "no names from the PCI ID database"},
    {"--dump-before", "FILE", &Arguments::DumpBefore, nullptr,
     "write every function's configuration space before the run (lspci -xxxx form)"},
    {"--dump-after", "FILE", &Arguments::DumpAfter, nullptr, "the same after the run; `lspci -vv -F FILE` decodes it"},
    {"--setpci", "FILE", &Arguments::SetpciFile, nullptr,
     "write the driver's configuration writes as a setpci script, to review and run by hand"},
};

// Outputs that cannot share standard output: decision lines are the driver's
// serial log, exactly.
constexpr std::pair<bool Arguments::*, bool Arguments::*> kExclusive[] = {
    {&Arguments::DecisionLines, &Arguments::Json},
    {&Arguments::DecisionLines, &Arguments::Diff},
    {&Arguments::DecisionLines, &Arguments::Trace},
};

const char *NameOf(bool Arguments::*Flag) {
  for (const Option &Entry : kOptions) {
    if (Entry.Flag == Flag) {
      return Entry.Name;
    }
  }
  return "?";
}

std::string Usage() {
  std::string Text = "usage: pciplat-sim [options]\n"
                     "Runs a whole PCI enumeration of a board with the driver and reports what it did.\n"
                     "Options take their value as --option VALUE or --option=VALUE.\n";
  constexpr size_t kHelpColumn = 22;
  for (const Option &Entry : kOptions) {
    std::string Left = std::string("  ") + Entry.Name + (Entry.Value ? std::string(" ") + Entry.Value : "");
    Left.resize(std::max(Left.size() + 2, kHelpColumn), ' ');
    std::string Help = Entry.Help;
    for (size_t Break = Help.find('\n'); Break != std::string::npos; Break = Help.find('\n', Break + 1)) {
      Help.insert(Break + 1, kHelpColumn, ' ');
    }
    Text += Left + Help + "\n";
  }
  return Text + "  --version           print the version and the report's schema version\n"
                "Conflicting outputs: --decision-lines with --json, --diff or --trace.\n"
                "Warnings (where the board and the rules disagree) are in the report; their count goes to stderr.\n"
                "Exit status: 0 done, 1 the model caught the driver misbehaving, 2 bad input.\n";
}

int BadInput(const std::string &Message) {
  std::fprintf(stderr, "pciplat-sim: error: %s\n", pciplat::PrintableText(Message).c_str());
  return kExitBadInput;
}

// One line, the error first: a usage error ends with where to look.
int BadUsage(const std::string &Message) { return BadInput(Message + " (try 'pciplat-sim --help')"); }

std::string SystemError(const std::string &Path, const char *What) {
  return Path + ": " + What + ": " + std::strerror(errno);
}

std::optional<std::string> ReadText(const std::string &Path, std::string *Error) {
  if (std::filesystem::is_directory(Path)) {
    *Error = Path + ": is a folder, not a file";
    return std::nullopt;
  }
  std::FILE *File = std::fopen(Path.c_str(), "rb");
  if (File == nullptr) {
    *Error = SystemError(Path, "cannot open");
    return std::nullopt;
  }
  std::string Text;
  char Block[65536];
  for (size_t Read; (Read = std::fread(Block, 1, sizeof(Block), File)) != 0;) {
    Text.append(Block, Read);
  }
  const bool Failed = std::ferror(File) != 0;
  if (Failed) {
    *Error = SystemError(Path, "read error");
  }
  std::fclose(File);
  return Failed ? std::nullopt : std::optional(Text);
}

bool WriteText(const std::string &Path, const std::string &Text, std::string *Error) {
  std::FILE *File = std::fopen(Path.c_str(), "wb");
  if (File == nullptr) {
    *Error = SystemError(Path, "cannot write");
    return false;
  }
  const bool Written = std::fwrite(Text.data(), 1, Text.size(), File) == Text.size();
  if (!Written) {
    *Error = SystemError(Path, "cannot write");
  }
  if (std::fclose(File) != 0 && Written) {
    *Error = SystemError(Path, "cannot write");
    return false;
  }
  return Written;
}

const Option *FindOption(const std::string &Name) {
  for (const Option &Entry : kOptions) {
    if (Name == Entry.Name) {
      return &Entry;
    }
  }
  return nullptr;
}

// Stores one option's value; returns the usage error, if any.
std::optional<std::string> Store(const Option &Entry, std::optional<std::string> Value, Arguments &Out) {
  const std::string Name = Entry.Name;
  if (Entry.Flag != nullptr) {
    if (Value) {
      return "option " + Name + " takes no value";
    }
    Out.*Entry.Flag = true;
    return std::nullopt;
  }
  if (!Value || Value->empty()) {
    return "option " + Name + (std::string(Entry.Value) == "FILE" ? " needs a file name" : " needs a value");
  }
  if (Out.*Entry.Text) {
    return "option " + Name + " given twice";
  }
  Out.*Entry.Text = std::move(Value);
  return std::nullopt;
}

std::optional<std::string> CheckExclusive(const Arguments &Args) {
  for (const auto &[First, Second] : kExclusive) {
    if (Args.*First && Args.*Second) {
      return std::string("options ") + NameOf(First) + " and " + NameOf(Second) + " cannot be used together";
    }
  }
  return std::nullopt;
}

// Returns an exit status when the arguments end the program.
std::optional<int> Parse(int argc, char **argv, Arguments &Out) {
  for (int Index = 1; Index < argc; ++Index) {
    const std::string Argument = argv[Index];
    const size_t Equals = Argument.rfind("--", 0) == 0 ? Argument.find('=') : std::string::npos;
    const std::string Name = Argument.substr(0, Equals);
    if (Name == "--help" || Name == "-h") {
      std::fputs(Usage().c_str(), stdout);
      return kExitOk;
    }
    if (Name == "--version") {
      std::printf("%s (report schema %d)\n", kVersion, pciplat::kReportSchemaVersion);
      return kExitOk;
    }
    const Option *Entry = FindOption(Name);
    if (Entry == nullptr) {
      return BadUsage("unknown option " + pciplat::Quoted(Argument));
    }
    std::optional<std::string> Value;
    if (Equals != std::string::npos) {
      Value = Argument.substr(Equals + 1);
    } else if (Entry->Text != nullptr && Index + 1 < argc) {
      Value = argv[++Index];
    }
    if (const auto Error = Store(*Entry, std::move(Value), Out)) {
      return BadUsage(*Error);
    }
  }
  if (const auto Error = CheckExclusive(Out)) {
    return BadUsage(*Error);
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

bool WriteFiles(const Arguments &Args, const pciplat::RunResult &Result, const pciplat::Board &Layout,
                std::string *Error) {
  const pciplat::ScriptSource Source{Layout.Name, kVersion, Args.Sequence.value_or("one-pass"), Args.DisableAspm, 0};
  return (!Args.DumpBefore || WriteText(*Args.DumpBefore, Result.DumpBefore, Error)) &&
         (!Args.DumpAfter || WriteText(*Args.DumpAfter, Result.DumpAfter, Error)) &&
         (!Args.SetpciFile || WriteText(*Args.SetpciFile, pciplat::SetpciScript(Result.Record, Source), Error));
}

// The warning count, pointing to where the warnings are: outputs without the
// report's Warnings section do not have them.
void NoteWarnings(const Arguments &Args, size_t Warnings) {
  if (Warnings == 0) {
    return;
  }
  const std::string Where = Args.Json            ? "see the report's \"warnings\""
                            : Args.Diff          ? "run without --diff to see them"
                            : Args.DecisionLines ? "run without --decision-lines to see them"
                                                 : "see the report's Warnings section";
  std::fprintf(stderr, "pciplat-sim: %zu warning%s (%s)\n", Warnings, Warnings == 1 ? "" : "s", Where.c_str());
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
  if (!WriteFiles(Args, Result, *Layout, &Error)) {
    return BadInput(Error);
  }
  Print(Args, Result);
  NoteWarnings(Args, Result.Report["warnings"].size());
  const bool Sound = Result.Report["faults"].empty() && Result.Report["entry_status"] == "EFI_SUCCESS";
  return Sound ? kExitOk : kExitDriverFault;
}
