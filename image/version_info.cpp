// GetImageVersionInfo: the file version and the OriginalFilename string of a
// mapped image's version resource.
//
// The image is untrusted. Every structure is tested against the image end
// before it is read, every walk is bounded by the node that holds it, and the
// whole walk runs under the fault guard.

#include "driver/elam.h"
#include "image/image_read.h"

namespace {

#define RESOURCE_DIRECTORY_SIZE 16
#define RESOURCE_ENTRY_SIZE 8
#define RESOURCE_DATA_ENTRY_SIZE 16
#define RESOURCE_SUBDIRECTORY_FLAG 0x80000000u
#define RT_VERSION_ID 16

// Version nodes: wLength, wValueLength, wType, then the key.
#define NODE_KEY 6
#define VERSION_BLOCK_MINIMUM 160
#define VERSION_FIXED_SIGNATURE 40
#define VERSION_FIXED_FILE_VERSION_MS 48
#define VERSION_FIXED_FILE_VERSION_LS 52
#define VERSION_CHILDREN 92
#define FIXED_FILE_INFO_SIGNATURE 0xFEEF04BDu
#define STRING_FILE_INFO_MINIMUM 68
#define STRING_FILE_INFO_TABLE 36
#define STRING_TABLE_MINIMUM 32
#define STRING_TABLE_STRINGS 24
#define STRING_MINIMUM 8
#define STRING_KEY_END 40

// Longest value kept: its byte count must fit a counted string's 16 bits.
#define MAXIMUM_VALUE_CHARACTERS 32767u

typedef struct _VERSION_READ {
    IMAGE_VIEW Image;
    PULONGLONG FileVersion;
    PUNICODE_STRING* OriginalFilename;
    // A string block allocated but not yet handed out: released by the caller
    // of the guarded walk when a fault ends the walk during the copy.
    PUNICODE_STRING volatile Pending;
} VERSION_READ, *PVERSION_READ;

inline ULONG64 AlignUp4(ULONG64 Value) { return (Value + 3) & ~(ULONG64)3; }

// Compares Count characters of a key in the image with Expected, ignoring
// case. The key may lie at any address, so it is first copied to an aligned
// buffer; the caller has checked that all Count characters are in the image.
BOOLEAN KeyEquals(PCIMAGE_VIEW Image, ULONG64 Offset, PCWSTR Expected, SIZE_T Count) {
    WCHAR Key[17];
    if (Count > sizeof(Key) / sizeof(Key[0])) {
        return FALSE;
    }
    __builtin_memcpy(Key, Image->Base + Offset, Count * sizeof(WCHAR));
    return (BOOLEAN)(_wcsnicmp(Key, Expected, Count) == 0);
}

// Steps 8 to 11: the OriginalFilename string under the first StringFileInfo
// child of the version block at Block. Finding nothing is not a failure.
VOID ReadOriginalFilename(PVERSION_READ Read, ULONG64 Block) {
    PCIMAGE_VIEW Image = &Read->Image;
    const ULONG64 BlockLength = ReadImageUshort(Image, Block);

    // The first StringFileInfo child.
    ULONG64 Child = 0;
    BOOLEAN Found = FALSE;
    for (ULONG64 Position = VERSION_CHILDREN; Position < BlockLength;) {
        const ULONG64 Node = Block + Position;
        if (!InImage(Image, Node, STRING_FILE_INFO_MINIMUM)) {
            return;
        }
        const USHORT Length = ReadImageUshort(Image, Node);
        if (!InImage(Image, Node, Length) || Length == 0) {
            return;
        }
        if (Length >= STRING_FILE_INFO_MINIMUM &&
            KeyEquals(Image, Node + NODE_KEY, ELAM_TEXT("StringFileInfo"), 15)) {
            Child = Node;
            Found = TRUE;
            break;
        }
        Position += AlignUp4(Length);
    }
    if (!Found) {
        return;
    }

    // Its first StringTable only.
    const ULONG64 Table = Child + STRING_FILE_INFO_TABLE;
    if (!InImage(Image, Table, STRING_TABLE_MINIMUM)) {
        return;
    }
    const USHORT TableLength = ReadImageUshort(Image, Table);
    if (!InImage(Image, Table, TableLength)) {
        return;
    }

    // The first OriginalFilename string with a value.
    for (ULONG64 Position = STRING_TABLE_STRINGS; Position < TableLength;) {
        const ULONG64 Node = Table + Position;
        if (!InImage(Image, Node, STRING_MINIMUM)) {
            return;
        }
        const USHORT Length = ReadImageUshort(Image, Node);
        if (!InImage(Image, Node, Length) || Length < STRING_MINIMUM) {
            return;
        }
        if (Length > STRING_KEY_END &&
            KeyEquals(Image, Node + NODE_KEY, ELAM_TEXT("OriginalFilename"), 17) &&
            ReadImageUshort(Image, Node + 2) != 0) {
            const ULONG64 Characters = ReadImageUshort(Image, Node + 2);
            // The value starts at the first 4-byte aligned address after the key.
            const ULONG_PTR KeyEnd = (ULONG_PTR)Image->Base + (ULONG_PTR)(Node + STRING_KEY_END);
            const ULONG64 Value = Node + STRING_KEY_END + (AlignUp4(KeyEnd) - KeyEnd);
            if (!InImage(Image, Value, Characters * sizeof(WCHAR)) ||
                Characters > MAXIMUM_VALUE_CHARACTERS) {
                return;
            }
            const SIZE_T Bytes = (SIZE_T)Characters * sizeof(WCHAR);
            // The value's final character is not counted.
            PUNICODE_STRING String = CopyImageString(Image->Base + Value, Bytes,
                                                     (USHORT)(Bytes - sizeof(WCHAR)), &Read->Pending);
            if (String != NULL) {
                *Read->OriginalFilename = String;
            }
            return;
        }
        Position += AlignUp4(Length);
    }
}

// Steps 2 to 11, run under the fault guard.
NTSTATUS ReadVersionResource(PVOID Context) {
    PVERSION_READ Read = (PVERSION_READ)Context;
    PCIMAGE_VIEW Image = &Read->Image;

    ULONG64 Dir;
    if (!FindImageDirectory(Image, IMAGE_DIRECTORY_ENTRY_RESOURCE, &Dir)) {
        return STATUS_NOT_FOUND;
    }
    if (!InImage(Image, Dir, RESOURCE_DIRECTORY_SIZE)) {
        return STATUS_NOT_FOUND;
    }

    // Type level: the first entry whose Id is RT_VERSION.
    const ULONG Count =
        (ULONG)ReadImageUshort(Image, Dir + 12) + (ULONG)ReadImageUshort(Image, Dir + 14);
    ULONG64 Entry = 0;
    BOOLEAN Found = FALSE;
    for (ULONG Index = 0; Index < Count; ++Index) {
        const ULONG64 Candidate = Dir + RESOURCE_DIRECTORY_SIZE + (ULONG64)Index * RESOURCE_ENTRY_SIZE;
        if (!InImage(Image, Candidate, RESOURCE_ENTRY_SIZE)) {
            return STATUS_NOT_FOUND;
        }
        if ((ReadImageUlong(Image, Candidate) & 0xFFFF) == RT_VERSION_ID) {
            Entry = Candidate;
            Found = TRUE;
            break;
        }
    }
    if (!Found) {
        return STATUS_NOT_FOUND;
    }

    // Name and language levels: always the first entry, each level further
    // into the section than the one above it.
    ULONG Previous = 0;
    ULONG OffsetToData = ReadImageUlong(Image, Entry + 4);
    while ((OffsetToData & RESOURCE_SUBDIRECTORY_FLAG) != 0) {
        const ULONG Offset = OffsetToData & ~RESOURCE_SUBDIRECTORY_FLAG;
        if (Offset <= Previous) {
            return STATUS_NOT_FOUND;
        }
        Previous = Offset;
        const ULONG64 Subdirectory = Dir + Offset;
        if (!InImage(Image, Subdirectory, RESOURCE_DIRECTORY_SIZE) ||
            ReadImageUshort(Image, Subdirectory + 14) == 0 ||
            !InImage(Image, Subdirectory, RESOURCE_DIRECTORY_SIZE + RESOURCE_ENTRY_SIZE)) {
            return STATUS_NOT_FOUND;
        }
        Entry = Subdirectory + RESOURCE_DIRECTORY_SIZE;
        OffsetToData = ReadImageUlong(Image, Entry + 4);
    }

    // The data entry and the version block it points at.
    const ULONG64 DataEntry = Dir + OffsetToData;
    if (!InImage(Image, DataEntry, RESOURCE_DATA_ENTRY_SIZE)) {
        return STATUS_NOT_FOUND;
    }
    const ULONG64 Block = ReadImageUlong(Image, DataEntry);
    if (Block == 0 || !InImage(Image, Block, VERSION_BLOCK_MINIMUM) ||
        !InImage(Image, Block, ReadImageUshort(Image, Block)) ||
        !KeyEquals(Image, Block + NODE_KEY, ELAM_TEXT("VS_VERSION_INFO"), 16) ||
        ReadImageUshort(Image, Block + 2) == 0 ||
        ReadImageUlong(Image, Block + VERSION_FIXED_SIGNATURE) != FIXED_FILE_INFO_SIGNATURE) {
        return STATUS_NOT_FOUND;
    }

    *Read->FileVersion = ((ULONGLONG)ReadImageUlong(Image, Block + VERSION_FIXED_FILE_VERSION_MS) << 32) |
                         ReadImageUlong(Image, Block + VERSION_FIXED_FILE_VERSION_LS);
    if (Read->OriginalFilename != NULL) {
        ReadOriginalFilename(Read, Block);
    }
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS GetImageVersionInfo(PVOID ImageBase, SIZE_T ImageSize, PULONGLONG FileVersion,
                             PUNICODE_STRING* OriginalFilename) {
    if (ImageBase == NULL || ImageSize == 0 || FileVersion == NULL) {
        return STATUS_INVALID_PARAMETER;
    }

    VERSION_READ Read;
    Read.Image.Base = (const UCHAR*)ImageBase;
    Read.Image.Size = ImageSize;
    Read.FileVersion = FileVersion;
    Read.OriginalFilename = OriginalFilename;
    Read.Pending = NULL;

    const NTSTATUS Status = ElamCallGuarded(ReadVersionResource, &Read);

    // A fault during the copy of the string leaves its block behind.
    if (Read.Pending != NULL) {
        ExFreePoolWithTag(Read.Pending, ELAM_POOL_TAG);
    }
    return Status;
}
