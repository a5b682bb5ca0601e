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

namespace {

constexpr uint32_t kSectionExecutable = 0x20000000;

int Usage() {
  std::fprintf(stderr, "usage: stack-depth [--levels N] [--budget BYTES] [--objdump PATH] IMAGE.efi IMAGE.map SU_DIR\n"
                       "  SU_DIR: the directory tree holding the .su files of the image's build\n");
  return 2;
}

int Fail(const std::string &Why) {
  std::fprintf(stderr, "stack-depth: %s\n", Why.c_str());
  return 2;
}

bool ReadText(const std::string &Path, std::string *Text) {
  std::ifstream File(Path);
  if (!File) {
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
  return End != Text && *End == '\0';
}

} // namespace

int main(int argc, char **argv) {
  unsigned long Levels = 256;
  unsigned long Budget = 0;
  std::string Objdump = "llvm-objdump";
  int Arg = 1;
  for (; Arg + 1 < argc && argv[Arg][0] == '-'; Arg += 2) {
    const std::string Option = argv[Arg];
    if (Option == "--objdump") {
      Objdump = argv[Arg + 1];
    } else if ((Option == "--levels" && ParseNumber(argv[Arg + 1], &Levels) && Levels > 0) ||
               (Option == "--budget" && ParseNumber(argv[Arg + 1], &Budget))) {
      continue;
    } else {
      return Usage();
    }
  }
  if (argc - Arg != 3) {
    return Usage();
  }
  const std::string ImagePath = argv[Arg];
  const std::string MapPath = argv[Arg + 1];
  const std::string SuDirectory = argv[Arg + 2];

  std::string Error;
  const auto Bytes = pe::ReadFile(ImagePath, &Error);
  if (!Bytes) {
    return Fail(Error);
  }
  const auto Image = pe::ParseImage(*Bytes, &Error);
  if (!Image) {
    return Fail(ImagePath + ": " + Error);
  }
  uint32_t TextBegin = UINT32_MAX;
  uint32_t TextEnd = 0;
  for (const auto &Section : Image->Sections) {
    if ((Section.Characteristics & kSectionExecutable) != 0) {
      TextBegin = std::min(TextBegin, Section.VirtualAddress);
      TextEnd = std::max(TextEnd, Section.VirtualAddress + Section.VirtualSize);
    }
  }
  std::string Map;
  if (!ReadText(MapPath, &Map)) {
    return Fail("cannot read " + MapPath);
  }
  std::map<std::string, uint32_t> Frames;
  std::error_code Walk;
  for (const auto &Entry : std::filesystem::recursive_directory_iterator(SuDirectory, Walk)) {
    std::string Text;
    if (Entry.path().extension() == ".su" && ReadText(Entry.path().string(), &Text) &&
        !stack::ParseStackUsage(Text, &Frames, &Error)) {
      return Fail(Entry.path().string() + ": " + Error);
    }
  }
  if (Walk || Frames.empty()) {
    return Fail("no stack-usage files under " + SuDirectory + " (build the image with -fstack-usage)");
  }
  std::string Listing;
  if (!RunCommand("'" + Objdump + "' -d --no-show-raw-insn '" + ImagePath + "'", &Listing)) {
    return Fail("cannot disassemble " + ImagePath + " with " + Objdump);
  }

  const auto Result = stack::Analyze(stack::ParseMapSymbols(Map, Image->ImageBase), Frames,
                                     stack::ParseBranches(Listing, Image->ImageBase), TextBegin, TextEnd,
                                     static_cast<unsigned>(Levels));
  if (!Result.Unknown.empty()) {
    return Fail("no stack-usage figure for " + Result.Unknown.front());
  }
  std::printf("%s: deepest stack %llu bytes with recursive walks %lu levels deep", ImagePath.c_str(),
              static_cast<unsigned long long>(Result.Deepest), Levels);
  if (Budget != 0) {
    std::printf(" (budget %lu)", Budget);
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
  if (Budget != 0 && Result.Deepest > Budget) {
    std::fprintf(stderr, "stack-depth: %llu bytes is over the budget of %lu\n",
                 static_cast<unsigned long long>(Result.Deepest), Budget);
    return 1;
  }
  return 0;
}
