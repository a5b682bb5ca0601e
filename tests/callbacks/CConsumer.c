/* Compiled as strict C11: the public header must not need C++. */
#include "CConsumer.h"

#include <string.h>

static const EFI_GUID ConsumerProtocolGuid = PCI_CALLBACK_PROTOCOL_GUID;
static C_CONSUMER_OBSERVATIONS Observations;

static EFI_STATUS EFIAPI ConsumerCallback(EFI_HANDLE RootBridgeHandle, UINT64 PciAddress, UINT32 Mask,
                                          PCI_DEVICE_RECORD *Record) {
  (void)RootBridgeHandle;
  Observations.Calls++;
  Observations.LastAddress = PciAddress;
  Observations.LastMask = Mask;
  Observations.LastVendorId = (UINT16)(Record->Header[0] | (Record->Header[1] << 8));
  Observations.LastHeaderType = Record->Header[0x0E];
  Observations.LastRootBridgeIo = Record->RootBridgeIo;
  Observations.LastCpuIo = Record->CpuIo;
  return EFI_SUCCESS;
}

EFI_STATUS CConsumerRegister(PCI_CALLBACK_PROTOCOL *Protocol, UINT32 Mask) {
  return Protocol->RegisterCallback(Protocol, ConsumerCallback, Mask);
}

const EFI_GUID *CConsumerProtocolGuid(void) { return &ConsumerProtocolGuid; }

const C_CONSUMER_OBSERVATIONS *CConsumerObservations(void) { return &Observations; }

void CConsumerReset(void) { memset(&Observations, 0, sizeof(Observations)); }
