// stack-depth: the deepest stack a UEFI image can use, from the stack-usage
// files of its build, its map file and its disassembly. Exits 1 when the
// figure is over the budget given.
#include "PeImage.h"
#include "StackDepth.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kSectionExecutable = 0x20000000;
constexpr const char *kImageName = "PciPlatformDxe.efi";

constexpr const char *kUsage =
    "usage: stack-depth [--levels N] [--budget BYTES] [--objdump PATH] (--build DIR | IMAGE.efi)\n"
    "                   [--map FILE] [--objects DIR]\n"
    "The deepest stack IMAGE.efi can use, every recursive walk N levels deep (default 256).\n"
    "  --build DIR    a host build (DIR/image/PciPlatformDxe.efi) or an image build (DIR/PciPlatformDxe.efi)\n"
    "  IMAGE.efi      an image; its map file IMAGE.map lies next to it and its stack-usage files (.su)\n"
    "                 anywhere under its folder; --map, --objects override\n"
    "  --budget BYTES exit 1 when the deepest stack is larger\n"
    "  --objdump PATH the disassembler (default llvm-objdump)\n"
    "Exit status: 0 within the budget, 1 over it, 2 a bad command line or inputs it cannot read.\n";

struct Options {
  unsigned long Levels = 256;
  unsigned long Budget = 0;
  std::string Objdump = "llvm-objdump";
  std::string Build;
  std::string Image;
  std::string Map;
  std::string Objects;
};

int Fail(const std::string &Why) {
  std::fprintf(stderr, "stack-depth: error: %s\n", Why.c_str());
  return 2;
}

int UsageError(const std::string &Why) { return Fail(Why + " (see stack-depth --help)"); }

bool ReadText(const std::string &Path, std::string *Text) {
  std::ifstream File(Path);
  if (!File || fs::is_directory(Path)) {
    return false;
  }
  std::ostringstream Buffer;
  Buffer << File.rdbuf();
  *Text = Buffer.str();
  return true;
}

bool RunCommand(const std::string &Command, std::string *Output) {
  FILE *Pipe = popen(Command.c_str(), "r");
  if (Pipe == nullptr) {
    return false;
  }
  char Chunk[4096];
  size_t Read = 0;
  while ((Read = std::fread(Chunk, 1, sizeof(Chunk), Pipe)) > 0) {
    Output->append(Chunk, Read);
  }
  return pclose(Pipe) == 0;
}

bool ParseNumber(const char *Text, unsigned long *Value) {
  char *End = nullptr;
  *Value = std::strtoul(Text, &End, 0);
  return End != Text && *End == '\0' && Text[0] != '-';
}

// Fills Chosen from the command line; an empty Error with false means --help.
bool ParseOptions(int argc, char **argv, Options *Chosen, std::string *Error) {
  for (int Arg = 1; Arg < argc; ++Arg) {
    const std::string Option = argv[Arg];
    if (Option == "--help" || Option == "-h") {
      return false;
    }
    if (Option.rfind("-", 0) != 0) {
      if (!Chosen->Image.empty()) {
        *Error = "more than one image: " + Chosen->Image + ", " + Option;
        return false;
      }
      Chosen->Image = Option;
      continue;
    }
    if (Arg + 1 == argc) {
      *Error = "option " + Option + " needs a value";
      return false;
    }
    const char *Value = argv[++Arg];
    if (Option == "--levels" || Option == "--budget") {
      unsigned long &Number = Option == "--levels" ? Chosen->Levels : Chosen->Budget;
      if (!ParseNumber(Value, &Number) || (Option == "--levels" && Number == 0)) {
        *Error = Option + ": '" + Value + "' is not a " + (Option == "--levels" ? "positive number" : "number");
        return false;
      }
    } else if (Option == "--objdump" || Option == "--build" || Option == "--map" || Option == "--objects") {
      (Option == "--objdump" ? Chosen->Objdump
       : Option == "--build" ? Chosen->Build
       : Option == "--map"   ? Chosen->Map
                             : Chosen->Objects) = Value;
    } else {
      *Error = "unknown option '" + Option + "'";
      return false;
    }
  }
  if (Chosen->Build.empty() == Chosen->Image.empty()) {
    *Error = "give either --build DIR or IMAGE.efi";
    return false;
  }
  return true;
}

// Completes Chosen with the image, map and object folder a build leaves.
bool LocateInputs(Options *Chosen, std::string *Error) {
  if (!Chosen->Build.empty()) {
    for (const fs::path &Candidate :
         {fs::path(Chosen->Build) / "image" / kImageName, fs::path(Chosen->Build) / kImageName}) {
      if (fs::is_regular_file(Candidate)) {
        Chosen->Image = Candidate.string();
      }
    }
    if (Chosen->Image.empty()) {
      *Error = "--build " + Chosen->Build + ": no " + kImageName + " in it or in its image/ folder (build the image)";
      return false;
    }
  }
  const fs::path Image(Chosen->Image);
  const fs::path Folder = Image.parent_path().empty() ? fs::path(".") : Image.parent_path();
  if (Chosen->Map.empty()) {
    Chosen->Map = fs::path(Image).replace_extension(".map").string();
  }
  // The image's build folder: its objects lie in one folder per driver layer
  // (and efi/), and only the shipped image is compiled with -fstack-usage, so
  // every stack-usage file under it is one of the image's.
  if (Chosen->Objects.empty()) {
    Chosen->Objects = Folder.string();
  }
  return true;
}

