/*
 * PCI_CALLBACK_PROTOCOL: lets other firmware drivers be called for PCI devices
 * at fixed points of enumeration.
 *
 * A driver locates the protocol and registers an EFIAPI function with a mask of
 * the points it wants:
 *
 *   PCI_CALLBACK_PREP_CONTROLLER   once for each controller the PCI bus driver
 *                                  prepares before enumerating its child bus
 *   PCI_CALLBACK_BEGIN_ALLOCATION  once for each present function, in a walk of
 *                                  the whole hierarchy at the begin of resource
 *                                  allocation
 *   PCI_CALLBACK_END_ALLOCATION    the same at the end of resource allocation
 *
 * Callbacks run in registration order. Each receives the root bridge handle, the
 * function's address in the EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_PCI_ADDRESS form
 * (register 0 in the walks; as the bus driver passed it for a prepared
 * controller), the single mask bit of the current dispatch and the one shared
 * device record. The record's header is the last header the walk read: for a
 * prepared controller it is not re-read, and it is overwritten by the next
 * probe, so a callback copies what it needs before returning. In a walk, a
 * callback that changes the header-type byte of the record changes how the walk
 * goes on (whether it descends below the function, and for function 0 whether
 * functions 1-7 are visited). The callback's status is ignored.
 *
 * Compiles as C99/C11 and C++.
 */
#ifndef PCI_PLATFORM_PCI_CALLBACK_H_
#define PCI_PLATFORM_PCI_CALLBACK_H_

#include "EfiBaseTypes.h"

#include <stddef.h>

/* 1CA0E202-FE9E-4776-9FAA-570C19617A06 */
#define PCI_CALLBACK_PROTOCOL_GUID                                                                                     \
  {                                                                                                                    \
    0x1CA0E202, 0xFE9E, 0x4776, { 0x9F, 0xAA, 0x57, 0x0C, 0x19, 0x61, 0x7A, 0x06 }                                     \
  }

/* Mask bits, also the value of a callback's Mask argument. */
#define PCI_CALLBACK_PREP_CONTROLLER ((UINT32)0x00000001)
#define PCI_CALLBACK_BEGIN_ALLOCATION ((UINT32)0x00000002)
#define PCI_CALLBACK_END_ALLOCATION ((UINT32)0x00000004)

#define PCI_DEVICE_RECORD_HEADER_SIZE 64

/*
 * The protocol instances the record points at; opaque here. The tags are those
 * of UEFI's own declarations (typedef struct _EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL
 * EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL), so with other UEFI headers in scope the
 * members are ordinary EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL and EFI_CPU_IO_PROTOCOL
 * pointers. CpuIo is the CPU I/O protocol of GUID
 * B0732526-38C8-4B40-8877-61C7B06AAC45, laid out as EFI_CPU_IO2_PROTOCOL.
 */
struct _EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL;
struct _EFI_CPU_IO_PROTOCOL;

/* Its layout crosses into other drivers: it never changes. */
typedef struct PCI_DEVICE_RECORD {
  /* Configuration header 0x00-0x3F of the function. */
  UINT8 Header[PCI_DEVICE_RECORD_HEADER_SIZE];
  /* The root bridge every walk goes through; null when none was located. */
  struct _EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *RootBridgeIo;
  /* The CPU I/O services; null when none was located. */
  struct _EFI_CPU_IO_PROTOCOL *CpuIo;
} PCI_DEVICE_RECORD;

typedef EFI_STATUS EFIAPI PCI_CALLBACK_FUNCTION(EFI_HANDLE RootBridgeHandle, UINT64 PciAddress, UINT32 Mask,
                                                PCI_DEVICE_RECORD *Record);

typedef struct PCI_CALLBACK_PROTOCOL PCI_CALLBACK_PROTOCOL;

/*
 * Registers Callback for the points selected by Mask (bits other than the three
 * above are kept but select nothing).
 *   EFI_SUCCESS            registered, after every earlier registration
 *   EFI_INVALID_PARAMETER  Callback is null, or Mask selects no point
 *   EFI_UNSUPPORTED        Callback is already registered; its mask is unchanged
 *   EFI_OUT_OF_RESOURCES   no pool memory for the registration
 * Registrations are never removed. A callback may register further callbacks;
 * they are called from the dispatch in progress on.
 */
typedef EFI_STATUS(EFIAPI *PCI_CALLBACK_REGISTER)(PCI_CALLBACK_PROTOCOL *This, PCI_CALLBACK_FUNCTION *Callback,
                                                  UINT32 Mask);

struct PCI_CALLBACK_PROTOCOL {
  PCI_CALLBACK_REGISTER RegisterCallback;
};

#ifdef __cplusplus
static_assert(offsetof(PCI_DEVICE_RECORD, Header) == 0, "PCI_DEVICE_RECORD.Header is at offset 0");
static_assert(offsetof(PCI_DEVICE_RECORD, RootBridgeIo) == 64, "PCI_DEVICE_RECORD.RootBridgeIo is at offset 64");
static_assert(offsetof(PCI_DEVICE_RECORD, CpuIo) == 72, "PCI_DEVICE_RECORD.CpuIo is at offset 72");
static_assert(sizeof(PCI_DEVICE_RECORD) == 80, "PCI_DEVICE_RECORD is 80 bytes");
static_assert(sizeof(PCI_CALLBACK_PROTOCOL) == 8, "PCI_CALLBACK_PROTOCOL has one member");

inline constexpr EFI_GUID gPciCallbackProtocolGuid = PCI_CALLBACK_PROTOCOL_GUID;
#else
_Static_assert(offsetof(PCI_DEVICE_RECORD, Header) == 0, "PCI_DEVICE_RECORD.Header is at offset 0");
_Static_assert(offsetof(PCI_DEVICE_RECORD, RootBridgeIo) == 64, "PCI_DEVICE_RECORD.RootBridgeIo is at offset 64");
_Static_assert(offsetof(PCI_DEVICE_RECORD, CpuIo) == 72, "PCI_DEVICE_RECORD.CpuIo is at offset 72");
_Static_assert(sizeof(PCI_DEVICE_RECORD) == 80, "PCI_DEVICE_RECORD is 80 bytes");
_Static_assert(sizeof(PCI_CALLBACK_PROTOCOL) == 8, "PCI_CALLBACK_PROTOCOL has one member");
#endif

#endif /* PCI_PLATFORM_PCI_CALLBACK_H_ */
