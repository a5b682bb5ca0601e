/*
 * UEFI base types shared by the driver and by the public interface headers.
 *
 * Written from the UEFI specification (section 2.3.1, data types) for x86-64.
 * Compiles as C99/C11 and C++. A firmware build that already has its own UEFI
 * base declarations defines PCI_PLATFORM_NO_BASE_TYPES before including the
 * public headers, and this file then declares nothing.
 */
#ifndef PCI_PLATFORM_EFI_BASE_TYPES_H_
#define PCI_PLATFORM_EFI_BASE_TYPES_H_

#ifndef PCI_PLATFORM_NO_BASE_TYPES

#include <stddef.h>
#include <stdint.h>

/*
 * Every firmware interface uses the Microsoft x64 calling convention. The image
 * is built for a Windows target, where it is the default; host builds ask for
 * it explicitly so the host tests exercise the same ABI as the image.
 */
#ifndef EFIAPI
#if defined(_WIN32)
#define EFIAPI
#else
#define EFIAPI __attribute__((ms_abi))
#endif
#endif

typedef uint8_t UINT8;
typedef uint16_t UINT16;
typedef uint32_t UINT32;
typedef uint64_t UINT64;
typedef int8_t INT8;
typedef int16_t INT16;
typedef int32_t INT32;
typedef int64_t INT64;
typedef uint64_t UINTN;
typedef int64_t INTN;
typedef uint8_t BOOLEAN;
typedef char CHAR8;
#ifdef __cplusplus
typedef char16_t CHAR16;
#else
typedef uint16_t CHAR16;
#endif
typedef void VOID;

typedef UINTN EFI_STATUS;
typedef VOID *EFI_HANDLE;
typedef VOID *EFI_EVENT;
typedef UINT64 EFI_PHYSICAL_ADDRESS;

typedef struct {
  UINT32 Data1;
  UINT16 Data2;
  UINT16 Data3;
  UINT8 Data4[8];
} EFI_GUID;

typedef struct LIST_ENTRY {
  struct LIST_ENTRY *ForwardLink;
  struct LIST_ENTRY *BackLink;
} LIST_ENTRY;

#ifdef __cplusplus
static_assert(sizeof(void *) == 8, "the driver targets x86-64 only");
static_assert(sizeof(EFI_GUID) == 16, "EFI_GUID is 16 bytes");
static_assert(sizeof(CHAR16) == 2, "CHAR16 is UTF-16");
#else
_Static_assert(sizeof(void *) == 8, "the driver targets x86-64 only");
_Static_assert(sizeof(EFI_GUID) == 16, "EFI_GUID is 16 bytes");
#endif

#define EFI_ERROR_BIT 0x8000000000000000ULL
#define EFI_ERROR(Status) (((EFI_STATUS)(Status)&EFI_ERROR_BIT) != 0)

#define EFI_SUCCESS ((EFI_STATUS)0)
#define EFI_LOAD_ERROR ((EFI_STATUS)(EFI_ERROR_BIT | 1))
#define EFI_INVALID_PARAMETER ((EFI_STATUS)(EFI_ERROR_BIT | 2))
#define EFI_UNSUPPORTED ((EFI_STATUS)(EFI_ERROR_BIT | 3))
#define EFI_BAD_BUFFER_SIZE ((EFI_STATUS)(EFI_ERROR_BIT | 4))
#define EFI_BUFFER_TOO_SMALL ((EFI_STATUS)(EFI_ERROR_BIT | 5))
#define EFI_NOT_READY ((EFI_STATUS)(EFI_ERROR_BIT | 6))
#define EFI_DEVICE_ERROR ((EFI_STATUS)(EFI_ERROR_BIT | 7))
#define EFI_OUT_OF_RESOURCES ((EFI_STATUS)(EFI_ERROR_BIT | 9))
#define EFI_NOT_FOUND ((EFI_STATUS)(EFI_ERROR_BIT | 14))
#define EFI_ACCESS_DENIED ((EFI_STATUS)(EFI_ERROR_BIT | 15))
#define EFI_TIMEOUT ((EFI_STATUS)(EFI_ERROR_BIT | 18))
#define EFI_ALREADY_STARTED ((EFI_STATUS)(EFI_ERROR_BIT | 20))

#endif /* PCI_PLATFORM_NO_BASE_TYPES */

#endif /* PCI_PLATFORM_EFI_BASE_TYPES_H_ */
