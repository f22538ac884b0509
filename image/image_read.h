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

// Where the platform finds the data of data directory Index, as an offset
// into the image; FALSE when the image has no such directory.
inline BOOLEAN FindImageDirectory(PCIMAGE_VIEW Image, USHORT Index, ULONG64* Offset) {
    ULONG Size;
    const UCHAR* Data =
        (const UCHAR*)RtlImageDirectoryEntryToData((PVOID)Image->Base, TRUE, Index, &Size);
    if (Data == NULL) {
        return FALSE;
    }
    *Offset = (ULONG64)((ULONG_PTR)Data - (ULONG_PTR)Image->Base);
    return TRUE;
}

// A copy of Bytes bytes of the image at Source, in one new pool block laid out
// as a counted string of type STRING: the header, then the characters, of
// which Length bytes count. The block is recorded in *Pending while the bytes
// are copied, so that whoever ends a walk on a fault can free it, and the
// record is cleared once the copy is whole. NULL when the pool has no block.
template <typename STRING>
STRING* CopyImageString(const UCHAR* Source, SIZE_T Bytes, USHORT Length, STRING* volatile* Pending) {
    STRING* String = (STRING*)ExAllocatePoolWithTag(PagedPool, sizeof(STRING) + Bytes, ELAM_POOL_TAG);
    if (String == NULL) {
        return NULL;
    }
    *Pending = String;
    String->Length = Length;
    String->MaximumLength = (USHORT)Bytes;
    String->Buffer = (decltype(String->Buffer))(String + 1);
    RtlCopyMemory(String->Buffer, Source, Bytes);
    *Pending = NULL;
    return String;
}