bool ReadFrames(const std::string &Folder, std::map<std::string, uint32_t> *Frames, std::string *Error) {
  std::error_code Walk;
  for (auto Entry = fs::recursive_directory_iterator(Folder, Walk);
       !Walk && Entry != fs::recursive_directory_iterator(); Entry.increment(Walk)) {
    std::string Text;
    if (Entry->path().extension() == ".su" && ReadText(Entry->path().string(), &Text) &&
        !stack::ParseStackUsage(Text, Frames, Error)) {
      *Error = Entry->path().string() + ": " + *Error;
      return false;
    }
  }
  if (Walk || Frames->empty()) {
    *Error = "no stack-usage files under " + Folder + " (build the image with -fstack-usage)";
    return false;
  }
  return true;
}

void PrintReport(const stack::Report &Result, const Options &Chosen) {
  std::printf("%s: deepest stack %llu bytes with recursive walks %lu levels deep", Chosen.Image.c_str(),
              static_cast<unsigned long long>(Result.Deepest), Chosen.Levels);
  if (Chosen.Budget != 0) {
    std::printf(" (budget %lu)", Chosen.Budget);
  }
  std::printf("\n  recursive walks, bytes per level (frames + return addresses):\n");
  for (const auto &Cycle : Result.Recursions) {
    std::string Names;
    for (const auto &Member : Cycle.Members) {
      Names += (Names.empty() ? "" : " + ") + Member;
    }
    std::printf("    %-40s %5llu\n", Names.c_str(), static_cast<unsigned long long>(Cycle.BytesPerLevel));
  }
  std::printf("  deepest path:\n");
  for (const auto &Step : Result.Path) {
    if (Step.Times > 1) {
      std::printf("    %-40s %5llu x %u = %llu\n", Step.Name.c_str(), static_cast<unsigned long long>(Step.Frame),
                  Step.Times, static_cast<unsigned long long>(Step.Frame * Step.Times));
    } else {
      std::printf("    %-40s %5llu\n", Step.Name.c_str(), static_cast<unsigned long long>(Step.Frame));
    }
  }
}

// The code's address range: every executable section.
void TextRange(const pe::Image &Image, uint32_t *Begin, uint32_t *End) {
  *Begin = UINT32_MAX;
  *End = 0;
  for (const auto &Section : Image.Sections) {
    if ((Section.Characteristics & kSectionExecutable) != 0) {
      *Begin = std::min(*Begin, Section.VirtualAddress);
      *End = std::max(*End, Section.VirtualAddress + Section.VirtualSize);
    }
  }
}

} // namespace

int main(int argc, char **argv) {
  Options Chosen;
  std::string Error;
  if (!ParseOptions(argc, argv, &Chosen, &Error)) {
    if (Error.empty()) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    return UsageError(Error);
  }
  std::string Map;
  std::map<std::string, uint32_t> Frames;
  std::optional<pe::Image> Image;
  if (!LocateInputs(&Chosen, &Error)) {
    return Fail(Error);
  }
  if (const auto Bytes = pe::ReadFile(Chosen.Image, &Error); !Bytes || !(Image = pe::ParseImage(*Bytes, &Error))) {
    return Fail(Bytes ? Chosen.Image + ": " + Error : Error);
  }
  if (!ReadText(Chosen.Map, &Map)) {
    return Fail("cannot read the map file " + Chosen.Map + " (give it with --map FILE)");
  }
  if (!ReadFrames(Chosen.Objects, &Frames, &Error)) {
    return Fail(Error);
  }
  std::string Listing;
  if (!RunCommand("'" + Chosen.Objdump + "' -d --no-show-raw-insn '" + Chosen.Image + "' 2>/dev/null", &Listing)) {
    return Fail("cannot disassemble " + Chosen.Image + " with " + Chosen.Objdump + " (give one with --objdump PATH)");
  }
  uint32_t TextBegin = 0;
  uint32_t TextEnd = 0;
  TextRange(*Image, &TextBegin, &TextEnd);
  const auto Result = stack::Analyze(stack::ParseMapSymbols(Map, Image->ImageBase), Frames,
                                     stack::ParseBranches(Listing, Image->ImageBase), TextBegin, TextEnd,
                                     static_cast<unsigned>(Chosen.Levels));
  if (!Result.Unknown.empty()) {
    return Fail("no stack-usage figure for " + Result.Unknown.front());
  }
  PrintReport(Result, Chosen);
  if (Chosen.Budget != 0 && Result.Deepest > Chosen.Budget) {
    std::fprintf(stderr, "stack-depth: error: %llu bytes is over the budget of %lu\n",
                 static_cast<unsigned long long>(Result.Deepest), Chosen.Budget);
    return 1;
  }
  return 0;
}
