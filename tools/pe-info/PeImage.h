// Reads the headers of a PE32+ image: what a firmware loader checks before it
// runs a driver, and what the project promises about its images.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pe {

struct Section {
  std::string Name;
  uint32_t VirtualSize;
  uint32_t VirtualAddress;
  uint32_t RawSize;
  uint32_t Characteristics;
};

struct DataDirectory {
  uint32_t VirtualAddress;
  uint32_t Size;
};

struct Image {
  uint64_t FileSize;
  uint16_t Machine;
  uint32_t TimeDateStamp; // the file header's; zero when the build fixed none
  uint16_t Magic;
  uint16_t Subsystem;
  uint16_t DllCharacteristics;
  uint32_t AddressOfEntryPoint;
  uint64_t ImageBase;
  uint32_t SizeOfImage;
  uint32_t CheckSum;     // as stored; zero when the image carries none
  size_t CheckSumOffset; // of the field, in the file
  uint32_t SectionAlignment;
  uint32_t FileAlignment;
  std::vector<DataDirectory> Directories;
  std::vector<Section> Sections;

  static constexpr uint16_t kMachineX64 = 0x8664;
  static constexpr uint16_t kMagicPe32Plus = 0x20B;
  static constexpr uint16_t kSubsystemEfiApplication = 10;
  static constexpr uint16_t kSubsystemEfiBootServiceDriver = 11;
  static constexpr size_t kDirectoryImport = 1;
  static constexpr size_t kDirectoryBaseRelocation = 5;
  static constexpr size_t kDirectoryDebug = 6; // names a PDB file by its path when present
  static constexpr size_t kDirectoryTls = 9;

  DataDirectory Directory(size_t Index) const;
};

// Parses Bytes as a PE32+ image. On failure returns nullopt and says why.
std::optional<Image> ParseImage(const std::vector<uint8_t> &Bytes, std::string *Error);
// The PE image checksum of Bytes: 16-bit sums with the checksum field counted
// as zero, carries folded back in, plus the file length.
uint32_t ComputeCheckSum(const std::vector<uint8_t> &Bytes, size_t CheckSumOffset);
// The whole file; on failure nullopt with "Path: why".
std::optional<std::vector<uint8_t>> ReadFile(const std::string &Path, std::string *Error);
// RVA of a public symbol in an lld-link map file.
std::optional<uint32_t> SymbolRvaFromMap(const std::string &MapPath, const std::string &Symbol, uint64_t ImageBase);
std::string SubsystemName(uint16_t Subsystem);

} // namespace pe
