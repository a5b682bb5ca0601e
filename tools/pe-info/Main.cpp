// pe-info: prints the header summary of a UEFI image, its PE checksum, what
// could tie it to one build (time stamp, debug directory) and the size of each
// of its sections. With --budget it also checks the file against
// a size budget, with --check the checksum against the contents.
#include "PeImage.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

constexpr const char *kUsage =
    "usage: pe-info [--budget BYTES] [--check] IMAGE.efi\n"
    "The headers, PE checksum and section sizes of a PE32+ UEFI image.\n"
    "  --budget BYTES  exit 1 when the file is larger\n"
    "  --check         exit 1 when the PE checksum is missing or does not match the contents\n"
    "Exit status: 0 fine, 1 over the budget or a bad checksum, 2 a bad command line or an image\n"
    "it cannot read.\n";

struct Options {
  unsigned long Budget = 0;
  bool Check = false;
  bool Help = false;
  const char *Path = nullptr;
};

int Fail(int Status, const std::string &Why) {
  std::fprintf(stderr, "pe-info: error: %s\n", Why.c_str());
  return Status;
}

// Fills Chosen from the command line; on a mistake returns false with Error set.
bool ParseOptions(int argc, char **argv, Options *Chosen, std::string *Error) {
  for (int Arg = 1; Arg < argc; ++Arg) {
    const char *Option = argv[Arg];
    if (std::strcmp(Option, "--help") == 0 || std::strcmp(Option, "-h") == 0) {
      Chosen->Help = true;
    } else if (std::strcmp(Option, "--check") == 0) {
      Chosen->Check = true;
    } else if (std::strcmp(Option, "--budget") == 0) {
      if (Arg + 1 == argc) {
        *Error = "option --budget needs a value";
        return false;
      }
      const char *Value = argv[++Arg];
      char *End = nullptr;
      Chosen->Budget = std::strtoul(Value, &End, 0);
      if (End == Value || *End != '\0' || Chosen->Budget == 0 || Value[0] == '-') {
        *Error = std::string("--budget: '") + Value + "' is not a positive number of bytes";
        return false;
      }
    } else if (Option[0] == '-') {
      *Error = std::string("unknown option '") + Option + "'";
      return false;
    } else if (Chosen->Path != nullptr) {
      *Error = std::string("more than one image: ") + Chosen->Path + ", " + Option;
      return false;
    } else {
      Chosen->Path = Option;
    }
  }
  if (Chosen->Path == nullptr && !Chosen->Help) {
    *Error = "no image given";
    return false;
  }
  return true;
}

// What could make two builds of the same sources differ: a time stamp taken at
// link time, and a debug directory, which names the PDB file by its path.
void PrintBuildTraces(const pe::Image &Image) {
  char When[64] = "zero: no link time in the image";
  if (Image.TimeDateStamp != 0) {
    const std::time_t Seconds = Image.TimeDateStamp;
    std::tm Utc{};
    gmtime_r(&Seconds, &Utc);
    std::strftime(When, sizeof(When), "%Y-%m-%d %H:%M:%S UTC", &Utc);
  }
  const uint32_t Debug = Image.Directory(pe::Image::kDirectoryDebug).Size;
  std::printf("  time stamp 0x%08x (%s); debug directory %s\n", Image.TimeDateStamp, When,
              Debug == 0 ? "none: no file path in the headers" : "present: it may name a build path");
}

void PrintHeaders(const char *Path, const pe::Image &Image, uint32_t ComputedCheckSum) {
  std::printf("%s: %llu bytes, PE32+ machine %#x, subsystem %u (%s)\n", Path,
              static_cast<unsigned long long>(Image.FileSize), Image.Machine, Image.Subsystem,
              pe::SubsystemName(Image.Subsystem).c_str());
  std::printf("  entry point RVA %#x, image base %#llx, image size %#x\n", Image.AddressOfEntryPoint,
              static_cast<unsigned long long>(Image.ImageBase), Image.SizeOfImage);
  std::printf("  file alignment %#x, section alignment %#x\n", Image.FileAlignment, Image.SectionAlignment);
  std::printf("  checksum %#010x, contents %#010x (%s)\n", Image.CheckSum, ComputedCheckSum,
              Image.CheckSum == 0                  ? "none stored"
              : Image.CheckSum == ComputedCheckSum ? "matches"
                                                   : "does not match");
  std::printf("  imports %u bytes, base relocations %u bytes\n", Image.Directory(pe::Image::kDirectoryImport).Size,
              Image.Directory(pe::Image::kDirectoryBaseRelocation).Size);
  PrintBuildTraces(Image);
  for (const auto &Section : Image.Sections) {
    std::printf("  %-8s rva %#06x  virtual %5u  file %5u\n", Section.Name.c_str(), Section.VirtualAddress,
                Section.VirtualSize, Section.RawSize);
  }
}

} // namespace

int main(int argc, char **argv) {
  Options Chosen;
  std::string Error;
  if (!ParseOptions(argc, argv, &Chosen, &Error)) {
    return Fail(2, Error + " (see pe-info --help)");
  }
  if (Chosen.Help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  const auto Bytes = pe::ReadFile(Chosen.Path, &Error);
  if (!Bytes) {
    return Fail(2, Error);
  }
  const auto Image = pe::ParseImage(*Bytes, &Error);
  if (!Image) {
    return Fail(2, std::string(Chosen.Path) + ": " + Error);
  }
  const uint32_t Computed = pe::ComputeCheckSum(*Bytes, Image->CheckSumOffset);
  PrintHeaders(Chosen.Path, *Image, Computed);
  int Status = 0;
  if (Chosen.Budget != 0) {
    std::printf("  budget %lu bytes: %llu used, %lld left\n", Chosen.Budget,
                static_cast<unsigned long long>(Image->FileSize),
                static_cast<long long>(Chosen.Budget) - static_cast<long long>(Image->FileSize));
    if (Image->FileSize > Chosen.Budget) {
      Status = Fail(1, std::string(Chosen.Path) + " is " + std::to_string(Image->FileSize) +
                           " bytes, over the budget of " + std::to_string(Chosen.Budget));
    }
  }
  if (Chosen.Check && Image->CheckSum == 0) {
    Status = Fail(1, std::string(Chosen.Path) + ": the image carries no checksum");
  } else if (Chosen.Check && Image->CheckSum != Computed) {
    char Text[96];
    std::snprintf(Text, sizeof(Text), ": checksum %#010x does not match its contents (%#010x)", Image->CheckSum,
                  Computed);
    Status = Fail(1, Chosen.Path + std::string(Text));
  }
  return Status;
}
