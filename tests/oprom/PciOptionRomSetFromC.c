/* The public option ROM set header as a C driver sees it: it compiles as C11,
 * its layout holds there, and its GUID initializer works in C. */
#include "PciOptionRomSet.h"

#include <stddef.h>

_Static_assert(sizeof(PCI_OPTION_ROM_SET) == 16, "record is 16 bytes in C");
_Static_assert(offsetof(PCI_OPTION_ROM_SET, Images) == 8, "Images at 8 in C");
_Static_assert(sizeof(PCI_OPTION_ROM_IMAGE) == 16, "image entry is 16 bytes in C");
_Static_assert(offsetof(PCI_OPTION_ROM_IMAGE, Image) == 8, "Image at 8 in C");

const EFI_GUID PciOptionRomSetGuidFromC = PCI_OPTION_ROM_SET_GUID;

/* A record filled the way a C reader indexes it. */
void FillOptionRomSetFromC(PCI_OPTION_ROM_SET *Set, PCI_OPTION_ROM_IMAGE *Images, UINT8 Count) {
  UINT8 Index;
  for (Index = 0; Index < Count; ++Index) {
    Images[Index].Size = 0x200u * (Index + 1u);
    Images[Index].Image = &Images[Index];
  }
  Set->Count = Count;
  Set->Images = Images;
}
