// Bounded reads of a mapped image, shared by the two image readers.
//
// Positions inside the image are 64-bit offsets from its base. A structure of
// Length bytes at Offset lies inside the image when Offset + Length <= Size;
// InImage tests it in a form that cannot wrap around, whatever the values.
// Fields are read with byte copies: nothing in an untrusted image is aligned.
#pragma once

#include "driver/elam.h"

typedef struct _IMAGE_VIEW {
    const UCHAR* Base;
    ULONG64 Size;
} IMAGE_VIEW, *PIMAGE_VIEW;
typedef const IMAGE_VIEW* PCIMAGE_VIEW;

inline BOOLEAN InImage(PCIMAGE_VIEW Image, ULONG64 Offset, ULONG64 Length) {
    return (BOOLEAN)(Offset <= Image->Size && Length <= Image->Size - Offset);
}

inline USHORT ReadImageUshort(PCIMAGE_VIEW Image, ULONG64 Offset) {
    USHORT Value;
    __builtin_memcpy(&Value, Image->Base + Offset, sizeof(Value));
    return Value;
}

inline ULONG ReadImageUlong(PCIMAGE_VIEW Image, ULONG64 Offset) {
    ULONG Value;
    __builtin_memcpy(&Value, Image->Base + Offset, sizeof(Value));
    return Value;
}
