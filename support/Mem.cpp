// The compiler emits calls to memcpy and memset for aggregate copies and
// initialisations; the EFI images have no C library, so they are defined
// here. Volatile byte accesses keep the loops from being recognised and
// turned back into calls to these very functions.
#ifdef ZEM4_EFI_IMAGE

#include <stddef.h>

extern "C" void *memcpy(void *Destination, const void *Source, size_t Length) {
  volatile unsigned char *To = static_cast<volatile unsigned char *>(Destination);
  const volatile unsigned char *From = static_cast<const volatile unsigned char *>(Source);
  while (Length-- != 0) {
    *To++ = *From++;
  }
  return Destination;
}

extern "C" void *memset(void *Buffer, int Value, size_t Length) {
  volatile unsigned char *To = static_cast<volatile unsigned char *>(Buffer);
  while (Length-- != 0) {
    *To++ = static_cast<unsigned char>(Value);
  }
  return Buffer;
}

#endif
