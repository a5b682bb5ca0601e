#include "PciNames.h"

extern "C" {
#include <pci/pci.h>
}

#include <cstdio>

namespace pciplat {

struct PciNames::Database {
  pci_access *Access = nullptr;
};

PciNames::PciNames() : Names(std::make_unique<Database>()) {
  Names->Access = pci_alloc();
  // Names only: read an empty dump instead of probing this machine's buses.
  Names->Access->method = PCI_ACCESS_DUMP;
  pci_set_param(Names->Access, const_cast<char *>("dump.name"), const_cast<char *>("/dev/null"));
  pci_init(Names->Access);
}

PciNames::~PciNames() { pci_cleanup(Names->Access); }

namespace {

// pci.ids only, never the udev hardware database: for an ID missing from
// pci.ids libpci (3.9) falls back to udev, and when the system has no hwdb.bin
// it drops the udev context it made without releasing it. LeakSanitizer then
// fails every sanitizer run that names an unknown device. The database file
// is the one the report promises anyway.
constexpr int kLookupFlags = PCI_LOOKUP_NO_HWDB;

} // namespace

std::string PciNames::Device(uint16_t VendorId, uint16_t DeviceId) {
  char Buffer[256];
  const char *Name = pci_lookup_name(Names->Access, Buffer, sizeof(Buffer),
                                     kLookupFlags | PCI_LOOKUP_VENDOR | PCI_LOOKUP_DEVICE, VendorId, DeviceId);
  return Name != nullptr ? Name : "";
}

std::string PciNames::Class(uint8_t BaseClass, uint8_t SubClass) {
  char Buffer[256];
  const char *Name = pci_lookup_name(Names->Access, Buffer, sizeof(Buffer), kLookupFlags | PCI_LOOKUP_CLASS,
                                     (BaseClass << 8) | SubClass);
  return Name != nullptr ? Name : "";
}

} // namespace pciplat
