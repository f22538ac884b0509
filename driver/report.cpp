// The blocked-driver report: one REG_MULTI_SZ string per blocked image, its
// first code unit marking the reason.
#include "driver/elam.h"

#define REASON_MARKER 0xFF00u

NTSTATUS WriteBlockedDriversReport() {
    if (g_ConfigKeyPath.Length == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    PCWSTR path = g_ConfigKeyPath.Buffer;
    PCWSTR valueName = ELAM_TEXT("ElamBlockedDrivers");

    // Each string: the marker, the path, its NUL. The total stays below 4 GiB;
    // a list that would not fit is treated like a failed allocation.
    ULONG total = 0;
    for (PLIST_ENTRY link = g_BlockedDrivers.Flink; link != &g_BlockedDrivers; link = link->Flink) {
        const NAME_ENTRY* record = CONTAINING_RECORD(link, NAME_ENTRY, Links);
        if (record->Name.Length == 0) {
            continue;
        }
        const ULONG size = record->Name.Length + 2 * sizeof(WCHAR);
        if (total > 0xFFFFFFFFu - sizeof(WCHAR) - size) {
            return STATUS_NO_MEMORY;
        }
        total += size;
    }
    if (total == 0) {
        RtlDeleteRegistryValue(RTL_REGISTRY_ABSOLUTE, path, valueName);
        return STATUS_SUCCESS;
    }

    PWCH buffer = (PWCH)ExAllocatePoolWithTag(PagedPool, total + sizeof(WCHAR), ELAM_POOL_TAG);
    if (buffer == nullptr) {
        return STATUS_NO_MEMORY;  // the report of an earlier boot stays as it was
    }
    ULONG position = 0;
    for (PLIST_ENTRY link = g_BlockedDrivers.Flink; link != &g_BlockedDrivers; link = link->Flink) {
        const NAME_ENTRY* record = CONTAINING_RECORD(link, NAME_ENTRY, Links);
        if (record->Name.Length == 0) {
            continue;
        }
        buffer[position++] = (WCHAR)(REASON_MARKER | (record->Value & 0xFFu));
        RtlCopyMemory(&buffer[position], record->Name.Buffer, record->Name.Length);
        position += record->Name.Length / sizeof(WCHAR);
        buffer[position++] = 0;
    }
    buffer[position] = 0;
    const NTSTATUS status = RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, path, valueName, REG_MULTI_SZ,
                                                  buffer, position * sizeof(WCHAR) + sizeof(WCHAR));
    ExFreePoolWithTag(buffer, ELAM_POOL_TAG);
    return status;
}
