// pe-info: prints the header summary of a UEFI image and the size of each of
// its sections. With --budget it also checks the file against a size budget
// and exits 1 when the image is larger.
#include "PeImage.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int Usage() {
  std::fprintf(stderr, "usage: pe-info [--budget BYTES] IMAGE.efi\n");
  return 2;
}

} // namespace

int main(int argc, char **argv) {
  unsigned long Budget = 0;
  const char *Path = nullptr;
  if (argc == 2) {
    Path = argv[1];
  } else if (argc == 4 && std::strcmp(argv[1], "--budget") == 0) {
    char *End = nullptr;
    Budget = std::strtoul(argv[2], &End, 0);
    if (End == argv[2] || *End != '\0' || Budget == 0) {
      return Usage();
    }
    Path = argv[3];
  } else {
    return Usage();
  }
  std::string Error;
  const auto Bytes = pe::ReadFile(Path, &Error);
  if (!Bytes) {
    std::fprintf(stderr, "pe-info: %s\n", Error.c_str());
    return 2;
  }
  const auto Image = pe::ParseImage(*Bytes, &Error);
  if (!Image) {
    std::fprintf(stderr, "pe-info: %s: %s\n", Path, Error.c_str());
    return 2;
  }
  std::printf("%s: %llu bytes, PE32+ machine %#x, subsystem %u (%s)\n", Path,
              static_cast<unsigned long long>(Image->FileSize), Image->Machine, Image->Subsystem,
              pe::SubsystemName(Image->Subsystem).c_str());
  std::printf("  entry point RVA %#x, image base %#llx, image size %#x\n", Image->AddressOfEntryPoint,
              static_cast<unsigned long long>(Image->ImageBase), Image->SizeOfImage);
  std::printf("  file alignment %#x, section alignment %#x\n", Image->FileAlignment, Image->SectionAlignment);
  std::printf("  imports %u bytes, base relocations %u bytes\n", Image->Directory(pe::Image::kDirectoryImport).Size,
              Image->Directory(pe::Image::kDirectoryBaseRelocation).Size);
  for (const auto &Section : Image->Sections) {
    std::printf("  %-8s rva %#06x  virtual %5u  file %5u\n", Section.Name.c_str(), Section.VirtualAddress,
                Section.VirtualSize, Section.RawSize);
  }
  if (Budget == 0) {
    return 0;
  }
  std::printf("  budget %lu bytes: %llu used, %lld left\n", Budget, static_cast<unsigned long long>(Image->FileSize),
              static_cast<long long>(Budget) - static_cast<long long>(Image->FileSize));
  if (Image->FileSize > Budget) {
    std::fprintf(stderr, "pe-info: %s is %llu bytes, over the budget of %lu\n", Path,
                 static_cast<unsigned long long>(Image->FileSize), Budget);
    return 1;
  }
  return 0;
}
