#include "RegisterLayouts.h"

namespace pciplat::layouts {

namespace {

// setpci's names (`setpci --dumpregs`); PCI Code and ID Assignment 1.11.
constexpr CapabilityNames kStandardNames[] = {
    {0x01, "CAP_PM", "power management"},
    {0x02, "CAP_AGP", "AGP"},
    {0x03, "CAP_VPD", "vital product data"},
    {0x04, "CAP_SLOTID", "slot identification"},
    {0x05, "CAP_MSI", "MSI"},
    {0x06, "CAP_CHSWP", "CompactPCI hot swap"},
    {0x07, "CAP_PCIX", "PCI-X"},
    {0x08, "CAP_HT", "HyperTransport"},
    {0x09, "CAP_VNDR", "vendor-specific"},
    {0x0A, "CAP_DBG", "debug port"},
    {0x0B, "CAP_CCRC", "CompactPCI central resource control"},
    {0x0C, "CAP_HOTPLUG", "PCI hot-plug"},
    {0x0D, "CAP_SSVID", "bridge subsystem vendor ID"},
    {0x0E, "CAP_AGP3", "AGP 8x"},
    {0x0F, "CAP_SECURE", "secure device"},
    {0x10, "CAP_EXP", "PCI Express"},
    {0x11, "CAP_MSIX", "MSI-X"},
    {0x12, "CAP_SATA", "SATA data/index configuration"},
    {0x13, "CAP_AF", "advanced features"},
    {0x14, "CAP_EA", "enhanced allocation"},
};

constexpr CapabilityNames kExtendedNames[] = {
    {0x0001, "ECAP_AER", "Advanced Error Reporting"},
    {0x0002, "ECAP_VC", "Virtual Channel"},
    {0x0003, "ECAP_DSN", "Device Serial Number"},
    {0x0004, "ECAP_PB", "Power Budgeting"},
    {0x0005, "ECAP_RCLINK", "Root Complex Link Declaration"},
    {0x0006, "ECAP_RCILINK", "Root Complex Internal Link Control"},
    {0x0007, "ECAP_RCEC", "Root Complex Event Collector Endpoint Association"},
    {0x0008, "ECAP_MFVC", "Multi-Function Virtual Channel"},
    {0x0009, "ECAP_VC2", "Virtual Channel (MFVC present)"},
    {0x000A, "ECAP_RBCB", "Root Complex Register Block"},
    {0x000B, "ECAP_VNDR", "Vendor-Specific Extended"},
    {0x000D, "ECAP_ACS", "Access Control Services"},
    {0x000E, "ECAP_ARI", "Alternative Routing-ID Interpretation"},
    {0x000F, "ECAP_ATS", "Address Translation Services"},
    {0x0010, "ECAP_SRIOV", "Single Root I/O Virtualization"},
    {0x0011, "ECAP_MRIOV", "Multi-Root I/O Virtualization"},
    {0x0012, "ECAP_MCAST", "Multicast"},
    {0x0013, "ECAP_PRI", "Page Request"},
    {0x0015, "ECAP_REBAR", "Resizable BAR"},
    {0x0016, "ECAP_DPA", "Dynamic Power Allocation"},
    {0x0017, "ECAP_TPH", "TPH Requester"},
    {0x0018, "ECAP_LTR", "Latency Tolerance Reporting"},
    {0x0019, "ECAP_SECPCI", "Secondary PCI Express"},
    {0x001A, "ECAP_PMUX", "Protocol Multiplexing"},
    {0x001B, "ECAP_PASID", "Process Address Space ID"},
    {0x001C, "ECAP_LNR", "LN Requester"},
    {0x001D, "ECAP_DPC", "Downstream Port Containment"},
    {0x001E, "ECAP_L1PM", "L1 PM Substates"},
    {0x001F, "ECAP_PTM", "Precision Time Measurement"},
    {0x0020, "ECAP_M_PCIE", "PCI Express over M-PHY"},
    {0x0021, "ECAP_FRS", "FRS Queueing"},
    {0x0022, "ECAP_RTR", "Readiness Time Reporting"},
    {0x0023, "ECAP_DVSEC", "Designated Vendor-Specific"},
    {0x0024, "ECAP_VF_REBAR", "VF Resizable BAR"},
    {0x0025, "ECAP_DLNK", "Data Link Feature"},
    {0x0026, "ECAP_16GT", "Physical Layer 16.0 GT/s"},
    {0x0027, "ECAP_LMR", "Lane Margining at the Receiver"},
    {0x0028, "ECAP_HIER_ID", "Hierarchy ID"},
    {0x0029, "ECAP_NPEM", "Native PCIe Enclosure Management"},
};

// The header registers setpci knows by name (PCI Local Bus 3.0, section 6.1);
// the last member of a status register: its write-1-to-clear bits.
constexpr Field kHeader[] = {
    {0x00, 2, "VENDOR_ID"},
    {0x02, 2, "DEVICE_ID"},
    {0x04, 2, "COMMAND"},
    {0x06, 2, "STATUS", 0xF900},
    {0x08, 1, "REVISION"},
    {0x09, 1, "CLASS_PROG"},
    {0x0A, 2, "CLASS_DEVICE"},
    {0x0C, 1, "CACHE_LINE_SIZE"},
    {0x0D, 1, "LATENCY_TIMER"},
    {0x0E, 1, "HEADER_TYPE"},
    {0x0F, 1, "BIST"},
    {0x18, 1, "PRIMARY_BUS"},
    {0x19, 1, "SECONDARY_BUS"},
    {0x1A, 1, "SUBORDINATE_BUS"},
    {0x34, 1, "CAPABILITY_POINTER"},
    {0x3C, 1, "INTERRUPT_LINE"},
    {0x3D, 1, "INTERRUPT_PIN"},
    {0x3E, 2, "BRIDGE_CONTROL"},
};

// PCI Express Base Specification 4.0, section 7.5.3.
constexpr Field kPcie[] = {
    {0x00, 1, "CapId"},   {0x01, 1, "NextCap"}, {0x02, 2, "ExpCap"},
    {0x04, 4, "DevCap"},  {0x08, 2, "DevCtl"},  {0x0A, 2, "DevSta", 0x000F},
    {0x0C, 4, "LnkCap"},  {0x10, 2, "LnkCtl"},  {0x12, 2, "LnkSta", 0xC000},
    {0x14, 4, "SltCap"},  {0x18, 2, "SltCtl"},  {0x1A, 2, "SltSta", 0x011F},
    {0x1C, 2, "RootCtl"}, {0x1E, 2, "RootCap"}, {0x20, 4, "RootSta", 0x00010000},
    {0x24, 4, "DevCap2"}, {0x28, 2, "DevCtl2"}, {0x2A, 2, "DevSta2"},
    {0x2C, 4, "LnkCap2"}, {0x30, 2, "LnkCtl2"}, {0x32, 2, "LnkSta2", 0x0020},
    {0x34, 4, "SltCap2"}, {0x38, 2, "SltCtl2"}, {0x3A, 2, "SltSta2"},
};

// PCI Bus Power Management Interface 1.2, chapter 3.
constexpr Field kPowerManagement[] = {
    {0x00, 1, "CapId"},         {0x01, 1, "NextCap"},   {0x02, 2, "PMC"},
    {0x04, 2, "PMCSR", 0x8000}, {0x06, 1, "PMCSR_BSE"}, {0x07, 1, "Data"},
};

// PCI Local Bus 3.0, section 6.8.1: the layout follows the 64-bit and
// per-vector masking bits of the message control register.
constexpr Field kMsi32[] = {{0x00, 1, "CapId"},   {0x01, 1, "NextCap"},  {0x02, 2, "MsgCtl"},     {0x04, 4, "MsgAddr"},
                            {0x08, 2, "MsgData"}, {0x0C, 4, "MaskBits"}, {0x10, 4, "PendingBits"}};
constexpr Field kMsi64[] = {{0x00, 1, "CapId"},     {0x01, 1, "NextCap"},    {0x02, 2, "MsgCtl"},
                            {0x04, 4, "MsgAddrLo"}, {0x08, 4, "MsgAddrHi"},  {0x0C, 2, "MsgData"},
                            {0x10, 4, "MaskBits"},  {0x14, 4, "PendingBits"}};

// PCI Express Base Specification 4.0, sections 7.8.4 (AER), 7.9.3 (DSN),
// 7.7.8 (ACS), 7.8.1 (power budgeting), 7.8.2 (LTR), 7.8.3 (L1 PM
// substates), 7.9.5 (vendor-specific), 7.9.1 (virtual channel).
constexpr Field kAer[] = {{0x00, 4, "ExtCapHdr"},
                          {0x04, 4, "UESta", 0xFFFFFFFF},
                          {0x08, 4, "UEMsk"},
                          {0x0C, 4, "UESvrt"},
                          {0x10, 4, "CESta", 0xFFFFFFFF},
                          {0x14, 4, "CEMsk"},
                          {0x18, 4, "AERCap"},
                          {0x1C, 16, "HeaderLog"},
                          {0x2C, 4, "RootCmd"},
                          {0x30, 4, "RootSta", 0x0000007F},
                          {0x34, 4, "ErrorSrc"},
                          {0x38, 16, "TLPPrefixLog"}};
constexpr Field kDsn[] = {{0x00, 4, "ExtCapHdr"}, {0x04, 4, "SerialLo"}, {0x08, 4, "SerialHi"}};
constexpr Field kAcs[] = {{0x00, 4, "ExtCapHdr"}, {0x04, 2, "ACSCap"}, {0x06, 2, "ACSCtl"}};
constexpr Field kPowerBudgeting[] = {
    {0x00, 4, "ExtCapHdr"}, {0x04, 1, "DataSelect"}, {0x08, 4, "Data"}, {0x0C, 1, "PBCap"}};
constexpr Field kLtr[] = {{0x00, 4, "ExtCapHdr"}, {0x04, 2, "MaxSnoopLat"}, {0x06, 2, "MaxNoSnoopLat"}};
constexpr Field kL1Substates[] = {
    {0x00, 4, "ExtCapHdr"}, {0x04, 4, "L1SubCap"}, {0x08, 4, "L1SubCtl1"}, {0x0C, 4, "L1SubCtl2"}};
constexpr Field kVendorSpecific[] = {{0x00, 4, "ExtCapHdr"}, {0x04, 4, "VSECHdr"}};
constexpr Field kVirtualChannelPort[] = {{0x00, 4, "ExtCapHdr"},
                                         {0x04, 4, "PortVCCap1"},
                                         {0x08, 4, "PortVCCap2"},
                                         {0x0C, 2, "PortVCCtl"},
                                         {0x0E, 2, "PortVCSta"}};

// The named fields of the registers a chipset window write at 0x56 or 0x174
// can land in (the sections above, AER's Root Error Command in 7.8.4.9; PCI
// Bus Power Management Interface 1.2, section 3.2).
constexpr BitField kBitFields[] = {
    {"DevCap", 0, 2, "Max_Payload_Size Supported"},
    {"DevCap", 3, 4, "Phantom Functions Supported"},
    {"DevCap", 5, 5, "Extended Tag Field Supported"},
    {"DevCap", 6, 8, "Endpoint L0s Acceptable Latency"},
    {"DevCap", 9, 11, "Endpoint L1 Acceptable Latency"},
    {"DevCap", 15, 15, "Role-Based Error Reporting"},
    {"DevCap", 18, 25, "Captured Slot Power Limit Value"},
    {"DevCap", 26, 27, "Captured Slot Power Limit Scale"},
    {"DevCap", 28, 28, "Function Level Reset Capability"},
    {"DevCtl", 5, 7, "Max_Payload_Size"},
    {"DevCtl", 12, 14, "Max_Read_Request_Size"},
    {"DevSta", 0, 0, "Correctable Error Detected"},
    {"DevSta", 1, 1, "Non-Fatal Error Detected"},
    {"DevSta", 2, 2, "Fatal Error Detected"},
    {"DevSta", 3, 3, "Unsupported Request Detected"},
    {"DevSta", 4, 4, "AUX Power Detected"},
    {"DevSta", 5, 5, "Transactions Pending"},
    {"LnkCap", 0, 3, "Max Link Speed"},
    {"LnkCap", 4, 9, "Maximum Link Width"},
    {"LnkCap", 10, 11, "ASPM Support"},
    {"LnkCap", 12, 14, "L0s Exit Latency"},
    {"LnkCap", 15, 17, "L1 Exit Latency"},
    {"LnkCap", 18, 18, "Clock Power Management"},
    {"LnkCap", 19, 19, "Surprise Down Error Reporting Capable"},
    {"LnkCap", 20, 20, "Data Link Layer Link Active Reporting Capable"},
    {"LnkCap", 21, 21, "Link Bandwidth Notification Capability"},
    {"LnkCap", 22, 22, "ASPM Optionality Compliance"},
    {"LnkCap", 24, 31, "Port Number"},
    {"LnkCtl", 0, 1, "ASPM Control"},
    {"LnkCtl", 5, 5, "Retrain Link"},
    {"LnkCtl", 6, 6, "Common Clock Configuration"},
    {"LnkCtl", 7, 7, "Extended Synch"},
    {"LnkSta", 0, 3, "Current Link Speed"},
    {"LnkSta", 4, 9, "Negotiated Link Width"},
    {"LnkSta", 11, 11, "Link Training"},
    {"LnkSta", 12, 12, "Slot Clock Configuration"},
    {"LnkSta", 13, 13, "Data Link Layer Link Active"},
    {"LnkSta", 14, 14, "Link Bandwidth Management Status"},
    {"LnkSta", 15, 15, "Link Autonomous Bandwidth Status"},
    {"SltCap", 0, 0, "Attention Button Present"},
    {"SltCap", 1, 1, "Power Controller Present"},
    {"SltCap", 2, 2, "MRL Sensor Present"},
    {"SltCap", 3, 3, "Attention Indicator Present"},
    {"SltCap", 4, 4, "Power Indicator Present"},
    {"SltCap", 5, 5, "Hot-Plug Surprise"},
    {"SltCap", 6, 6, "Hot-Plug Capable"},
    {"SltCap", 7, 14, "Slot Power Limit Value"},
    {"SltCap", 15, 16, "Slot Power Limit Scale"},
    {"SltCap", 17, 17, "Electromechanical Interlock Present"},
    {"SltCap", 18, 18, "No Command Completed Support"},
    {"SltCap", 19, 31, "Physical Slot Number"},
    {"SltCtl", 0, 0, "Attention Button Pressed Enable"},
    {"SltCtl", 1, 1, "Power Fault Detected Enable"},
    {"SltCtl", 2, 2, "MRL Sensor Changed Enable"},
    {"SltCtl", 3, 3, "Presence Detect Changed Enable"},
    {"SltCtl", 4, 4, "Command Completed Interrupt Enable"},
    {"SltCtl", 5, 5, "Hot-Plug Interrupt Enable"},
    {"SltCtl", 6, 7, "Attention Indicator Control"},
    {"SltCtl", 8, 9, "Power Indicator Control"},
    {"SltCtl", 10, 10, "Power Controller Control"},
    {"SltCtl", 11, 11, "Electromechanical Interlock Control"},
    {"SltCtl", 12, 12, "Data Link Layer State Changed Enable"},
    {"SltSta", 0, 0, "Attention Button Pressed"},
    {"SltSta", 3, 3, "Presence Detect Changed"},
    {"SltSta", 6, 6, "Presence Detect State"},
    {"SltSta", 8, 8, "Data Link Layer State Changed"},
    {"PMC", 0, 2, "Version"},
    {"PMC", 3, 3, "PME Clock"},
    {"PMC", 5, 5, "Device Specific Initialization"},
    {"PMC", 6, 8, "Aux_Current"},
    {"PMC", 9, 9, "D1_Support"},
    {"PMC", 10, 10, "D2_Support"},
    {"PMC", 11, 15, "PME_Support"},
    {"PMCSR", 0, 1, "PowerState"},
    {"PMCSR", 3, 3, "No_Soft_Reset"},
    {"PMCSR", 8, 8, "PME_En"},
    {"PMCSR", 9, 12, "Data_Select"},
    {"PMCSR", 13, 14, "Data_Scale"},
    {"PMCSR", 15, 15, "PME_Status"},
    {"PMCSR_BSE", 6, 6, "B2_B3#"},
    {"PMCSR_BSE", 7, 7, "BPCC_En"},
    {"Data", 0, 7, "Data"},
    {"RootCmd", 0, 0, "Correctable Error Reporting Enable"},
    {"RootCmd", 1, 1, "Non-Fatal Error Reporting Enable"},
    {"RootCmd", 2, 2, "Fatal Error Reporting Enable"},
    {"MsgCtl", 0, 0, "MSI Enable"},
    {"MsgCtl", 1, 3, "Multiple Message Capable"},
    {"MsgCtl", 4, 6, "Multiple Message Enable"},
    {"MsgCtl", 7, 7, "64 bit address capable"},
    {"MsgCtl", 8, 8, "Per-vector masking capable"},
};

} // namespace

std::span<const CapabilityNames> StandardCapabilityNames() { return kStandardNames; }
std::span<const CapabilityNames> ExtendedCapabilityNames() { return kExtendedNames; }
std::span<const Field> HeaderRegisters() { return kHeader; }
std::span<const Field> PcieRegisters() { return kPcie; }
std::span<const Field> PowerManagementRegisters() { return kPowerManagement; }
std::span<const Field> Msi32Registers() { return kMsi32; }
std::span<const Field> Msi64Registers() { return kMsi64; }
std::span<const Field> AerRegisters() { return kAer; }
std::span<const Field> DeviceSerialNumberRegisters() { return kDsn; }
std::span<const Field> AcsRegisters() { return kAcs; }
std::span<const Field> PowerBudgetingRegisters() { return kPowerBudgeting; }
std::span<const Field> LtrRegisters() { return kLtr; }
std::span<const Field> L1SubstatesRegisters() { return kL1Substates; }
std::span<const Field> VendorSpecificRegisters() { return kVendorSpecific; }
std::span<const Field> VirtualChannelPortRegisters() { return kVirtualChannelPort; }
std::span<const BitField> BitFields() { return kBitFields; }

} // namespace pciplat::layouts
