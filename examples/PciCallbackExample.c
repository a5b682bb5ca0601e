/*
 * A DXE driver in C11 against the PCI platform driver's public headers: it
 * registers one callback for all three points and counts the calls per point,
 * and reads every PCI_OPTION_ROM_SET the platform driver attaches to a device
 * handle. Sets appear when the PCI bus driver asks for a device's option ROM,
 * after enumeration (and so after the end of resource allocation), so the
 * example waits for them with a protocol notification rather than looking at
 * the end of allocation, when no device handle exists yet.
 *
 * What it saw is published as PCI_CALLBACK_EXAMPLE_REPORT on its image handle.
 * Dispatch it with a dependency on PCI_CALLBACK_PROTOCOL_GUID: the protocol is
 * then installed when the entry point runs.
 */
#include "ExampleUefi.h"
#include "PciCallback.h"
#include "PciOptionRomSet.h"

/* 3F1B6E2C-5A77-4C1D-9E0B-8D2A4C6F1E93 */
#define PCI_CALLBACK_EXAMPLE_REPORT_GUID                                                                               \
  {                                                                                                                    \
    0x3F1B6E2C, 0x5A77, 0x4C1D, { 0x9E, 0x0B, 0x8D, 0x2A, 0x4C, 0x6F, 0x1E, 0x93 }                                     \
  }

typedef struct {
  UINT32 PrepController;  /* calls with PCI_CALLBACK_PREP_CONTROLLER */
  UINT32 BeginAllocation; /* ... PCI_CALLBACK_BEGIN_ALLOCATION */
  UINT32 EndAllocation;   /* ... PCI_CALLBACK_END_ALLOCATION */
  UINT32 WithoutServices; /* walk calls whose record lacked root bridge or CPU I/O */
  UINT32 SetsRead;        /* PCI_OPTION_ROM_SET records read */
  UINT32 ImagesRead;      /* images in them */
  UINT64 ImageBytes;      /* their sizes, summed */
  EFI_STATUS RegisterStatus;
} PCI_CALLBACK_EXAMPLE_REPORT;

static EFI_GUID mCallbackProtocolGuid = PCI_CALLBACK_PROTOCOL_GUID;
static EFI_GUID mOptionRomSetGuid = PCI_OPTION_ROM_SET_GUID;
static EFI_GUID mReportGuid = PCI_CALLBACK_EXAMPLE_REPORT_GUID;
static EFI_BOOT_SERVICES *mBootServices;
static VOID *mSetRegistration;
static PCI_CALLBACK_EXAMPLE_REPORT mReport;

/*
 * Called for every device at the points registered. The record is shared and
 * rewritten for the next device: copy what is needed before returning. The
 * status is ignored; the header may be read, and in a walk a changed
 * header-type byte changes how the walk goes on, so this callback leaves the
 * record alone.
 */
static EFI_STATUS EFIAPI CountCall(EFI_HANDLE RootBridgeHandle, UINT64 PciAddress, UINT32 Mask,
                                   PCI_DEVICE_RECORD *Record) {
  /* The record's pointers have the types ordinary UEFI headers give them. */
  EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *RootBridgeIo = Record->RootBridgeIo;
  EFI_CPU_IO_PROTOCOL *CpuIo = Record->CpuIo;
  const UINT32 Lacking = RootBridgeIo == NULL || CpuIo == NULL ? 1 : 0;
  (void)RootBridgeHandle;
  (void)PciAddress;
  switch (Mask) {
  case PCI_CALLBACK_PREP_CONTROLLER:
    mReport.PrepController++;
    break;
  case PCI_CALLBACK_BEGIN_ALLOCATION:
    mReport.BeginAllocation++;
    mReport.WithoutServices += Lacking;
    break;
  case PCI_CALLBACK_END_ALLOCATION:
    mReport.EndAllocation++;
    mReport.WithoutServices += Lacking;
    break;
  default:
    break;
  }
  return EFI_SUCCESS;
}

static void ReadSet(EFI_HANDLE Device) {
  VOID *Interface = NULL;
  const PCI_OPTION_ROM_SET *Set;
  UINT8 Index;
  if (EFI_ERROR(mBootServices->HandleProtocol(Device, &mOptionRomSetGuid, &Interface)) || Interface == NULL) {
    return;
  }
  /* The set and its images belong to the handle: read, never change or free. */
  Set = (const PCI_OPTION_ROM_SET *)Interface;
  mReport.SetsRead++;
  for (Index = 0; Index < Set->Count && Index < PCI_OPTION_ROM_SET_MAX_IMAGES; ++Index) {
    mReport.ImagesRead++;
    mReport.ImageBytes += Set->Images[Index].Size;
  }
}

/* Runs for each handle a set is installed on, at TPL_CALLBACK. */
static VOID EFIAPI OnSetInstalled(EFI_EVENT Event, VOID *Context) {
  (void)Event;
  (void)Context;
  for (;;) {
    EFI_HANDLE Device = NULL;
    UINTN Size = sizeof(Device);
    if (EFI_ERROR(mBootServices->LocateHandle(ByRegisterNotify, NULL, mSetRegistration, &Size, &Device))) {
      return;
    }
    ReadSet(Device);
  }
}

EFI_STATUS EFIAPI PciCallbackExampleEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  VOID *Interface = NULL;
  EFI_EVENT SetEvent = NULL;
  EFI_STATUS Status;
  mBootServices = SystemTable->BootServices;

  Status = mBootServices->LocateProtocol(&mCallbackProtocolGuid, NULL, &Interface);
  if (!EFI_ERROR(Status)) {
    PCI_CALLBACK_PROTOCOL *Callbacks = (PCI_CALLBACK_PROTOCOL *)Interface;
    Status = Callbacks->RegisterCallback(Callbacks, CountCall,
                                         PCI_CALLBACK_PREP_CONTROLLER | PCI_CALLBACK_BEGIN_ALLOCATION |
                                             PCI_CALLBACK_END_ALLOCATION);
  }
  mReport.RegisterStatus = Status;
  if (!EFI_ERROR(Status)) {
    Status = mBootServices->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, OnSetInstalled, NULL, &SetEvent);
  }
  if (!EFI_ERROR(Status)) {
    Status = mBootServices->RegisterProtocolNotify(&mOptionRomSetGuid, SetEvent, &mSetRegistration);
  }
  if (EFI_ERROR(Status)) {
    return Status;
  }
  return mBootServices->InstallProtocolInterface(&ImageHandle, &mReportGuid, EFI_NATIVE_INTERFACE, &mReport);
}
