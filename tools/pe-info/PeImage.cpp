#include "PeImage.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
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
constexpr size_t kCheckSumOffset = 64; // within the optional header

} // namespace

DataDirectory Image::Directory(size_t Index) const {
  return Index < Directories.size() ? Directories[Index] : DataDirectory{0, 0};
}

namespace {

// The file and optional headers up to the data directories; returns the
// offset of the optional header, or 0 with Error set.
size_t ParseHeaders(const std::vector<uint8_t> &Bytes, Image *Result, uint16_t *SectionCount, uint16_t *OptionalSize,
                    std::string *Error) {
  uint16_t DosSignature = 0;
  uint32_t PeOffset = 0;
  uint32_t PeSignature = 0;
  if (!Load(Bytes, 0, &DosSignature) || DosSignature != kDosSignature) {
    *Error = "no DOS header (MZ)";
  } else if (!Load(Bytes, kDosLfanewOffset, &PeOffset)) {
    *Error = "truncated DOS header";
  } else if (!Load(Bytes, PeOffset, &PeSignature) || PeSignature != kPeSignature) {
    *Error = "no PE signature";
  }
  const size_t FileHeader = size_t{PeOffset} + 4;
  const size_t Optional = FileHeader + kFileHeaderSize;
  if (!Error->empty()) {
    return 0;
  }
  if (!Load(Bytes, FileHeader, &Result->Machine) || !Load(Bytes, FileHeader + 2, SectionCount) ||
      !Load(Bytes, FileHeader + 4, &Result->TimeDateStamp) || !Load(Bytes, FileHeader + 16, OptionalSize)) {
    *Error = "truncated file header";
  } else if (!Load(Bytes, Optional, &Result->Magic)) {
    *Error = "truncated optional header";
  } else if (Result->Magic != Image::kMagicPe32Plus) {
    *Error = "not a PE32+ image";
  } else if (!Load(Bytes, Optional + 16, &Result->AddressOfEntryPoint) ||
             !Load(Bytes, Optional + 24, &Result->ImageBase) ||
             !Load(Bytes, Optional + 32, &Result->SectionAlignment) ||
             !Load(Bytes, Optional + 36, &Result->FileAlignment) || !Load(Bytes, Optional + 56, &Result->SizeOfImage) ||
             !Load(Bytes, Optional + kCheckSumOffset, &Result->CheckSum) ||
             !Load(Bytes, Optional + 68, &Result->Subsystem) ||
             !Load(Bytes, Optional + 70, &Result->DllCharacteristics)) {
    *Error = "truncated optional header";
  }
  Result->CheckSumOffset = Optional + kCheckSumOffset;
  return Error->empty() ? Optional : 0;
}

bool ParseDirectories(const std::vector<uint8_t> &Bytes, size_t Optional, uint16_t OptionalSize, Image *Result,
                      std::string *Error) {
  uint32_t DirectoryCount = 0;
  if (!Load(Bytes, Optional + 108, &DirectoryCount)) {
    *Error = "truncated optional header";
    return false;
  }
  if (DirectoryCount > 16 || 112 + DirectoryCount * 8 > OptionalSize) {
    *Error = "bad data directory count";
    return false;
  }
  for (uint32_t Index = 0; Index < DirectoryCount; ++Index) {
    DataDirectory Entry{};
    if (!Load(Bytes, Optional + 112 + Index * 8, &Entry)) {
      *Error = "truncated data directories";
      return false;
    }
    Result->Directories.push_back(Entry);
  }
  return true;
}

bool ParseSections(const std::vector<uint8_t> &Bytes, size_t Table, uint16_t SectionCount, Image *Result,
                   std::string *Error) {
  for (uint16_t Index = 0; Index < SectionCount; ++Index) {
    const size_t Header = Table + Index * kSectionHeaderSize;
    char Name[9] = {};
    Section Entry{};
    if (Header + kSectionHeaderSize > Bytes.size()) {
      *Error = "truncated section table";
      return false;
    }
    std::memcpy(Name, Bytes.data() + Header, 8);
    Entry.Name = Name;
    (void)Load(Bytes, Header + 8, &Entry.VirtualSize);
    (void)Load(Bytes, Header + 12, &Entry.VirtualAddress);
    (void)Load(Bytes, Header + 16, &Entry.RawSize);
    (void)Load(Bytes, Header + 36, &Entry.Characteristics);
    Result->Sections.push_back(Entry);
  }
  return true;
}

} // namespace

std::optional<Image> ParseImage(const std::vector<uint8_t> &Bytes, std::string *Error) {
  Image Result{};
  Result.FileSize = Bytes.size();
  uint16_t SectionCount = 0;
  uint16_t OptionalSize = 0;
  Error->clear();
  const size_t Optional = ParseHeaders(Bytes, &Result, &SectionCount, &OptionalSize, Error);
  if (Optional == 0 || !ParseDirectories(Bytes, Optional, OptionalSize, &Result, Error) ||
      !ParseSections(Bytes, Optional + OptionalSize, SectionCount, &Result, Error)) {
    return std::nullopt;
  }
  return Result;
}

uint32_t ComputeCheckSum(const std::vector<uint8_t> &Bytes, size_t CheckSumOffset) {
  const auto ByteAt = [&](size_t Offset) -> uint32_t {
    const bool InField = Offset >= CheckSumOffset && Offset - CheckSumOffset < 4;
    return Offset < Bytes.size() && !InField ? Bytes[Offset] : 0;
  };
  uint64_t Sum = 0;
  for (size_t Offset = 0; Offset < Bytes.size(); Offset += 2) {
    Sum += ByteAt(Offset) | (ByteAt(Offset + 1) << 8);
    Sum = (Sum & 0xFFFF) + (Sum >> 16);
  }
  return static_cast<uint32_t>(Sum + Bytes.size());
}

std::optional<std::vector<uint8_t>> ReadFile(const std::string &Path, std::string *Error) {
  std::error_code Status;
  if (std::filesystem::is_directory(Path, Status)) {
    *Error = Path + ": is a folder, not an image";
    return std::nullopt;
  }
  std::ifstream File(Path, std::ios::binary);
  if (!File) {
    *Error = Path + ": cannot open (" + std::strerror(errno) + ")";
    return std::nullopt;
  }
  std::vector<uint8_t> Bytes(std::istreambuf_iterator<char>(File), {});
  if (File.bad()) {
    *Error = Path + ": cannot read";
    return std::nullopt;
  }
  return Bytes;
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
