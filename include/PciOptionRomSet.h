/*
 * PCI_OPTION_ROM_SET: every option ROM image the platform found for an onboard
 * PCI device that has more than one. The platform driver installs it on the
 * device's handle (the handle carrying EFI_PCI_IO_PROTOCOL) under
 * PCI_OPTION_ROM_SET_GUID; other drivers look it up with HandleProtocol and
 * pick the image they want. The PCI bus driver itself receives only the last
 * image of the set.
 *
 * The record, its image array and the images belong to the handle for the rest
 * of the boot: readers must neither change nor free them.
 *
 * Compiles as C99/C11 and C++.
 */
#ifndef PCI_PLATFORM_PCI_OPTION_ROM_SET_H_
#define PCI_PLATFORM_PCI_OPTION_ROM_SET_H_

#include "EfiBaseTypes.h"

#include <stddef.h>

/* 0A048148-4B78-4BDC-960B-49B70C287078; an initializer for an EFI_GUID. */
/* clang-format off */
#define PCI_OPTION_ROM_SET_GUID {0x0A048148, 0x4B78, 0x4BDC, {0x96, 0x0B, 0x49, 0xB7, 0x0C, 0x28, 0x70, 0x78}}
/* clang-format on */

/* A set holds at least two images (a single image is only returned) and at most four. */
#define PCI_OPTION_ROM_SET_MIN_IMAGES 2
#define PCI_OPTION_ROM_SET_MAX_IMAGES 4

typedef struct {
  UINT64 Size; /* bytes */
  VOID *Image;
} PCI_OPTION_ROM_IMAGE;

typedef struct {
  UINT8 Count;       /* entries in Images */
  UINT8 Reserved[7]; /* zero */
  PCI_OPTION_ROM_IMAGE *Images;
} PCI_OPTION_ROM_SET;

/* The layout is read by other drivers: it never changes. */
#if defined(__cplusplus)
#define PCI_OPTION_ROM_SET_LAYOUT_ASSERT(Condition, Message) static_assert(Condition, Message)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define PCI_OPTION_ROM_SET_LAYOUT_ASSERT(Condition, Message) _Static_assert(Condition, Message)
#endif

#ifdef PCI_OPTION_ROM_SET_LAYOUT_ASSERT
PCI_OPTION_ROM_SET_LAYOUT_ASSERT(sizeof(PCI_OPTION_ROM_IMAGE) == 16, "PCI_OPTION_ROM_IMAGE is 16 bytes");
PCI_OPTION_ROM_SET_LAYOUT_ASSERT(offsetof(PCI_OPTION_ROM_IMAGE, Size) == 0, "Size at 0");
PCI_OPTION_ROM_SET_LAYOUT_ASSERT(offsetof(PCI_OPTION_ROM_IMAGE, Image) == 8, "Image at 8");
PCI_OPTION_ROM_SET_LAYOUT_ASSERT(sizeof(PCI_OPTION_ROM_SET) == 16, "PCI_OPTION_ROM_SET is 16 bytes");
PCI_OPTION_ROM_SET_LAYOUT_ASSERT(offsetof(PCI_OPTION_ROM_SET, Count) == 0, "Count in the first byte");
PCI_OPTION_ROM_SET_LAYOUT_ASSERT(offsetof(PCI_OPTION_ROM_SET, Images) == 8, "Images at 8");
#undef PCI_OPTION_ROM_SET_LAYOUT_ASSERT
#endif

#endif /* PCI_PLATFORM_PCI_OPTION_ROM_SET_H_ */
