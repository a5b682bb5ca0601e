// pciplat-sim: runs a whole PCI enumeration of a board in the firmware model
// with the real driver code, and reports what the driver did.
#include "Board.h"
#include "LspciDump.h"
#include "Report.h"
#include "Run.h"

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
    "  --board FILE        board description (JSON; see boards/README.md); default: built-in board\n"
    "  --lspci FILE        take the hierarchy from `lspci -x`, `-xxx` or `-xxxx` text\n"
    "  --disable-aspm      create the \"DisableASPM\" variable\n"
    "  --json              print the report as one JSON document\n"
    "  --trace             print the ordered access log after the report\n"
    "  --numeric           no names from the PCI ID database\n"
    "  --dump-before FILE  write every function's configuration space before the run (lspci -xxxx form)\n"
    "  --dump-after FILE   the same after the run; `lspci -vv -F FILE` decodes it\n"
    "Exit status: 0 done, 1 the model caught the driver misbehaving, 2 bad input.\n";

struct Arguments {
  std::optional<std::string> BoardFile;
  std::optional<std::string> LspciFile;
  std::optional<std::string> DumpBefore;
  std::optional<std::string> DumpAfter;
  bool DisableAspm = false;
  bool Json = false;
  bool Trace = false;
  bool Numeric = false;
};

int BadInput(const std::string &Message) {
  std::fprintf(stderr, "pciplat-sim: error: %s\n", pciplat::PrintableText(Message).c_str());
  return kExitBadInput;
}

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

// Returns an exit status when the arguments end the program.
std::optional<int> Parse(int argc, char **argv, Arguments &Out) {
  for (int Index = 1; Index < argc; ++Index) {
    const std::string Option = argv[Index];
    auto Value = [&](std::optional<std::string> &Target) -> bool {
      if (Index + 1 >= argc) {
        return false;
      }
      Target = argv[++Index];
      return true;
    };
    bool Ok = true;
    if (Option == "--help" || Option == "-h") {
      std::fputs(kUsage, stdout);
      return kExitOk;
    } else if (Option == "--board") {
      Ok = Value(Out.BoardFile);
    } else if (Option == "--lspci") {
      Ok = Value(Out.LspciFile);
    } else if (Option == "--dump-before") {
      Ok = Value(Out.DumpBefore);
    } else if (Option == "--dump-after") {
      Ok = Value(Out.DumpAfter);
    } else if (Option == "--disable-aspm") {
      Out.DisableAspm = true;
    } else if (Option == "--json") {
      Out.Json = true;
    } else if (Option == "--trace") {
      Out.Trace = true;
    } else if (Option == "--numeric") {
      Out.Numeric = true;
    } else {
      return BadInput("unknown option '" + Option + "' (see pciplat-sim --help)");
    }
    if (!Ok) {
      return BadInput("option " + Option + " needs a file name");
    }
  }
  return std::nullopt;
}

} // namespace

int main(int argc, char **argv) {
  Arguments Args;
  if (const auto Done = Parse(argc, argv, Args)) {
    return *Done;
  }
  std::string Error;
  pciplat::Board Layout = pciplat::DefaultBoard();
  if (Args.BoardFile) {
    const auto Text = ReadText(*Args.BoardFile, &Error);
    if (!Text) {
      return BadInput(Error);
    }
    auto Parsed = pciplat::ParseBoardJson(*Text, *Args.BoardFile, &Error);
    if (!Parsed) {
      return BadInput(Error);
    }
    Layout = std::move(*Parsed);
  }
  if (Args.LspciFile) {
    const auto Text = ReadText(*Args.LspciFile, &Error);
    if (!Text) {
      return BadInput(Error);
    }
    const auto Dump = pciplat::ParseLspciDump(*Text, *Args.LspciFile, &Error);
    if (!Dump) {
      return BadInput(Error);
    }
    Layout = pciplat::WithDumpedHierarchy(std::move(Layout), *Dump);
    Layout.Name += " (hierarchy from " + *Args.LspciFile + ")";
  }

  pciplat::RunOptions Options;
  Options.DisableAspm = Args.DisableAspm;
  Options.Names = !Args.Numeric;
  Options.Trace = Args.Trace;
  const pciplat::RunResult Result = pciplat::RunBoard(Layout, Options);

  if ((Args.DumpBefore && !WriteText(*Args.DumpBefore, Result.DumpBefore, &Error)) ||
      (Args.DumpAfter && !WriteText(*Args.DumpAfter, Result.DumpAfter, &Error))) {
    return BadInput(Error);
  }
  if (Args.Json) {
    nlohmann::json Document = Result.Report;
    if (Args.Trace) {
      Document["trace"] = Result.Trace;
    }
    std::printf("%s\n", Document.dump(2).c_str());
  } else {
    std::fputs(pciplat::RenderReport(Result.Report).c_str(), stdout);
    if (Args.Trace) {
      std::printf("\nAccess log\n");
      for (const std::string &Line : Result.Trace) {
        std::printf("  %s\n", Line.c_str());
      }
    }
  }
  return Result.Report["faults"].empty() && Result.Report["entry_status"] == "EFI_SUCCESS" ? kExitOk : kExitDriverFault;
}
