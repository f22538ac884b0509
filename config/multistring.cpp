// REG_MULTI_SZ values read into lists of NAME_ENTRY records, and the one
// routine that empties any list of the driver.
#include "driver/elam.h"

NTSTATUS AppendNameEntry(PLIST_ENTRY List, const WCHAR* Characters, ULONG Length, ULONG Value) {
    if (Length > NAME_ENTRY_MAX_LENGTH) {
        return STATUS_INVALID_PARAMETER;
    }
    PNAME_ENTRY entry = (PNAME_ENTRY)ExAllocatePoolWithTag(
        PagedPool, sizeof(NAME_ENTRY) + Length + sizeof(WCHAR), ELAM_POOL_TAG);
    if (entry == nullptr) {
        return STATUS_NO_MEMORY;
    }
    entry->Name.Buffer = (PWCH)(entry + 1);
    entry->Name.Length = (USHORT)Length;
    entry->Name.MaximumLength = (USHORT)(Length + sizeof(WCHAR));
    entry->Value = Value;
    RtlCopyMemory(entry->Name.Buffer, Characters, Length);
    entry->Name.Buffer[Length / sizeof(WCHAR)] = 0;
    InsertTailList(List, &entry->Links);
    return STATUS_SUCCESS;
}

PRTL_QUERY_REGISTRY_VALUES SelectQueryRoutine() {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, ELAM_TEXT("RtlQueryRegistryValuesEx"));
    PVOID routine = MmGetSystemRoutineAddress(&name);
    return routine != nullptr ? (PRTL_QUERY_REGISTRY_VALUES)routine : &RtlQueryRegistryValues;
}

NTSTATUS ReadMultiStringValue(PCWSTR KeyPath, PLIST_ENTRY List, PCWSTR ValueName) {
    if (KeyPath == nullptr || List == nullptr || ValueName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    RTL_QUERY_REGISTRY_TABLE table[2];
    RtlZeroMemory(table, sizeof(table));
    table[0].QueryRoutine = MultiStringQueryRoutine;
    table[0].Flags = RTL_QUERY_REGISTRY_NOEXPAND;
    table[0].Name = (PWSTR)ValueName;
    table[0].DefaultType = REG_NONE;

    MULTI_STRING_CONTEXT context;
    context.List = List;
    context.EntryValue = 0;

    return SelectQueryRoutine()(RTL_REGISTRY_ABSOLUTE, KeyPath, table, &context, nullptr);
}

NTSTATUS NTAPI MultiStringQueryRoutine(PWSTR ValueName, ULONG ValueType, PVOID ValueData,
                                       ULONG ValueLength, PVOID Context, PVOID EntryContext) {
    (void)ValueName;
    (void)EntryContext;
    if (ValueData == nullptr || Context == nullptr) {
        return STATUS_SUCCESS;
    }
    if (ValueType != REG_MULTI_SZ) {
        return STATUS_INVALID_VARIANT;
    }
    PMULTI_STRING_CONTEXT context = (PMULTI_STRING_CONTEXT)Context;
    const WCHAR* position = (const WCHAR*)ValueData;
    ULONG remaining = ValueLength / sizeof(WCHAR);  // a lone trailing byte is never read

    while (remaining > 0) {
        ULONG count = 0;
        while (count < remaining && position[count] != 0) {
            count++;
        }
        if (count > 0) {
            // A failed allocation or an overlong string loses this string only.
            AppendNameEntry(context->List, position, count * sizeof(WCHAR), context->EntryValue);
        }
        if (count + 1 >= remaining) {
            break;
        }
        position += count + 1;
        remaining -= count + 1;
    }
    return STATUS_SUCCESS;
}

VOID FreeEntryList(PLIST_ENTRY List) {
    if (List == nullptr || List->Flink == nullptr || List->Blink == nullptr) {
        return;
    }
    for (;;) {
        PLIST_ENTRY entry = RemoveHeadList(List);
        if (entry == List) {
            break;
        }
        // Every record starts with its links: the entry is the block.
        ExFreePoolWithTag(entry, ELAM_POOL_TAG);
    }
}
