// The driver's decisions and their reasons, as small records: a link
// configured or left alone and why, a retrain and its polls, the payload size
// and who set it, each window write, each option ROM answer, the configuration
// blocks, the I/O APIC IDs and each call of the platform hooks. The shipped
// image compiles every record to nothing (PCIPLAT_DECISIONS 0): it stays
// silent and its size does not move. Host builds hand the records to the
// firmware model, where the board runner reports them; a debug image writes
// them to a serial port. A record only carries values the driver has already
// read: recording never adds an access. Each record stands on its own: what
// it means follows from it alone (DecisionTable.h names and explains it).
#pragma once

#include "EfiBaseTypes.h"

#ifndef PCIPLAT_DECISIONS
#define PCIPLAT_DECISIONS 0
#endif

enum class DECISION_KIND : UINT8 {
  PlatformCall, // Value: member << 16 | phase << 8 | chipset phase; Detail: status
  AspmPass,     // the pass as a whole
  HostBridge,   // Where: 0:0.0; Value: vendor | device << 16; Detail: revision
  Link,         // Where: the port owning the link; Detail: the child; Value: the link-control bits
                //   ORed into both ends, or the end that keeps the link as it is
  Retrain,      // Where: the port; Value: polls; Detail: microseconds waited
  Payload,      // Where: a function, or nowhere for the size chosen; Value: size code
  Window,       // Where: the function; Value: register; Detail: value written
  OptionRom,    // Where: the device, when its location was read; Value: table row, rows or images
  IoApic,       // Value: base; Detail: ID
  ConfigBlock,  // Value: 0 "QMX_DEP_CONF", 1 "QMX_CONF", 2 the "Setup" variable; Detail: status
  Callback,     // Where: the function the callbacks run for; Value: the point (PCI_CALLBACK_* bit)
  Service,      // Value: the service (DECISION_SERVICE_*); Detail: status, or the point a step was skipped at
};

enum class DECISION_REASON : UINT8 {
  None,
  // Link, AspmPass, HostBridge
  Configured,          // both ends qualify: Value (common clock and L1) ORed into both ends
  SlotClockMissing,    // Detail names the end whose link status lacks the slot clock
  L1Unsupported,       // Detail names the end whose link capabilities lack L1
  UpstreamPassThrough, // the port is a switch upstream port: it owns no link below it
  DisabledByVariable,  // "DisableASPM" exists
  L1Withheld,          // an early revision of a listed host bridge: common clock only (a Link record:
                       //   both ends qualify, and Value carries common clock without L1)
  L1Allowed,           // a later revision of a listed host bridge
  // Retrain
  Trained,
  GaveUp,           // still training after the timeout
  StatusUnreadable, // the link status read failed
  // Payload
  Supported,     // Where supports Value (gathered)
  Chosen,        // the size every function gets
  Programmed,    // Where was given Value
  NoDefinedSize, // no PCI Express function, or only reserved sizes: Value as gathered
  // Window
  LinkSetupBegin,
  PortControlSet,
  LinkSetupEnd,
  // OptionRom
  Supplied,   // Value: images found; the last is returned
  NullResult, // a null RomImage or RomSize
  NoPciIo,    // no PCI I/O on the handle
  EthernetSwitchedOff,
  Unidentified,      // location, class or IDs unreadable
  FileRead,          // Value: table row
  FileMissing,       // Value: table row
  VolumeUnreachable, // Value: table row
  NoImage,           // Value: the rows that matched, none of whose files was found (0: no row matched)
  SetAttached,       // Value: images in the set
  SetNotAttached,    // Value: images; the handle has one already, or the set could not be made
  // IoApic
  IdProgrammed,
  NoAnswer,
  // ConfigBlock
  Written,
  NoProvider, // the service record before it carries the lookup's status
  NoBlock,
  VariableRead,
  VariableUnreadable,
  // IoApic, after the ConfigBlock reasons so that no earlier line changes
  NoCpuIo, // CPU I/O was not located: the ID is not programmed
  // Service
  Located,
  NotLocated,  // Detail: the lookup's status
  StepSkipped, // the service is missing: Detail the callback point whose walks and passes were skipped
  // Later additions, at the end so that no earlier line changes.
  BudgetSpent,   // Retrain: the pass's retrain waits reached their budget; the retrain stays requested
  AlreadyWaited, // Retrain: requested again, not waited for: the pass waited for this link already
  Unreadable,    // Link: Value the register that could not be read at Where; its link is left alone
  EmptySection,  // OptionRom: a volume's ReadSection succeeded without an image; Value volume, Detail size
  ReEntered,     // Callback: a platform hook called from a callback did nothing; Value point, Detail member
};

// The members of PlatformCall decisions.
inline constexpr UINT64 DECISION_CALL_PLATFORM_NOTIFY = 0;
inline constexpr UINT64 DECISION_CALL_PREP_CONTROLLER = 1;
inline constexpr UINT64 DECISION_CALL_GET_PLATFORM_POLICY = 2;
inline constexpr UINT64 DECISION_CALL_GET_PCI_ROM = 3;

// The services of Service decisions.
inline constexpr UINT64 DECISION_SERVICE_ROOT_BRIDGE_IO = 0;
inline constexpr UINT64 DECISION_SERVICE_CPU_IO = 1;
inline constexpr UINT64 DECISION_SERVICE_CONFIG_BLOCKS = 2;

// The blocks of ConfigBlock decisions.
inline constexpr UINT64 DECISION_BLOCK_QMX_DEP_CONF = 0;
inline constexpr UINT64 DECISION_BLOCK_QMX_CONF = 1;
inline constexpr UINT64 DECISION_BLOCK_SETUP_VARIABLE = 2;

// Where a decision has no function.
inline constexpr UINT32 DECISION_NOWHERE = 0xFFFFFFFF;

struct DECISION {
  DECISION_KIND Kind;
  DECISION_REASON Reason;
  UINT32 Where; // bus 31-24, device 23-16, function 15-8, as PCI addresses are formed
  UINT64 Value;
  UINT64 Detail;
};

#if PCIPLAT_DECISIONS
// Provided by the build that records: the firmware model, or the debug image.
void RecordDecision(const DECISION &Decision);
#else
inline void RecordDecision(const DECISION & /*Decision*/) {}
#endif

// A function's address handed to code only so that its records can name it.
// The shipped image keeps no records, so it hands over nothing, and whatever
// the caller computed the address from is dropped as well.
#if PCIPLAT_DECISIONS
using DECISION_WHERE = UINT64;
#else
struct DECISION_WHERE {
  constexpr DECISION_WHERE(UINT64 /*Where*/) {}
  constexpr operator UINT64() const { return DECISION_NOWHERE; }
};
#endif

inline void Decide(DECISION_KIND Kind, DECISION_REASON Reason, UINT64 Where, UINT64 Value = 0, UINT64 Detail = 0) {
  RecordDecision({Kind, Reason, static_cast<UINT32>(Where), Value, Detail});
}
