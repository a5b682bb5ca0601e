// Vendor, device and class names from the system's PCI ID database (pci.ids),
// through libpci. Without a database the numbers stand in for the names.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace pciplat {

class PciNames {
public:
  PciNames();
  ~PciNames();
  PciNames(const PciNames &) = delete;
  PciNames &operator=(const PciNames &) = delete;

  std::string Device(uint16_t VendorId, uint16_t DeviceId);
  std::string Class(uint8_t BaseClass, uint8_t SubClass);

private:
  struct Database;
  std::unique_ptr<Database> Names;
};

} // namespace pciplat
