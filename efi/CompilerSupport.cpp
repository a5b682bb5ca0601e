// The few symbols a freestanding image must provide because the compiler may
// emit calls to them: block copies and fills for aggregate assignments, and the
// stack probe for frames over a page.
#include <stddef.h>

extern "C" {

// Byte loops written so the compiler cannot turn them back into calls to
// themselves.
void *memcpy(void *Destination, const void *Source, size_t Length) {
  auto *To = static_cast<volatile unsigned char *>(Destination);
  const auto *From = static_cast<const unsigned char *>(Source);
  for (size_t Index = 0; Index < Length; ++Index) {
    To[Index] = From[Index];
  }
  return Destination;
}

void *memset(void *Buffer, int Value, size_t Length) {
  auto *To = static_cast<volatile unsigned char *>(Buffer);
  for (size_t Index = 0; Index < Length; ++Index) {
    To[Index] = static_cast<unsigned char>(Value);
  }
  return Buffer;
}

// UEFI commits the whole stack up front, so the probe has nothing to touch.
void __chkstk() {}

} // extern "C"
