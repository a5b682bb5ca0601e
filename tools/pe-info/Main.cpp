// pe-info: prints the header summary of a UEFI image.
#include "PeImage.h"

#include <cstdio>

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: pe-info IMAGE.efi\n");
    return 2;
  }
  std::string Error;
  const auto Bytes = pe::ReadFile(argv[1], &Error);
  if (!Bytes) {
    std::fprintf(stderr, "pe-info: %s\n", Error.c_str());
    return 2;
  }
  const auto Image = pe::ParseImage(*Bytes, &Error);
  if (!Image) {
    std::fprintf(stderr, "pe-info: %s: %s\n", argv[1], Error.c_str());
    return 2;
  }
  std::printf("%s: %llu bytes, PE32+ machine %#x, subsystem %u (%s)\n", argv[1],
              static_cast<unsigned long long>(Image->FileSize), Image->Machine, Image->Subsystem,
              pe::SubsystemName(Image->Subsystem).c_str());
  std::printf("  entry point RVA %#x, image base %#llx, image size %#x\n", Image->AddressOfEntryPoint,
              static_cast<unsigned long long>(Image->ImageBase), Image->SizeOfImage);
  std::printf("  imports %u bytes, base relocations %u bytes\n", Image->Directory(pe::Image::kDirectoryImport).Size,
              Image->Directory(pe::Image::kDirectoryBaseRelocation).Size);
  for (const auto &Section : Image->Sections) {
    std::printf("  %-8s rva %#06x  virtual %5u  file %5u\n", Section.Name.c_str(), Section.VirtualAddress,
                Section.VirtualSize, Section.RawSize);
  }
  return 0;
}
