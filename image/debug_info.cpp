// GetImageDebugInfo: the GUID and the file name of a mapped image's CodeView
// (RSDS) debug record.
//
// The image is untrusted: the record is tested against the image before it is
// read, and the whole routine runs under the fault guard. Whatever happens,
// the status is STATUS_SUCCESS; the caller sees what was found from which
// outputs were written.

#include "driver/elam.h"
#include "image/image_read.h"

namespace {

#define DEBUG_DIRECTORY_SIZE 28
#define DEBUG_DIRECTORY_TYPE 12
#define DEBUG_DIRECTORY_SIZE_OF_DATA 16
#define DEBUG_DIRECTORY_ADDRESS_OF_RAW_DATA 20
#define RSDS_SIGNATURE 0x53445352u
#define RSDS_GUID 4
#define RSDS_GUID_SIZE 16
#define RSDS_PATH 24

// Longest name kept: it must fit a counted string's 16 bits.
#define MAXIMUM_NAME_LENGTH 0xFFFFu

typedef struct _DEBUG_READ {
    IMAGE_VIEW Image;
    PUCHAR PdbGuid;
    PANSI_STRING* PdbFileName;
    // A name block allocated but not yet handed out: released by the caller
    // of the guarded walk when a fault ends the walk during the copy.
    PANSI_STRING volatile Pending;
} DEBUG_READ, *PDEBUG_READ;

// The last component of the path field at Path, Length bytes long.
VOID ReadPdbFileName(PDEBUG_READ Read, ULONG64 Path, ULONG Length) {
    const UCHAR* Field = Read->Image.Base + Path;

    ULONG End = Length;
    while (End > 0 && Field[End - 1] == 0) {
        --End;
    }
    if (End == 0) {
        return;
    }
    ULONG Start = End;
    while (Start > 0 && Field[Start - 1] != '\\' && Field[Start - 1] != '/') {
        --Start;
    }
    const ULONG NameLength = End - Start;
    if (NameLength > MAXIMUM_NAME_LENGTH) {
        return;
    }

    PANSI_STRING Name = CopyImageString(Field + Start, NameLength, (USHORT)NameLength, &Read->Pending);
    if (Name != NULL) {
        *Read->PdbFileName = Name;
    }
}

// Steps 2 to 6, run under the fault guard.
NTSTATUS ReadDebugRecord(PVOID Context) {
    PDEBUG_READ Read = (PDEBUG_READ)Context;
    PCIMAGE_VIEW Image = &Read->Image;

    // Only the first entry of the debug directory is looked at.
    ULONG64 Entry;
    if (!FindImageDirectory(Image, IMAGE_DIRECTORY_ENTRY_DEBUG, &Entry)) {
        return STATUS_SUCCESS;
    }
    if (!InImage(Image, Entry, DEBUG_DIRECTORY_SIZE) ||
        ReadImageUlong(Image, Entry + DEBUG_DIRECTORY_TYPE) != IMAGE_DEBUG_TYPE_CODEVIEW) {
        return STATUS_SUCCESS;
    }
    const ULONG SizeOfData = ReadImageUlong(Image, Entry + DEBUG_DIRECTORY_SIZE_OF_DATA);
    const ULONG64 Record = ReadImageUlong(Image, Entry + DEBUG_DIRECTORY_ADDRESS_OF_RAW_DATA);
    if (!InImage(Image, Record, SizeOfData) || SizeOfData < RSDS_PATH ||
        ReadImageUlong(Image, Record) != RSDS_SIGNATURE) {
        return STATUS_SUCCESS;
    }

    if (Read->PdbFileName != NULL) {
        ReadPdbFileName(Read, Record + RSDS_PATH, SizeOfData - RSDS_PATH);
    }
    if (Read->PdbGuid != NULL) {
        // Read whole before writing, so that a fault leaves the output as it was.
        UCHAR Guid[RSDS_GUID_SIZE];
        __builtin_memcpy(Guid, Image->Base + Record + RSDS_GUID, RSDS_GUID_SIZE);
        RtlCopyMemory(Read->PdbGuid, Guid, RSDS_GUID_SIZE);
    }
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS GetImageDebugInfo(PVOID ImageBase, SIZE_T ImageSize, PUCHAR PdbGuid,
                           PANSI_STRING* PdbFileName) {
    if (ImageBase == NULL || ImageSize == 0 || (PdbGuid == NULL && PdbFileName == NULL)) {
        return STATUS_SUCCESS;
    }

    DEBUG_READ Read;
    Read.Image.Base = (const UCHAR*)ImageBase;
    Read.Image.Size = ImageSize;
    Read.PdbGuid = PdbGuid;
    Read.PdbFileName = PdbFileName;
    Read.Pending = NULL;

    // A fault only ends the reading; what was stored before it stays.
    (VOID) ElamCallGuarded(ReadDebugRecord, &Read);

    if (Read.Pending != NULL) {
        ExFreePoolWithTag(Read.Pending, ELAM_POOL_TAG);
    }
    return STATUS_SUCCESS;
}
