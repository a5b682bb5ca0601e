/*
 * A driver written in C against the public PCI_CALLBACK_PROTOCOL header: it
 * registers one callback and keeps what it saw in the record.
 */
#ifndef PCIPLAT_TESTS_C_CONSUMER_H_
#define PCIPLAT_TESTS_C_CONSUMER_H_

#include "PciCallback.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
  UINT32 Calls;
  UINT64 LastAddress;
  UINT32 LastMask;
  UINT16 LastVendorId;
  UINT8 LastHeaderType;
  const void *LastRootBridgeIo;
  const void *LastCpuIo;
} C_CONSUMER_OBSERVATIONS;

/* Registers the consumer's callback through the protocol. */
EFI_STATUS CConsumerRegister(PCI_CALLBACK_PROTOCOL *Protocol, UINT32 Mask);
/* The protocol GUID as a C driver spells it. */
const EFI_GUID *CConsumerProtocolGuid(void);
const C_CONSUMER_OBSERVATIONS *CConsumerObservations(void);
void CConsumerReset(void);

#ifdef __cplusplus
}
#endif

#endif /* PCIPLAT_TESTS_C_CONSUMER_H_ */
