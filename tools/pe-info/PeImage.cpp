#include "PeImage.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

namespace pe {

namespace {

template <typename T> bool Load(const std::vector<uint8_t> &Bytes, size_t Offset, T *Value) {
  if (Offset > Bytes.size() || Bytes.size() - Offset < sizeof(T)) {
    return false;
  }
  std::memcpy(Value, Bytes.data() + Offset, sizeof(T));
  return true;
}

constexpr uint16_t kDosSignature = 0x5A4D;    // "MZ"
constexpr uint32_t kPeSignature = 0x00004550; // "PE\0\0"
constexpr size_t kDosLfanewOffset = 0x3C;
constexpr size_t kFileHeaderSize = 20;
constexpr size_t kSectionHeaderSize = 40;

} // namespace

DataDirectory Image::Directory(size_t Index) const {
  return Index < Directories.size() ? Directories[Index] : DataDirectory{0, 0};
}

std::optional<Image> ParseImage(const std::vector<uint8_t> &Bytes, std::string *Error) {
  auto Fail = [&](const char *Why) -> std::optional<Image> {
    *Error = Why;
    return std::nullopt;
  };
  uint16_t DosSignature = 0;
  uint32_t PeOffset = 0;
  if (!Load(Bytes, 0, &DosSignature) || DosSignature != kDosSignature) {
    return Fail("no DOS header (MZ)");
  }
  if (!Load(Bytes, kDosLfanewOffset, &PeOffset)) {
    return Fail("truncated DOS header");
  }
  uint32_t PeSignature = 0;
  if (!Load(Bytes, PeOffset, &PeSignature) || PeSignature != kPeSignature) {
    return Fail("no PE signature");
  }
  Image Result{};
  Result.FileSize = Bytes.size();
  const size_t FileHeader = PeOffset + 4;
  uint16_t SectionCount = 0;
  uint16_t OptionalSize = 0;
  if (!Load(Bytes, FileHeader, &Result.Machine) || !Load(Bytes, FileHeader + 2, &SectionCount) ||
      !Load(Bytes, FileHeader + 16, &OptionalSize)) {
    return Fail("truncated file header");
  }
  const size_t Optional = FileHeader + kFileHeaderSize;
  uint32_t DirectoryCount = 0;
  if (!Load(Bytes, Optional, &Result.Magic)) {
    return Fail("truncated optional header");
  }
  if (Result.Magic != Image::kMagicPe32Plus) {
    return Fail("not a PE32+ image");
  }
  if (!Load(Bytes, Optional + 16, &Result.AddressOfEntryPoint) || !Load(Bytes, Optional + 24, &Result.ImageBase) ||
      !Load(Bytes, Optional + 32, &Result.SectionAlignment) || !Load(Bytes, Optional + 36, &Result.FileAlignment) ||
      !Load(Bytes, Optional + 56, &Result.SizeOfImage) || !Load(Bytes, Optional + 68, &Result.Subsystem) ||
      !Load(Bytes, Optional + 70, &Result.DllCharacteristics) || !Load(Bytes, Optional + 108, &DirectoryCount)) {
    return Fail("truncated optional header");
  }
  if (DirectoryCount > 16 || 112 + DirectoryCount * 8 > OptionalSize) {
    return Fail("bad data directory count");
  }
  for (uint32_t Index = 0; Index < DirectoryCount; ++Index) {
    DataDirectory Entry{};
    if (!Load(Bytes, Optional + 112 + Index * 8, &Entry)) {
      return Fail("truncated data directories");
    }
    Result.Directories.push_back(Entry);
  }
  const size_t Sections = Optional + OptionalSize;
  for (uint16_t Index = 0; Index < SectionCount; ++Index) {
    const size_t Header = Sections + Index * kSectionHeaderSize;
    char Name[9] = {};
    Section Entry{};
    if (Header + kSectionHeaderSize > Bytes.size()) {
      return Fail("truncated section table");
    }
    std::memcpy(Name, Bytes.data() + Header, 8);
    Entry.Name = Name;
    (void)Load(Bytes, Header + 8, &Entry.VirtualSize);
    (void)Load(Bytes, Header + 12, &Entry.VirtualAddress);
    (void)Load(Bytes, Header + 16, &Entry.RawSize);
    (void)Load(Bytes, Header + 36, &Entry.Characteristics);
    Result.Sections.push_back(Entry);
  }
  return Result;
}

std::optional<std::vector<uint8_t>> ReadFile(const std::string &Path, std::string *Error) {
  std::ifstream File(Path, std::ios::binary);
  if (!File) {
    *Error = "cannot open " + Path;
    return std::nullopt;
  }
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(File), std::istreambuf_iterator<char>());
}

std::optional<uint32_t> SymbolRvaFromMap(const std::string &MapPath, const std::string &Symbol, uint64_t ImageBase) {
  std::ifstream Map(MapPath);
  std::string Line;
  while (std::getline(Map, Line)) {
    std::istringstream Fields(Line);
    std::string Address;
    std::string Name;
    std::string RvaPlusBase;
    if (Fields >> Address >> Name >> RvaPlusBase && Name == Symbol) {
      return static_cast<uint32_t>(std::stoull(RvaPlusBase, nullptr, 16) - ImageBase);
    }
  }
  return std::nullopt;
}

std::string SubsystemName(uint16_t Subsystem) {
  switch (Subsystem) {
  case 10:
    return "EFI application";
  case 11:
    return "EFI boot-service driver";
  case 12:
    return "EFI runtime driver";
  default:
    return "not a UEFI subsystem";
  }
}

} // namespace pe
