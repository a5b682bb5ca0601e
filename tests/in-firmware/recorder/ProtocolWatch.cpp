// Protocol-install notifications (UEFI specification, sections 7.1 and 7.3).
#include "Recorder.h"
#include "tests/e2e/app/Firmware.h"

namespace e2e::firmware {
namespace {

using EFI_EVENT_NOTIFY = VOID(EFIAPI *)(EFI_EVENT Event, VOID *Context);
using EFI_CREATE_EVENT = EFI_STATUS(EFIAPI *)(UINT32 Type, EFI_TPL NotifyTpl, EFI_EVENT_NOTIFY NotifyFunction,
                                              VOID *NotifyContext, EFI_EVENT *Event);
using EFI_REGISTER_PROTOCOL_NOTIFY = EFI_STATUS(EFIAPI *)(const EFI_GUID *Protocol, EFI_EVENT Event,
                                                          VOID **Registration);
using EFI_CLOSE_EVENT = EFI_STATUS(EFIAPI *)(EFI_EVENT Event);

constexpr UINT32 EVT_NOTIFY_SIGNAL = 0x00000200;
constexpr EFI_TPL TPL_CALLBACK = 8;

struct Watch {
  const EFI_GUID *Protocol;
  ProtocolHandler OnInstalled;
  EFI_EVENT Event;
  bool Done;
};

constexpr UINTN kWatchCapacity = 4;
constinit Watch gWatches[kWatchCapacity] = {};
constinit UINTN gWatchCount = 0;

void EFIAPI OnProtocolNotify(EFI_EVENT /*Event*/, VOID *Context) {
  auto *Entry = static_cast<Watch *>(Context);
  VOID *Interface = nullptr;
  if (Entry->Done || EFI_ERROR(gBootServices->LocateProtocol(Entry->Protocol, nullptr, &Interface))) {
    return;
  }
  Entry->Done = true;
  reinterpret_cast<EFI_CLOSE_EVENT>(gBootServices->CloseEvent)(Entry->Event);
  Entry->OnInstalled(Interface);
}

} // namespace

EFI_STATUS WatchForProtocol(const EFI_GUID &Protocol, ProtocolHandler OnInstalled) {
  if (gWatchCount == kWatchCapacity) {
    return EFI_OUT_OF_RESOURCES;
  }
  Watch &Entry = gWatches[gWatchCount++];
  Entry = {&Protocol, OnInstalled, nullptr, false};
  EFI_STATUS Status = reinterpret_cast<EFI_CREATE_EVENT>(gBootServices->CreateEvent)(
      EVT_NOTIFY_SIGNAL, TPL_CALLBACK, OnProtocolNotify, &Entry, &Entry.Event);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  VOID *Registration = nullptr;
  Status = reinterpret_cast<EFI_REGISTER_PROTOCOL_NOTIFY>(gBootServices->RegisterProtocolNotify)(&Protocol, Entry.Event,
                                                                                                 &Registration);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  // Installed before the recorder ran: nothing will signal the event.
  OnProtocolNotify(Entry.Event, &Entry);
  return EFI_SUCCESS;
}

} // namespace e2e::firmware
