// The snapshot of loaded modules taken at start-up, and the lookup of a boot
// driver's mapped image in it.
#include "driver/elam.h"

#define MODULE_SNAPSHOT_FIRST_SIZE 8192u
// DefaultBase of an entry already handed out.
#define MODULE_ENTRY_CONSUMED ((PVOID)1)

namespace {

// Compares a NUL-terminated 8-bit path with a module's FullPathName, exactly,
// up to and including the first NUL, never past the end of the field.
BOOLEAN SamePath(const CHAR* Path, const UCHAR* FullPathName) {
    for (ULONG i = 0; i < sizeof(((RTL_PROCESS_MODULE_INFORMATION*)nullptr)->FullPathName); i++) {
        if ((UCHAR)Path[i] != FullPathName[i]) {
            return FALSE;
        }
        if (Path[i] == 0) {
            return TRUE;
        }
    }
    return FALSE;
}

}  // namespace

NTSTATUS CaptureModuleSnapshot() {
    ULONG needed = 0;
    g_ModuleSnapshot = ExAllocatePoolWithTag(PagedPool, MODULE_SNAPSHOT_FIRST_SIZE, ELAM_POOL_TAG);
    if (g_ModuleSnapshot == nullptr) {
        return STATUS_NO_MEMORY;
    }
    NTSTATUS status = ZwQuerySystemInformation(SystemModuleInformationEx, g_ModuleSnapshot,
                                               MODULE_SNAPSHOT_FIRST_SIZE, &needed);
    if (NT_SUCCESS(status)) {
        return status;
    }
    if (status == STATUS_INFO_LENGTH_MISMATCH) {
        ExFreePoolWithTag(g_ModuleSnapshot, ELAM_POOL_TAG);
        g_ModuleSnapshot = ExAllocatePoolWithTag(PagedPool, needed, ELAM_POOL_TAG);
        if (g_ModuleSnapshot == nullptr) {
            return STATUS_NO_MEMORY;
        }
        status = ZwQuerySystemInformation(SystemModuleInformationEx, g_ModuleSnapshot, needed, &needed);
        if (NT_SUCCESS(status)) {
            return status;
        }
    }
    ExFreePoolWithTag(g_ModuleSnapshot, ELAM_POOL_TAG);
    g_ModuleSnapshot = nullptr;
    return status;
}

PRTL_PROCESS_MODULE_INFORMATION_EX FindModuleForImage(PCUNICODE_STRING ImageName) {
    if (g_ModuleSnapshot == nullptr || ImageName == nullptr) {
        return nullptr;
    }
    // One block: the counted-string header, its capacity, and a spare byte
    // for the NUL stored behind the converted characters.
    const USHORT capacity = (USHORT)(ImageName->Length / sizeof(WCHAR) + 1);
    PANSI_STRING path = (PANSI_STRING)ExAllocatePoolWithTag(
        PagedPool, sizeof(ANSI_STRING) + capacity + 1, ELAM_POOL_TAG);
    if (path == nullptr) {
        return nullptr;
    }
    path->Buffer = (PCHAR)(path + 1);
    path->Length = 0;
    path->MaximumLength = capacity;
    PRTL_PROCESS_MODULE_INFORMATION_EX found = nullptr;
    if (RtlUnicodeStringToAnsiString(path, ImageName, FALSE) == STATUS_SUCCESS) {
        path->Buffer[path->Length] = 0;
        PUCHAR position = (PUCHAR)g_ModuleSnapshot;
        for (;;) {
            PRTL_PROCESS_MODULE_INFORMATION_EX entry = (PRTL_PROCESS_MODULE_INFORMATION_EX)position;
            if (entry->DefaultBase != MODULE_ENTRY_CONSUMED &&
                SamePath(path->Buffer, entry->BaseInfo.FullPathName)) {
                entry->DefaultBase = MODULE_ENTRY_CONSUMED;
                found = entry;
                break;
            }
            if (entry->NextOffset == 0) {
                break;
            }
            position += entry->NextOffset;
        }
    }
    ExFreePoolWithTag(path, ELAM_POOL_TAG);
    return found;
}
